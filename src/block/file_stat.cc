#include "block/file_stat.h"

#include <cstring>

namespace zrfs {

bool RingNotFixed(const TfFileHeader &file) {
  return file.preStart != 0 && file.preEnd != 0 &&
         (file.preRecStartPtr == 0 || file.preRecEndPtr == 0);
}

int64_t RecordLogicalSize(const TfFileHeader &file) {
  // Before its ring is fixed, a ring file is written at preStart + position
  // and its end is a block offset: report the bytes recorded from preStart,
  // the size a reader can use, rather than that offset.
  if (RingNotFixed(file))
    return static_cast<int64_t>(file.EndAddr > file.preStart ? file.EndAddr - file.preStart : 0);
  uint64_t ring = 0;
  if (file.preRecStartPtr != 0 && file.preRecEndPtr != 0) {
    if (file.preRecEndPtr > file.preRecStartPtr) {
      ring = file.preRecEndPtr - file.preRecStartPtr;
    } else {
      ring = (file.preEnd - file.preRecStartPtr) + (file.preRecEndPtr - file.preStart);
    }
  }
  return static_cast<int64_t>((file.EndAddr - file.StartAddr) + ring);
}

void FillFileStat(const TfFileHeader &file, TfFileStat *st) {
  st->st_size = RecordLogicalSize(file);
  st->st_blocks = st->st_size / 512;
  st->st_mtim.tv_sec = static_cast<int32_t>(file.modifyTime);
  st->st_ctim.tv_sec = static_cast<int32_t>(file.modifyTime);
  st->ichan = file.ichan;
  st->lockFlag = file.lockFlag;
  st->recType = file.recType;
  st->createTime = file.createTime;
  memcpy(st->usrParam, file.usrParam, sizeof st->usrParam);
}

}  // namespace zrfs
