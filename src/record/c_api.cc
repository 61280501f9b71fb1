// The record-file layer's C interface: each function calls the layer's core
// (record_file.h) and turns the result into the interface's value.
#include "record/record_file.h"

using namespace zrfs;

extern "C" int tf_Init(void) {
  return ToAbi(StartRecordLayer());
}

extern "C" int tf_Uninit(void) {
  ReleaseAllFiles();
  return 0;
}

extern "C" TfHandle *tf_OpenFile(const FileCreateParam *param, char *name) {
  return OpenOrCreateFile(param, name);
}

extern "C" int tf_CloseFile(TfHandle *h) {
  if (h == nullptr) return -1;
  ReleaseFile(h);
  return 0;
}

extern "C" int tf_GetErrorNo(TfHandle *h) {
  return h == nullptr ? -1 : RecordErrNo(h);
}

extern "C" int tf_SyncFile(TfHandle *h) {
  return ToAbi(SyncFile(h));
}

extern "C" int tf_Read(uint32_t pos, void *buf, uint32_t len, TfHandle *h) {
  uint32_t done = 0;
  return Ok(ReadFile(h, pos, buf, len, &done)) ? static_cast<int>(done) : -1;
}

extern "C" int tf_Write(uint32_t pos, const void *buf, uint32_t len, TfHandle *h) {
  return Ok(WriteFile(h, pos, buf, len)) ? static_cast<int>(len) : -1;
}

extern "C" int tf_GetFileStat(TfFileStat *st, TfHandle *h) {
  return ToAbi(GetFileStatus(h, st));
}

extern "C" int tf_SetFileStat(const TfFileStat *st, TfHandle *h) {
  if (st == nullptr) return -1;
  return ToAbi(SetFileStatus(h, *st));
}

extern "C" int tf_ftruncate(TfHandle *h, int64_t size) {
  return ToAbi(TruncateFile(h, size));
}

extern "C" int tf_UpdataePreRecPtr(TfHandle *h, int64_t start, int64_t end) {
  return ToAbi(FixRing(h, start, end));
}

extern "C" int tf_Unlink(const char *name) {
  return ToAbi(UnlinkFile(name));
}

extern "C" int tf_GetDebugInfo(char *buf, int32_t size) {
  return DumpRecordFiles(buf, size);
}
