#include "block/file_stat.h"

#include <cstring>

#include "block/block_file.h"

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

void FillListedFileStat(uint32_t disk, uint32_t blk, const TfFileHeader &file, TfFileStat *st) {
  char identity[8];
  memcpy(identity, file.magic, 4);
  memcpy(identity + 4, file.tag, 4);
  MakeFileName(disk, blk, file.fileNo, st->filename, identity, file.lockFlag);
  size_t extLen = strnlen(file.extName, sizeof file.extName);
  memcpy(st->filename + 24, file.extName, extLen);
  st->filename[24 + extLen] = '\0';
  FillFileStat(file, st);
}

}  // namespace zrfs
