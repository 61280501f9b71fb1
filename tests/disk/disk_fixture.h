// Helpers of the disk-layer tests: images of a chosen number of blocks,
// their bytes read and written past the library, and a log of device
// transfers.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "disk/disk_table.h"
#include "format/block_format.h"
#include "support/fault_os.h"
#include "support/processes.h"
#include "support/test_root.h"
#include "zrfs/df.h"
#include "zrfs/fsc.h"

namespace zrfs::test {

inline constexpr uint64_t kUnit = kFormatUnitSize;
inline constexpr uint64_t kDataStart = kFormatDataStart;
// Image whose format records exactly `blocks` blocks (one spare unit at the end).
constexpr uint64_t ImageBytesFor(uint32_t blocks) {
  return kDataStart + (blocks + 1ull) * kUnit;
}
constexpr uint64_t BlockAddr(int blk) {
  return kDataStart + uint64_t(blk) * kUnit;
}

using Places = std::multiset<std::pair<uint64_t, size_t>>;  // (offset, length) of transfers

// Writes of a metadata change that touches only the map: both places of
// each copy and, after them, the copy's header with the raised count.
inline Places MapOnlyChange() {
  Places places;
  for (int copy : {0, 1})
    places.insert({{MapPlaceA(copy), kMaxBlocks},
                   {MapPlaceB(copy), kMaxBlocks},
                   {HeaderPlace(copy), sizeof(DfDiskHeader)}});
  return places;
}

// Logs reads and writes on disk devices, and can report a device size of
// its choosing (format writes only the first 17 MiB, so a small image can
// stand for a big disk).
class IoLog final : public OsWrapper {
 public:
  explicit IoLog(Os &target) : OsWrapper(target) {}
  void Reset() {
    std::lock_guard lock(mu_);
    reads_.clear();
    writes_.clear();
    dropped_.clear();
  }
  Places Writes() const { return Copy(writes_); }
  Places Reads() const { return Copy(reads_); }
  Places Dropped() const { return Copy(dropped_); }  // ranges advised out of the cache
  std::atomic<uint64_t> fakeDeviceBytes{0};

  ssize_t PRead(int fd, void *buf, size_t len, uint64_t offset) override {
    Note(reads_, offset, len);
    return target().PRead(fd, buf, len, offset);
  }
  ssize_t PWrite(int fd, const void *buf, size_t len, uint64_t offset) override {
    Note(writes_, offset, len);
    return target().PWrite(fd, buf, len, offset);
  }
  int Advise(int fd, int64_t offset, int64_t len, int advice) override {
    Note(dropped_, uint64_t(offset), size_t(len));
    return target().Advise(fd, offset, len, advice);
  }
  int DeviceBytes(int fd, uint64_t *bytes) override {
    if (fakeDeviceBytes == 0) return target().DeviceBytes(fd, bytes);
    *bytes = fakeDeviceBytes;
    return 0;
  }

 private:
  void Note(Places &log, uint64_t offset, size_t len) {
    std::lock_guard lock(mu_);
    log.insert({offset, len});
  }
  Places Copy(const Places &log) const {
    std::lock_guard lock(mu_);
    return log;
  }
  mutable std::mutex mu_;
  Places reads_, writes_, dropped_;
};

// IoLog over FaultOs over POSIX, made once per process and never destroyed:
// the flush thread calls through them until the process ends.
struct TestOs {
  FaultOs *faults;
  IoLog *io;
};
inline TestOs StartDiskLayer() {
  static TestOs layers = [] {
    auto *faults = new FaultOs();
    auto *io = new IoLog(*faults);
    InstallOs(io);
    return TestOs{faults, io};
  }();
  layers.faults->Clear();
  layers.io->Reset();
  layers.io->fakeDeviceBytes = 0;
  EXPECT_EQ(fsc_ShareInit(), 0);
  EXPECT_EQ(df_Init(), 0);
  return layers;
}

// Block id df_GetFileBlkId gives a new file of (chan, kind), or -1.
inline int32_t Allocate(const std::string &dev, uint32_t chan, uint32_t kind = 0,
                        int32_t preRecSize = 0) {
  FileCreateParam p{};
  p.ichan = chan;
  p.kind = kind;
  p.preRecSize = preRecSize;
  snprintf(p.diskPath, sizeof p.diskPath, "%s", dev.c_str());
  DfFileBlk out{99, 99};
  int rc = df_GetFileBlkId(&p, &out);
  EXPECT_EQ(rc == 0, out.blkId >= 0);
  return rc == 0 ? out.blkId : -1;
}

// One disk image of kBlocks blocks, the library started in the test process.
class DiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dev_ = root_.MakeImage(TestRoot::DevicePath(3), ImageBytesFor(kBlocks));
    os_ = StartDiskLayer();
  }
  void TearDown() override { StartDiskLayer(); }  // no fault outlives its test
  void FormatAndMount() {
    ASSERT_EQ(df_DiskFormat(dev_.c_str()), 0);
    ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
  }
  DfDiskEntry &Entry() { return *g_dfDiskTable[kDisk].entry; }
  FaultOs &faults() { return *os_.faults; }
  IoLog &io() { return *os_.io; }
  // Bytes of the image, read and written past the library.
  std::string Image(uint64_t offset, size_t len) {
    std::string out(len, '\0');
    int fd = open(root_.Real(dev_).c_str(), O_RDONLY);
    out.resize(size_t(std::max<ssize_t>(pread(fd, out.data(), len, off_t(offset)), 0)));
    close(fd);
    return out;
  }
  void PutBytes(uint64_t offset, const std::string &bytes) {
    int fd = open(root_.Real(dev_).c_str(), O_WRONLY);
    EXPECT_EQ(pwrite(fd, bytes.data(), bytes.size(), off_t(offset)), ssize_t(bytes.size()));
    close(fd);
  }
  template <typename T>
  T At(uint64_t offset) {
    T record{};
    memcpy(&record, Image(offset, sizeof record).data(), sizeof record);
    return record;
  }
  template <typename T>
  void Put(uint64_t offset, const T &value) {
    PutBytes(offset, std::string(reinterpret_cast<const char *>(&value), sizeof value));
  }
  void FailWrites(uint64_t from, uint64_t to) {
    faults().Add(
        {.call = Call::kWrite, .pathContains = "host03", .fromOffset = from, .toOffset = to});
  }
  void FailReads(uint64_t from, uint64_t to) {
    faults().Add(
        {.call = Call::kRead, .pathContains = "host03", .fromOffset = from, .toOffset = to});
  }

  static constexpr uint32_t kBlocks = 8;
  static constexpr unsigned kDisk = 3;
  TestRoot root_;
  std::string dev_;
  TestOs os_{};
};

// A 16-block image for tests whose processes each start the library.
class DiskProcessesTest : public ::testing::Test {
 protected:
  void SetUp() override { dev_ = root_.MakeImage(TestRoot::DevicePath(3), ImageBytesFor(16)); }
  TestRoot root_;
  std::string dev_;
  SharedWords shared_;
};

}  // namespace zrfs::test
