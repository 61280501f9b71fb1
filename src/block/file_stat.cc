#include "block/file_stat.h"

#include <cstring>

namespace zrfs {

int64_t RecordLogicalSize(const TfFileHeader &file) {
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
