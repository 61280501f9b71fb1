// The only code that talks to the operating system directly.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "os/os.h"
#include "os/root_dir.h"

static_assert(sizeof(off_t) == 8, "the library needs 64-bit file offsets");

namespace zrfs {
namespace {

// Request of the recorder's disk driver: stores 1 in its int argument while
// the disk is present.
constexpr unsigned long kPresenceRequest = 0x400;

union SemArg {
  int val;
  struct semid_ds *buf;
  unsigned short *array;
};

class PosixOsImpl final : public Os {
 public:
  int Open(const char *path, int flags, int mode) override {
    char real[PATH_MAX];
    if (!ResolvePath(path, real, sizeof real)) return Fail(ENAMETOOLONG);
    return ::open(real, flags, mode);
  }
  int Close(int fd) override { return ::close(fd); }
  ssize_t PRead(int fd, void *buf, size_t len, uint64_t offset) override {
    return ::pread(fd, buf, len, static_cast<off_t>(offset));
  }
  ssize_t PWrite(int fd, const void *buf, size_t len, uint64_t offset) override {
    return ::pwrite(fd, buf, len, static_cast<off_t>(offset));
  }
  int DataSync(int fd) override { return ::fdatasync(fd); }
  int Advise(int fd, int64_t offset, int64_t len, int advice) override {
    int rc = ::posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(len), advice);
    if (rc != 0) return Fail(rc);
    return 0;
  }

  int DeviceBytes(int fd, uint64_t *bytes) override {
    struct stat st;
    if (::fstat(fd, &st) != 0) return -1;
    if (S_ISREG(st.st_mode)) {
      *bytes = static_cast<uint64_t>(st.st_size);
      return 0;
    }
    return ::ioctl(fd, BLKGETSIZE64, bytes);
  }

  int DeviceSectors(int fd, uint32_t *sectors) override {
    struct stat st;
    if (::fstat(fd, &st) != 0) return -1;
    if (S_ISREG(st.st_mode)) {
      uint64_t count = static_cast<uint64_t>(st.st_size) / 512;
      *sectors = count > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(count);
      return 0;
    }
    unsigned long count = 0;  // the request's argument is a long on every target
    if (::ioctl(fd, BLKGETSIZE, &count) != 0) return -1;
    *sectors = count > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(count);
    return 0;
  }

  int Presence(int fd, int *present) override {
    struct stat st;
    if (::fstat(fd, &st) != 0) return -1;
    if (S_ISREG(st.st_mode)) {  // an image is there while its file exists
      *present = st.st_nlink > 0 ? 1 : 0;
      return 0;
    }
    int answer = 0;
    if (::ioctl(fd, kPresenceRequest, &answer) == 0) {
      *present = answer == 1 ? 1 : 0;
      return 0;
    }
    // Drivers that do not know the request (loop devices say EINVAL,
    // qemu-user ENOSYS, others ENOTTY): a device that still reports a size
    // is there.
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTTY) return -1;
    uint64_t bytes = 0;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0) return -1;
    *present = bytes > 0 ? 1 : 0;
    return 0;
  }

  int MakeDir(const char *path, int mode) override {
    char real[PATH_MAX];
    if (!ResolvePath(path, real, sizeof real)) return Fail(ENAMETOOLONG);
    return ::mkdir(real, static_cast<mode_t>(mode));
  }

  int IsDir(const char *path) override {
    char real[PATH_MAX];
    struct stat st;
    if (!ResolvePath(path, real, sizeof real) || ::stat(real, &st) != 0) return 0;
    return S_ISDIR(st.st_mode) ? 1 : 0;
  }

  int Ftok(const char *path, int projId) override {
    char real[PATH_MAX];
    if (!ResolvePath(path, real, sizeof real)) return Fail(ENAMETOOLONG);
    return static_cast<int>(::ftok(real, projId));
  }

  int FtokReal(const char *realPath, int projId) override {
    return static_cast<int>(::ftok(realPath, projId));
  }

  int ShmGet(int key, size_t size, int flags) override { return ::shmget(key, size, flags); }
  const void *ShmAttachReadOnly(int shmId) override {
    void *addr = ::shmat(shmId, nullptr, SHM_RDONLY);
    return addr == reinterpret_cast<void *>(-1) ? nullptr : addr;
  }
  void *ShmAttach(int shmId) override {
    void *addr = ::shmat(shmId, nullptr, 0);
    return addr == reinterpret_cast<void *>(-1) ? nullptr : addr;
  }
  int ShmDetach(const void *addr) override { return ::shmdt(addr); }
  int ShmStat(int shmId, struct shmid_ds *out) override { return ::shmctl(shmId, IPC_STAT, out); }
  int ShmRemove(int shmId) override { return ::shmctl(shmId, IPC_RMID, nullptr); }
  int SemGet(int key, int nsems, int flags) override { return ::semget(key, nsems, flags); }
  int SemStat(int semId, struct semid_ds *out) override {
    SemArg arg;
    arg.buf = out;
    return ::semctl(semId, 0, IPC_STAT, arg);
  }
  int SemGetValue(int semId, int semNum) override { return ::semctl(semId, semNum, GETVAL); }
  int SemOp(int semId, struct sembuf *ops, size_t nops) override {
    return ::semop(semId, ops, nops);
  }

  int SemRemove(int semId) override { return ::semctl(semId, 0, IPC_RMID); }

  int64_t WallSeconds() override { return static_cast<int64_t>(::time(nullptr)); }
  int64_t MonotonicMicros() override {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
  }
  void SleepMicros(uint32_t micros) override {
    struct timespec left = {static_cast<time_t>(micros / 1000000),
                            static_cast<long>(micros % 1000000) * 1000};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }
  int ProcessId() override { return static_cast<int>(::getpid()); }
  uint32_t Random() override {
    struct timeval now;
    ::gettimeofday(&now, nullptr);
    unsigned seed = static_cast<unsigned>(now.tv_sec ^ now.tv_usec);
    return static_cast<uint32_t>(::rand_r(&seed));
  }
  int StartThread(void *(*run)(void *), void *arg) override {
    pthread_t thread;
    int error = ::pthread_create(&thread, nullptr, run, arg);
    if (error == 0) ::pthread_detach(thread);
    return error;
  }

 private:
  static int Fail(int error) {
    errno = error;
    return -1;
  }
};

// Set by tests and tools; null means POSIX.  Atomic because the flush thread
// reads it while a test installs or removes its wrapper.
std::atomic<Os *> g_installed{nullptr};

}  // namespace

Os &PosixOs() {
  static PosixOsImpl instance;  // made on first use, not at load time
  return instance;
}

Os &os() {
  Os *installed = g_installed.load(std::memory_order_acquire);
  return installed != nullptr ? *installed : PosixOs();
}

void InstallOs(Os *replacement) {
  g_installed.store(replacement, std::memory_order_release);
}

}  // namespace zrfs
