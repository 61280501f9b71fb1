#include "check/block_scan.h"

#include "format/record_header.h"

#include <strings.h>

#include <cctype>
#include <cstring>

namespace zrfs::tool {
namespace {

constexpr size_t kQuickBytes = 0x10000;

// Each byte equals the one before it, and the first is zero.
bool AllZero(const uint8_t *bytes, size_t n) {
  return n == 0 || (bytes[0] == 0 && memcmp(bytes, bytes + 1, n - 1) == 0);
}

// A deleted file's slot keeps only its file number.
bool IsDeletedSlot(const uint8_t *sector, uint32_t slot) {
  uint32_t fileNo;
  memcpy(&fileNo, sector, sizeof fileNo);
  return fileNo == slot && AllZero(sector + 4, kSectorSize - 4);
}

// A header whose magic was damaged but whose other fields still say "record
// file of this slot".
bool LooksLikeDamagedFile(const TfFileHeader &h, uint32_t slot) {
  return h.fileNo == slot && TagLooksValid(h) && h.EndAddr >= h.StartAddr &&
         (h.StartAddr >= kHeaderAreaSize || (h.StartAddr == 0 && h.preStart >= kHeaderAreaSize));
}

}  // namespace

bool HasFileMagic(const TfFileHeader &header) {
  return HasRecordMagic(header);
}

bool TagLooksValid(const TfFileHeader &header) {
  for (char c : header.tag)
    if (!isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

bool BlockHeadPlausible(const BlkHeader &head, uint64_t unitSize) {
  return head.inUse == 1 && head.hdrAreaSize == kHeaderAreaSize &&
         head.dataOffset == int64_t(kHeaderAreaSize) && head.blkType < 16 && head.ichan < 1024 &&
         head.lastFileNo <= kMaxFileNo && head.appendPos >= int64_t(kHeaderAreaSize) &&
         uint64_t(head.appendPos) <= unitSize;
}

BlockScan ScanBlock(const RawDisk &disk, uint64_t address, bool quick) {
  static std::vector<uint8_t> area(kHeaderAreaSize);
  BlockScan scan;
  size_t length = kHeaderAreaSize;
  if (quick) {
    if (!disk.Read(address, area.data(), kQuickBytes)) return scan;
    if (AllZero(area.data(), kQuickBytes)) {
      scan.read = true;
      scan.headZero = true;
      return scan;
    }
  }
  if (!disk.Read(address, area.data(), length)) return scan;
  scan.read = true;
  memcpy(&scan.head, area.data(), sizeof scan.head);
  scan.headZero = AllZero(area.data(), kSectorSize);
  for (uint32_t slot = 1; slot <= kMaxFileNo; ++slot) {
    const uint8_t *sector = area.data() + size_t(slot) * kSectorSize;
    if (AllZero(sector, kSectorSize)) continue;
    TfFileHeader header;
    memcpy(&header, sector, sizeof header);
    if (HasFileMagic(header)) {
      scan.files.push_back({slot, header, false});
      scan.highestSlot = slot;
    } else if (IsDeletedSlot(sector, slot)) {
      scan.highestSlot = slot;
    } else if (LooksLikeDamagedFile(header, slot)) {
      scan.files.push_back({slot, header, true});
      scan.highestSlot = slot;
    } else {
      scan.unknownSlots.push_back(slot);
    }
  }
  return scan;
}

}  // namespace zrfs::tool
