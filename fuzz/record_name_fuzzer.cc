// Record-file names from callers: taken apart on their own, then handed to
// every call that takes a name, on a mounted disk holding one recording.
#include <cstring>
#include <string>

#include "fuzz_disk.h"
#include "zrfs.h"
#include "zrfs/bf.h"
#include "zrfs/fsc.h"

using namespace zrfs::fuzz;

namespace {

std::string g_recording;

void MakeRecording(const std::string &dev) {
  FileCreateParam p = MakeParam(1, 0, 0);
  char name[ZRFS_NAME_MAX] = {};
  int fd = zrfs_Open(&p, name, 2);
  if (fd < 0) abort();
  char bytes[4096] = {1, 2, 3};
  zrfs_Write(fd, bytes, sizeof bytes);
  zrfs_Close(fd);
  g_recording = name;
  (void)dev;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string &dev = StartLibrary();
  if (g_recording.empty()) {
    if (zrfs_Format(dev.c_str()) != 0 || zrfs_Mount(dev.c_str()) != 0) abort();
    MakeRecording(dev);
  }
  std::string name(reinterpret_cast<const char *>(data), size);
  name = name.c_str();  // up to the first NUL, as a C caller passes it

  int32_t diskAndBlock[2];
  bf_ParseFileName(name.c_str(), diskAndBlock);
  fsc_GetDiskNumByPath(name.c_str());
  TfFileStat st;
  zrfs_Stat(name.c_str(), &st);
  zrfs_GetFileNum(name.c_str(), 0);
  int fd = zrfs_Open(nullptr, const_cast<char *>(name.c_str()), 0);
  if (fd >= 0) {
    char bytes[512];
    zrfs_Read(fd, bytes, sizeof bytes);
    zrfs_Close(fd);
  }
  // The disk keeps one recording for names to find.
  if (zrfs_Unlink(name.c_str()) == 0 && zrfs_Stat(g_recording.c_str(), &st) != 0)
    MakeRecording(dev);
  return 0;
}
