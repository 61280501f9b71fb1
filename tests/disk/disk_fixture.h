// Shared helpers of the disk-layer tests: disk images of a chosen number of
// blocks, direct access to their bytes, a log of device transfers, and
// words of shared memory for multi-process tests.
#pragma once

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "disk/disk_table.h"
#include "disk/layout.h"
#include "format/block_format.h"
#include "os/os.h"
#include "support/fault_os.h"
#include "support/test_root.h"
#include "zrfs.h"
#include "zrfs/df.h"
#include "zrfs/fsc.h"

namespace zrfs::test {

inline constexpr uint64_t kUnit = kFormatUnitSize;
inline constexpr uint64_t kDataStart = kFormatDataStart;

// Image size whose format records exactly `blocks` blocks (one unit stays
// free at the end).
constexpr uint64_t ImageBytesFor(uint32_t blocks) {
  return kDataStart + (blocks + 1ull) * kUnit;
}
constexpr uint64_t BlockAddr(int blk) {
  return kDataStart + uint64_t(blk) * kUnit;
}

// One device transfer as the library made it.
struct Transfer {
  bool write;
  uint64_t offset;
  size_t len;
};

// Records every read and write on disk devices ("/dev/scsi/..."), and can
// report a device size of its choosing (so big disks fit in small images:
// format writes only the first 17 MiB).
class IoLog final : public OsWrapper {
 public:
  explicit IoLog(Os &target) : OsWrapper(target) {}

  void Reset() {
    std::lock_guard lock(mu_);
    log_.clear();
  }
  std::vector<Transfer> Writes() const { return Select(true); }
  std::vector<Transfer> Reads() const { return Select(false); }
  uint64_t BytesWritten() const {
    uint64_t sum = 0;
    for (const Transfer &t : Writes()) sum += t.len;
    return sum;
  }
  void ReportDeviceBytes(uint64_t bytes) { fakeBytes_ = bytes; }

  int Open(const char *path, int flags, int mode) override {
    int fd = target().Open(path, flags, mode);
    std::lock_guard lock(mu_);
    if (fd >= 0) devices_[fd] = strstr(path, "/dev/scsi/") != nullptr;
    return fd;
  }
  ssize_t Read(int fd, void *buf, size_t len) override {
    Note(false, fd, len);
    return target().Read(fd, buf, len);
  }
  ssize_t Write(int fd, const void *buf, size_t len) override {
    Note(true, fd, len);
    return target().Write(fd, buf, len);
  }
  int DeviceBytes(int fd, uint64_t *bytes) override {
    if (fakeBytes_ == 0) return target().DeviceBytes(fd, bytes);
    *bytes = fakeBytes_;
    return 0;
  }

 private:
  void Note(bool write, int fd, size_t len) {
    uint64_t offset = uint64_t(target().Seek(fd, 0, SEEK_CUR));
    std::lock_guard lock(mu_);
    if (devices_[fd]) log_.push_back({write, offset, len});
  }
  std::vector<Transfer> Select(bool write) const {
    std::lock_guard lock(mu_);
    std::vector<Transfer> out;
    for (const Transfer &t : log_)
      if (t.write == write) out.push_back(t);
    return out;
  }

