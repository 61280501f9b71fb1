// The one seam between the library and the operating system.
//
// Every call the library makes for devices, key files, System V IPC, the
// clock, sleeping and threads goes through the Os interface, so tests can wrap it (OsWrapper) and
// make chosen calls fail, transfer short, report a disk absent or lose unsynced writes, without any
// test-only branch in the layers above.
//
// Conventions follow POSIX: -1 (or nullptr) with errno set on failure.
// Paths are the library's logical paths ("/dvr/zrfs/zrfslayer",
// "/dev/scsi/host03/part1"); the POSIX implementation resolves them under the
// root directory (root_dir.h).
#pragma once

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace zrfs {

class Os {
 public:
  // Devices and files.  Transfers are positional (pread, pwrite): threads
  // sharing a descriptor never disturb each other's position, and one call
  // does what a seek and a transfer did.  Each is one system call; ReadFully
  // and WriteFully below repeat them until done.
  virtual int Open(const char *path, int flags, int mode) = 0;
  virtual int Close(int fd) = 0;
  virtual ssize_t PRead(int fd, void *buf, size_t len, uint64_t offset) = 0;
  virtual ssize_t PWrite(int fd, const void *buf, size_t len, uint64_t offset) = 0;
  virtual int DataSync(int fd) = 0;
  virtual int Advise(int fd, int64_t offset, int64_t len, int advice) = 0;
  // BLKGETSIZE64 (bytes) and BLKGETSIZE (512-byte sectors); a regular file
  // answers with its size, so a disk image serves as a device.
  virtual int DeviceBytes(int fd, uint64_t *bytes) = 0;
  virtual int DeviceSectors(int fd, uint32_t *sectors) = 0;
  // The disk driver's presence request (0x400): *present becomes 1 while the
  // disk is there.  A disk image is present while its file exists.
  virtual int Presence(int fd, int *present) = 0;
  virtual int MakeDir(const char *path, int mode) = 0;
  virtual int IsDir(const char *path) = 0;  // 1 yes, 0 no
  virtual int Ftok(const char *path, int projId) = 0;
  // ftok of a real path, not resolved under the root directory.
  virtual int FtokReal(const char *realPath, int projId) = 0;

  // System V shared memory and semaphores.
  virtual int ShmGet(int key, size_t size, int flags) = 0;
  virtual void *ShmAttach(int shmId) = 0;
  virtual const void *ShmAttachReadOnly(int shmId) = 0;
  virtual int ShmDetach(const void *addr) = 0;
  virtual int ShmStat(int shmId, struct shmid_ds *out) = 0;
  virtual int ShmRemove(int shmId) = 0;
  virtual int SemGet(int key, int nsems, int flags) = 0;
  virtual int SemStat(int semId, struct semid_ds *out) = 0;
  virtual int SemGetValue(int semId, int semNum) = 0;
  virtual int SemOp(int semId, struct sembuf *ops, size_t nops) = 0;
  virtual int SemRemove(int semId) = 0;

  // Time, waiting and threads.  Tests wrap these to run the flush thread's
  // clock faster than the wall's.
  virtual int64_t WallSeconds() = 0;              // seconds since the epoch
  virtual void SleepMicros(uint32_t micros) = 0;  // the whole time, across signals
  virtual int64_t MonotonicMicros() = 0;          // a clock that never goes back
  virtual int ProcessId() = 0;
  // A number for record tags: varies between calls, needs no secrecy.
  virtual uint32_t Random() = 0;
  // Starts a detached thread running run(arg): 0, or an error number.
  virtual int StartThread(void *(*run)(void *), void *arg) = 0;

 protected:
  ~Os() = default;  // never deleted through the interface
};

// Reads or writes len bytes at offset through os(), repeating after EINTR
// and after short transfers.  Returns the bytes transferred: len, or fewer
// when the device failed (errno from the failing call) or ended (errno 0);
// -1 when the first call failed before anything was transferred.
ssize_t ReadFully(int fd, void *buf, size_t len, uint64_t offset);
ssize_t WriteFully(int fd, const void *buf, size_t len, uint64_t offset);

// The Os the library uses now: the installed one, else the POSIX one.
Os &os();

// Installs an Os for this process (nullptr restores the POSIX one).  Meant
// for start-up, before any other thread uses the library.
void InstallOs(Os *replacement);

// The POSIX implementation, for wrappers that delegate to it.
Os &PosixOs();

// Forwards every call to a target; override only what you want to change.
class OsWrapper : public Os {
 public:
  explicit OsWrapper(Os &target) : target_(target) {}
  Os &target() { return target_; }

  // Makes every sleep of the library `times` times shorter: the flush
  // thread's sweeps, and with them its visits and periodic flushes, come
  // that much sooner, so tests wait for them in sweeps, not in seconds.
  void RunClockFaster(uint32_t times) { clockRate_ = times > 0 ? times : 1; }

  int Open(const char *p, int f, int m) override { return target_.Open(p, f, m); }
  int Close(int fd) override { return target_.Close(fd); }
  ssize_t PRead(int fd, void *b, size_t n, uint64_t o) override {
    return target_.PRead(fd, b, n, o);
  }
  ssize_t PWrite(int fd, const void *b, size_t n, uint64_t o) override {
    return target_.PWrite(fd, b, n, o);
  }
  int DataSync(int fd) override { return target_.DataSync(fd); }
  int Advise(int fd, int64_t o, int64_t n, int a) override { return target_.Advise(fd, o, n, a); }
  int DeviceBytes(int fd, uint64_t *b) override { return target_.DeviceBytes(fd, b); }
  int DeviceSectors(int fd, uint32_t *s) override { return target_.DeviceSectors(fd, s); }
  int Presence(int fd, int *p) override { return target_.Presence(fd, p); }
  int MakeDir(const char *p, int m) override { return target_.MakeDir(p, m); }
  int IsDir(const char *p) override { return target_.IsDir(p); }
  int Ftok(const char *p, int id) override { return target_.Ftok(p, id); }
  int FtokReal(const char *p, int id) override { return target_.FtokReal(p, id); }
  int ShmGet(int k, size_t n, int f) override { return target_.ShmGet(k, n, f); }
  void *ShmAttach(int id) override { return target_.ShmAttach(id); }
  const void *ShmAttachReadOnly(int id) override { return target_.ShmAttachReadOnly(id); }
  int ShmDetach(const void *a) override { return target_.ShmDetach(a); }
  int ShmStat(int id, struct shmid_ds *o) override { return target_.ShmStat(id, o); }
  int ShmRemove(int id) override { return target_.ShmRemove(id); }
  int SemGet(int k, int n, int f) override { return target_.SemGet(k, n, f); }
  int SemStat(int id, struct semid_ds *o) override { return target_.SemStat(id, o); }
  int SemGetValue(int id, int n) override { return target_.SemGetValue(id, n); }
  int SemOp(int id, struct sembuf *ops, size_t n) override { return target_.SemOp(id, ops, n); }
  int SemRemove(int id) override { return target_.SemRemove(id); }
  int64_t WallSeconds() override { return target_.WallSeconds(); }
  void SleepMicros(uint32_t us) override { target_.SleepMicros(us / clockRate_); }
  int64_t MonotonicMicros() override { return target_.MonotonicMicros() * clockRate_; }
  int ProcessId() override { return target_.ProcessId(); }
  uint32_t Random() override { return target_.Random(); }
  int StartThread(void *(*run)(void *), void *arg) override {
    return target_.StartThread(run, arg);
  }

 protected:
  ~OsWrapper() = default;

 private:
  Os &target_;
  uint32_t clockRate_ = 1;
};

}  // namespace zrfs
