#include "request_trace.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace bench {
namespace {

constexpr const char *kTracefsDirs[] = {"/sys/kernel/tracing", "/sys/kernel/debug/tracing"};
constexpr char kInstancePrefix[] = "zrfs_bench-";
constexpr char kEvent[] = "/events/block/block_rq_issue/";
constexpr char kBufferKiB[] = "4096";  // per CPU; the reader empties it every 20 ms

// What ReleaseRequestTracing undoes; plain globals so that a signal handler
// can reach them.
std::string g_mountedAt;
std::string g_activeInstance;
int g_activePipe = -1;

bool WriteFile(const std::string &path, const std::string &text) {
  int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
  close(fd);
  return ok;
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The tracefs directory, mounting tracefs first when nothing shows it.
bool FindTracefs(std::string *root, std::string *error) {
  for (const char *dir : kTracefsDirs) {
    if (access((std::string(dir) + "/instances").c_str(), F_OK) == 0) {
      *root = dir;
      return true;
    }
  }
  if (mount("nodev", kTracefsDirs[0], "tracefs", 0, nullptr) != 0) {
    *error = std::string("tracefs is not mounted and cannot be mounted: ") + strerror(errno);
    return false;
  }
  g_mountedAt = kTracefsDirs[0];
  *root = kTracefsDirs[0];
  return true;
}

void RemoveInstance(const std::string &dir) {
  WriteFile(dir + kEvent + "enable", "0");
  rmdir(dir.c_str());
}

// Instances that runs of this program killed before their clean-up left.
void RemoveStaleInstances(const std::string &root) {
  std::string dir = root + "/instances";
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (dirent *e = readdir(d)) {
    if (strncmp(e->d_name, kInstancePrefix, sizeof kInstancePrefix - 1) != 0) continue;
    pid_t owner = pid_t(atol(e->d_name + sizeof kInstancePrefix - 1));
    if (owner > 0 && kill(owner, 0) != 0 && errno == ESRCH) RemoveInstance(dir + "/" + e->d_name);
  }
  closedir(d);
}

// The device number as the trace event holds it (the kernel's dev_t).
bool KernelDeviceNumber(const std::string &blockDevice, uint64_t *number) {
  unsigned major = 0, minor = 0;
  std::string text = ReadFile("/sys/block/" + blockDevice + "/dev");
  if (sscanf(text.c_str(), "%u:%u", &major, &minor) != 2) return false;
  *number = (uint64_t(major) << 20) | minor;
  return true;
}

// Events lost to a full buffer, over all CPUs.
uint64_t LostEvents(const std::string &instance) {
  uint64_t lost = 0;
  DIR *d = opendir((instance + "/per_cpu").c_str());
  if (d == nullptr) return 0;
  while (dirent *e = readdir(d)) {
    if (strncmp(e->d_name, "cpu", 3) != 0) continue;
    std::istringstream stats(ReadFile(instance + "/per_cpu/" + e->d_name + "/stats"));
    std::string line;
    while (std::getline(stats, line)) {
      unsigned long long n = 0;
      if (sscanf(line.c_str(), "overrun: %llu", &n) == 1 ||
          sscanf(line.c_str(), "dropped events: %llu", &n) == 1)
        lost += n;
    }
  }
  closedir(d);
  return lost;
}

}  // namespace

bool RequestTrace::Start(const std::string &blockDevice, std::string *error) {
  std::string root;
  uint64_t device = 0;
  if (!FindTracefs(&root, error)) return false;
  RemoveStaleInstances(root);
  if (!KernelDeviceNumber(blockDevice, &device)) {
    *error = "no device number for " + blockDevice;
    return false;
  }
  static int serial = 0;
  instance_ = root + "/instances/" + kInstancePrefix + std::to_string(getpid()) + "-" +
              std::to_string(serial++);
  if (mkdir(instance_.c_str(), 0700) != 0) {
    *error = "cannot make a tracing instance: " + std::string(strerror(errno));
    instance_.clear();
    return false;
  }
  g_activeInstance = instance_;
  WriteFile(instance_ + "/buffer_size_kb", kBufferKiB);  // the default is enough at a pinch
  pipe_ = open((instance_ + "/trace_pipe").c_str(), O_RDONLY | O_NONBLOCK);
  g_activePipe = pipe_;
  if (pipe_ < 0 || !WriteFile(instance_ + kEvent + "filter", "dev == " + std::to_string(device)) ||
      !WriteFile(instance_ + kEvent + "enable", "1")) {
    *error = "cannot enable block:block_rq_issue for " + blockDevice;
    Stop();
    return false;
  }
  counts_ = DeviceRequests{};
  counts_.counted = true;
  first_ = true;
  stopping_.store(false);
  reader_ = std::thread([this] { Read(); });
  return true;
}

DeviceRequests RequestTrace::Stop() {
  if (instance_.empty()) return DeviceRequests{};
  WriteFile(instance_ + kEvent + "enable", "0");
  stopping_.store(true);
  if (reader_.joinable()) reader_.join();
  counts_.lost = LostEvents(instance_);
  if (pipe_ >= 0) close(pipe_);
  pipe_ = g_activePipe = -1;
  RemoveInstance(instance_);
  instance_.clear();
  g_activeInstance.clear();
  return counts_;
}

void RequestTrace::Read() {
  std::string pending;
  char buffer[1 << 16];
  bool lastPass = false;
  for (;;) {
    ssize_t n = read(pipe_, buffer, sizeof buffer);
    if (n > 0) {
      pending.append(buffer, size_t(n));
      size_t begin = 0;
      for (size_t end; (end = pending.find('\n', begin)) != std::string::npos; begin = end + 1) {
        pending[end] = '\0';
        Count(pending.c_str() + begin);
      }
      pending.erase(0, begin);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) break;
    if (lastPass) break;
    // The event is disabled before stopping_ is set, so one more pass after
    // seeing it empties everything that was issued.
    if (stopping_.load()) {
      lastPass = true;
      continue;
    }
    usleep(20'000);
  }
}

// One line of trace_pipe, as the event prints it:
//   ... block_rq_issue: 7,3 WS 65536 () 4212736 + 128 be,0,4 [kworker/u8:2]
// rwbs: F (cache flush before), then W, R, D (discard) or F (flush alone),
// then flags.
void RequestTrace::Count(const char *line) {
  const char *event = strstr(line, "block_rq_issue: ");
  if (event == nullptr) return;
  event += strlen("block_rq_issue: ");
  unsigned major = 0, minor = 0, bytes = 0, sectors = 0;
  unsigned long long sector = 0;
  char rwbs[16] = {};
  int used = 0;
  if (sscanf(event, "%u,%u %15s %u%n", &major, &minor, rwbs, &bytes, &used) < 4) return;
  const char *command = strstr(event + used, ") ");  // the passthrough command, "()" here
  if (command == nullptr || sscanf(command + 2, "%llu + %u", &sector, &sectors) != 2) return;
  bool isRead = strchr(rwbs, 'R') != nullptr, isWrite = strchr(rwbs, 'W') != nullptr;
  bool isDiscard = strchr(rwbs, 'D') != nullptr;
  uint64_t dataBytes = uint64_t(sectors) * 512;
  if (isRead) {
    ++counts_.reads;
    counts_.readBytes += dataBytes;
  } else if (isWrite) {
    ++counts_.writes;
    counts_.writeBytes += dataBytes;
  } else if (rwbs[0] == 'F' && sectors == 0) {
    ++counts_.flushes;
  }
  if ((isRead || isWrite || isDiscard) && sectors > 0) {
    if (!first_ && sector != nextSector_) ++counts_.seeks;
    first_ = false;
    nextSector_ = sector + sectors;
  }
}

void ReleaseRequestTracing() {
  if (g_activePipe >= 0) close(g_activePipe);
  g_activePipe = -1;
  if (!g_activeInstance.empty()) RemoveInstance(g_activeInstance);
  g_activeInstance.clear();
  if (!g_mountedAt.empty() && umount(g_mountedAt.c_str()) == 0) g_mountedAt.clear();
}

}  // namespace bench
