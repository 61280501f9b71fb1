// Running the built zrfs tool from tests: a child process with its output
// captured and a deadline, scratch directories for images, raw byte edits
// of an image.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace zrfs::test {

struct ToolResult {
  int status = -1;  // exit status; -1 when killed or not run
  std::string out, err;
};

// The command line that runs the tool, for a shell.
inline std::string ToolCommand() {
#ifdef ZRFS_TOOL_PATH
  std::string runner = ZRFS_TOOL_RUNNER;
  return runner.empty() ? ZRFS_TOOL_PATH : runner + " " + ZRFS_TOOL_PATH;
#else
  return {};
#endif
}

// Runs the tool with args, TZ=UTC (or the zone in ZRFS_TOOL_TZ, for a test
// of local times) and TMPDIR=tmpDir (when given), feeding it no input.  A run past the deadline is
// killed and fails the test.
inline ToolResult RunTool(const std::vector<std::string> &args, const std::string &tmpDir = {},
                          std::chrono::seconds timeout = std::chrono::seconds(90)) {
  ToolResult result;
#ifdef ZRFS_TOOL_PATH
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe failed";
    return result;
  }
  pid_t pid = fork();
  if (pid == 0) {
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, STDIN_FILENO);
    dup2(outPipe[1], STDOUT_FILENO);
    dup2(errPipe[1], STDERR_FILENO);
    const char *zone = getenv("ZRFS_TOOL_TZ");
    setenv("TZ", zone != nullptr ? zone : "UTC", 1);
    if (!tmpDir.empty()) setenv("TMPDIR", tmpDir.c_str(), 1);
    // A cross-built tool runs through the emulator, whose program and
    // options ZRFS_TOOL_RUNNER gives separated by spaces.
    std::vector<std::string> runner;
    std::istringstream words(ZRFS_TOOL_RUNNER);
    for (std::string word; words >> word;) runner.push_back(word);
    std::vector<char *> argv;
    for (auto &w : runner) argv.push_back(w.data());
    argv.push_back(const_cast<char *>(ZRFS_TOOL_PATH));
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  auto deadline = std::chrono::steady_clock::now() + timeout;
  struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string *sinks[2] = {&result.out, &result.err};
  int open = 2;
  bool timedOut = false;
  while (open > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timedOut = true;
      break;
    }
    if (poll(fds, 2, int(left.count())) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
      char buffer[65536];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, size_t(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  if (timedOut) {
    kill(pid, SIGKILL);
    ADD_FAILURE() << "zrfs timed out";
  }
  for (auto &fd : fds)
    if (fd.fd >= 0) close(fd.fd);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#else
  (void)args;
  (void)tmpDir;
  (void)timeout;
#endif
  return result;
}

// Skips a test when the tool is not built (its libraries are missing).
#ifdef ZRFS_TOOL_PATH
#define SKIP_WITHOUT_TOOL()
#else
#define SKIP_WITHOUT_TOOL() GTEST_SKIP() << "the zrfs tool is not built here"
#endif

// A scratch directory, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    char templ[] = "/tmp/zrfs-tool-test-XXXXXX";
    if (mkdtemp(templ) != nullptr) path_ = templ;
  }
  ~ScratchDir() {
    nftw(
        path_.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
  }
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
}

// Reads or overwrites bytes of an image in place.
inline std::string PeekBytes(const std::string &path, uint64_t offset, size_t len) {
  std::string bytes(len, '\0');
  int fd = open(path.c_str(), O_RDONLY);
  EXPECT_EQ(pread(fd, bytes.data(), len, off_t(offset)), ssize_t(len));
  close(fd);
  return bytes;
}
inline void PokeBytes(const std::string &path, uint64_t offset, const void *bytes, size_t len) {
  int fd = open(path.c_str(), O_WRONLY);
  EXPECT_EQ(pwrite(fd, bytes, len, off_t(offset)), ssize_t(len));
  close(fd);
}
template <typename T>
void Poke(const std::string &path, uint64_t offset, const T &value) {
  PokeBytes(path, offset, &value, sizeof value);
}

// A digest (FNV-1a) of a sparse image: every data extent's place and bytes,
// so a write anywhere, even into a hole, changes it.
inline uint64_t ImageDigest(const std::string &path) {
  uint64_t hash = 0xcbf29ce484222325ull;
  auto mix = [&hash](const void *bytes, size_t n) {
    for (size_t i = 0; i < n; ++i)
      hash = (hash ^ static_cast<const uint8_t *>(bytes)[i]) * 0x100000001b3ull;
  };
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return 0;
  std::vector<char> buffer(1 << 20);
  off_t end = lseek(fd, 0, SEEK_END);
  for (off_t at = lseek(fd, 0, SEEK_DATA); at >= 0 && at < end;) {
    off_t hole = lseek(fd, at, SEEK_HOLE);
    mix(&at, sizeof at);
    for (off_t pos = at; pos < hole;) {
      ssize_t n =
          pread(fd, buffer.data(), size_t(std::min<off_t>(hole - pos, off_t(buffer.size()))), pos);
      if (n <= 0) break;
      mix(buffer.data(), size_t(n));
      pos += n;
    }
    mix(&hole, sizeof hole);
    at = lseek(fd, hole, SEEK_DATA);
  }
  close(fd);
  return hash;
}

}  // namespace zrfs::test
