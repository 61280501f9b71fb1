// The block-file layer's C interface: each function checks its arguments,
// calls the layer's core (block_file.h) and turns the result into the
// interface's value.
#include "block/block_file.h"

using namespace zrfs;

extern "C" int bf_Init(void) {
  return ToAbi(StartBlockLayer());
}

extern "C" int bf_UnInit(void) {
  return 0;
}

extern "C" BfHandle *bf_CreateFile(const FileCreateParam *param, char *name, void *header) {
  return CreateRecordFile(param, name, static_cast<TfFileHeader *>(header), false);
}

extern "C" BfHandle *bf_OpenFile(const char *name, void *header) {
  return OpenRecordFile(name, static_cast<TfFileHeader *>(header));
}

extern "C" int bf_CloseFile(BfHandle *h) {
  if (h == nullptr) return -1;
  DetachBlock(h);
  return 0;
}

extern "C" int bf_GetErrorNo(BfHandle *h) {
  return h == nullptr ? 0 : LoadErrNo(h);
}

extern "C" int bf_Read(uint32_t offset, void *buf, uint32_t len, BfHandle *h) {
  uint32_t done = 0;
  return Ok(ReadBlock(h, offset, buf, len, &done)) ? static_cast<int>(done) : -1;
}

// A write of nothing that is refused answers 0, as the recorders expect.
extern "C" int bf_Write(uint32_t offset, const void *buf, uint32_t len, BfHandle *h) {
  if (Ok(WriteBlock(h, offset, buf, len))) return static_cast<int>(len);
  return len == 0 ? 0 : -1;
}

extern "C" int bf_Sync(const void *header, BfHandle *h) {
  if (header == nullptr) return -1;
  return ToAbi(SyncHeaders(h, *static_cast<const TfFileHeader *>(header)));
}

extern "C" int bf_Unlink(const char *name) {
  return ToAbi(UnlinkRecordFile(name));
}

extern "C" int bf_GetBlockFileNum(const char *diskPath, int blk) {
  int count = 0;
  (void)CountBlockFiles(diskPath, blk, &count);  // 0 when the block cannot be looked at
  return count;
}

extern "C" int bf_BlockStat(const char *diskPath, int blk, TfFileStat *st, int max) {
  int filled = 0;
  return Ok(StatBlockFiles(diskPath, blk, st, max, &filled)) ? filled : -1;
}

extern "C" int bf_MakeFileName(uint32_t disk, uint32_t blk, uint32_t fileNo, char *name,
                               char *identity, uint32_t lockFlag) {
  if (name == nullptr || identity == nullptr) return -1;
  MakeFileName(disk, blk, fileNo, name, identity, lockFlag);
  return 0;
}

extern "C" int bf_ParseFileName(const char *name, int32_t *diskAndBlock) {
  RecordName parsed;
  if (diskAndBlock == nullptr || !ParseRecordName(name, &parsed)) return -1;
  diskAndBlock[0] = parsed.disk;
  diskAndBlock[1] = parsed.blk;
  return 0;
}

extern "C" int bf_GetDebugInfo(char *buf, int size) {
  return DumpBlockFiles(buf, size);
}
