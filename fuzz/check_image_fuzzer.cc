// The disk checker on damaged images.  A disk is formatted once by the
// library; each input then overlays the parts of it the checker reads
// (fuzz_disk.h, CheckedRegions; an input cut short leaves the rest as
// formatted), and the checker analyses the image.  Where the analysis says a
// repair mends something, the repair is written and a second analysis must
// find nothing left to mend, and a clean disk when every finding had a
// repair.  Anything else aborts: the repair does not do what the analysis
// promised.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "check/checker.h"
#include "errors.h"
#include "format/disk_format.h"
#include "fuzz_disk.h"
#include "zrfs.h"

using namespace zrfs;
using namespace zrfs::fuzz;
using namespace zrfs::tool;

namespace {

struct Sector {
  uint64_t offset;
  std::string bytes;
};

// The sectors a format writes that are not zero.
std::vector<Sector> g_formatted;

void Pwrite(int fd, uint64_t offset, const void *bytes, size_t len) {
  if (pwrite(fd, bytes, len, off_t(offset)) != ssize_t(len)) abort();
}

void Format() {
  const std::string &dev = StartLibrary();
  if (zrfs_Format(dev.c_str()) != 0) abort();
  int fd = open(ImageFile().c_str(), O_RDONLY);
  if (fd < 0) abort();
  std::string meta(2 * size_t(kMetaSize), '\0');
  if (pread(fd, meta.data(), meta.size(), off_t(kFirstCopyBase)) != ssize_t(meta.size())) abort();
  close(fd);
  static const std::string zeros(kSectorSize, '\0');
  for (size_t at = 0; at < meta.size(); at += kSectorSize)
    if (meta.compare(at, kSectorSize, zeros) != 0)
      g_formatted.push_back({kFirstCopyBase + at, meta.substr(at, kSectorSize)});
}

void Report(const char *what, const Analysis &a) {
  fprintf(stderr, "%s\n", what);
  for (const Finding &f : a.findings)
    fprintf(stderr, "  %s [%s] %s: %s%s%s\n", SeverityName(f.severity), f.code, f.location.c_str(),
            f.message.c_str(), f.repair.empty() ? "" : " -> ", f.repair.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (g_formatted.empty()) Format();
  EmptyImage();
  int fd = open(ImageFile().c_str(), O_RDWR);
  if (fd < 0) abort();
  for (const Sector &s : g_formatted) Pwrite(fd, s.offset, s.bytes.data(), s.bytes.size());
  size_t used = 0;
  for (const Region &r : CheckedRegions()) {
    if (used >= size) break;
    size_t len = std::min(r.len, size - used);
    Pwrite(fd, r.offset, data + used, len);
    used += len;
  }
  close(fd);

  try {
    RawDisk disk(ImageFile(), true);
    Analysis first = AnalyseDisk(disk);
    if (first.Clean() || !first.Repairable()) return 0;
    ApplyRepair(disk, first);
    Analysis second = AnalyseDisk(disk);
    bool allMendable = true;
    for (const Finding &f : first.findings)
      if (f.severity != Severity::kNote && f.repair.empty()) allMendable = false;
    if (second.Repairable() || (allMendable && !second.Clean())) {
      Report("before the repair:", first);
      Report("after the repair:", second);
      abort();
    }
  } catch (const ToolError &e) {
    fprintf(stderr, "checker: %s\n", e.what());
    abort();
  }
  return 0;
}
