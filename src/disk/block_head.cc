#include "disk/block_head.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "disk/device_io.h"
#include "disk/disk_table.h"
#include "format/block_format.h"
#include "os/os.h"

namespace zrfs {
namespace {

constexpr size_t kZeroPiece = 0x80000;  // 512 KiB
constexpr useconds_t kPauseAfterPieceUs = 1000;
static_assert(kHeaderAreaSize % kZeroPiece == 0);

}  // namespace

int ClearBlockHead(DfDiskSlot &slot, int32_t blk) {
  if (slot.entry == nullptr) return -1;
  void *zeros = malloc(kZeroPiece);
  if (zeros == nullptr) return -1;
  memset(zeros, 0, kZeroPiece);
  uint64_t address = BlockAddress(*slot.entry, blk);
  int result = 0;
  for (uint64_t done = 0; done < kHeaderAreaSize; done += kZeroPiece) {
    if (WriteAt(slot.fd, address + done, zeros, kZeroPiece) != WriteResult::kGood) {
      result = -1;
      break;
    }
    os().SleepMicros(kPauseAfterPieceUs);
  }
  free(zeros);
  return result;
}

}  // namespace zrfs
