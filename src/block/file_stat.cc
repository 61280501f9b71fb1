#include "block/file_stat.h"

#include <cstring>

namespace zrfs {

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
