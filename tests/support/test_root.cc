#include "support/test_root.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "zrfs.h"

namespace zrfs::test {
namespace {

void MakeDirs(const std::string &path) {
  for (size_t pos = 1; pos != std::string::npos;) {
    pos = path.find('/', pos + 1);
    mkdir(path.substr(0, pos).c_str(), 0777);
  }
}

}  // namespace

TestRoot::TestRoot() {
  char templ[] = "/tmp/zrfs-test-XXXXXX";
  if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
  MakeDirs(path_ + "/dvr/zrfs");
  MakeDirs(path_ + "/dev/scsi");
  if (zrfs_SetRootDir(path_.c_str()) != 0) throw std::runtime_error("zrfs_SetRootDir failed");
}

TestRoot::~TestRoot() {
  RemoveIpcObjects();
  zrfs_SetRootDir(nullptr);
  nftw(
      path_.c_str(),
      [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

std::string TestRoot::DevicePath(int disk) {
  char name[64];
  snprintf(name, sizeof name, "/dev/scsi/host%02d/part1", disk);
  return name;
}

std::string TestRoot::MakeImage(const std::string &logical, uint64_t bytes) const {
  std::string real = Real(logical);
  MakeDirs(real.substr(0, real.rfind('/')));
  int fd = open(real.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(bytes)) != 0)
    throw std::runtime_error("cannot make image " + real);
  close(fd);
  return logical;
}

int TestRoot::RemoveIpcObjects() const {
  int removed = zrfs_RemoveIpcObjects(path_.c_str());
  return removed > 0 ? removed : 0;
}

}  // namespace zrfs::test