  mutable std::mutex mu_;
  std::map<int, bool> devices_;
  std::vector<Transfer> log_;
  std::atomic<uint64_t> fakeBytes_{0};
};

// The OS layers a disk test runs on: IoLog over FaultOs over POSIX.  Made
// once per process and never destroyed, because the flush thread keeps
// calling through them until the process ends.
struct TestOs {
  FaultOs *faults;
  IoLog *io;
};
inline TestOs InstallTestOs() {
  static TestOs layers = [] {
    auto *faults = new FaultOs();  // installs itself
    auto *io = new IoLog(*faults);
    InstallOs(io);
    return TestOs{faults, io};
  }();
  return layers;
}

// What a recorder process does before it uses disks.
inline TestOs StartDiskLayer() {
  TestOs layers = InstallTestOs();
  EXPECT_EQ(fsc_ShareInit(), 0);
  EXPECT_EQ(df_Init(), 0);
  return layers;
}

// Device bytes, read and written past the library.
inline std::string ReadImage(const TestRoot &root, const std::string &dev, uint64_t offset,
                             size_t len) {
  std::string out(len, '\0');
  int fd = open(root.Real(dev).c_str(), O_RDONLY);
  ssize_t got = pread(fd, out.data(), len, off_t(offset));
  close(fd);
  out.resize(got > 0 ? size_t(got) : 0);
  return out;
}
inline void WriteImage(const TestRoot &root, const std::string &dev, uint64_t offset,
                       const void *bytes, size_t len) {
  int fd = open(root.Real(dev).c_str(), O_WRONLY);
  ASSERT_EQ(pwrite(fd, bytes, len, off_t(offset)), ssize_t(len));
  close(fd);
}
template <typename T>
T ReadRecord(const TestRoot &root, const std::string &dev, uint64_t offset) {
  T record{};
  std::string bytes = ReadImage(root, dev, offset, sizeof record);
  memcpy(&record, bytes.data(), std::min(bytes.size(), sizeof record));
  return record;
}

inline FileCreateParam Param(const std::string &dev, uint32_t chan, uint32_t kind = 0,
                             int32_t preRecSize = 0) {
  FileCreateParam p{};
  p.ichan = chan;
  p.kind = kind;
  p.preRecSize = preRecSize;
  snprintf(p.diskPath, sizeof p.diskPath, "%s", dev.c_str());
  return p;
}

// Block id df_GetFileBlkId gives, or -1.
inline int32_t Allocate(const std::string &dev, uint32_t chan, uint32_t kind = 0,
                        int32_t preRecSize = 0) {
  FileCreateParam p = Param(dev, chan, kind, preRecSize);
  DfFileBlk out{99, 99};
  int rc = df_GetFileBlkId(&p, &out);
  EXPECT_EQ(rc == 0, out.blkId >= 0);
  return rc == 0 ? out.blkId : -1;
}

// Words of shared memory for the processes of one test.
class SharedWords {
 public:
  SharedWords() : id_(shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600)) {
    words_ = static_cast<std::atomic<int> *>(shmat(id_, nullptr, 0));
    shmctl(id_, IPC_RMID, nullptr);  // gone once every process detached
  }
  ~SharedWords() { shmdt(words_); }
  std::atomic<int> &operator[](int i) { return words_[i]; }

  // Waits until word i reaches value; false after the timeout.
  bool Await(int i, int value, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (words_[i].load() < value) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

 private:
  int id_;
  std::atomic<int> *words_;
};

// A test with one disk image; the library is started in the test process.
class DiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dev_ = root_.MakeImage(TestRoot::DevicePath(3), ImageBytesFor(kBlocks));
    os_ = StartDiskLayer();
    Forget();
  }
  void TearDown() override { Forget(); }
  // The layers outlive a test (see InstallTestOs); nothing of one test's
  // faults or log may reach the next when several run in one process.
  void Forget() {
    os_.faults->Clear();
    os_.io->Reset();
    os_.io->ReportDeviceBytes(0);
  }

  FaultOs &faults() { return *os_.faults; }
  IoLog &io() { return *os_.io; }
  void FormatAndMount() {
    ASSERT_EQ(df_DiskFormat(dev_.c_str()), 0);
    ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
  }
  // The shared image of disk 3 as this process sees it (attached by format
  // or mount).
  DfDiskEntry &Entry() {
    uint64_t key = DiskEntryKey(3);
    if (entry_ == nullptr)
      entry_ = static_cast<DfDiskEntry *>(
          fsc_DfMalloc(uint32_t(key), uint32_t(key >> 32), sizeof(DfDiskEntry)));
    return *entry_;
  }
  std::string Image(uint64_t offset, size_t len) { return ReadImage(root_, dev_, offset, len); }

  static constexpr uint32_t kBlocks = 6;
  static constexpr unsigned kDisk = 3;
  TestRoot root_;
  std::string dev_;
  TestOs os_{};
  DfDiskEntry *entry_ = nullptr;
};

}  // namespace zrfs::test
