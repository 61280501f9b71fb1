// Durability on demand: zrfs_Flush puts every returned write on the device
// before it returns, and a flush interval bounds how much a power cut can
// take, where the visit cadence alone leaves writes unflushed for seconds.
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "block/mounted_image.h"
#include "support/fault_os.h"

namespace {

using namespace std::chrono_literals;
using namespace zrfs::test;

class FlushOnDemandTest : public MountedImage<Layer::kApi> {
 protected:
  void TearDown() override {
    zrfs_SetFlushInterval(0);
    MountedImage::TearDown();
  }
  // Mounted again under the wrapper, so that the journal, which tells writes
  // apart by the path a descriptor was opened with, sees one name for all.
  void RemountUnder(FaultOs &) {
    ASSERT_EQ(zrfs_UnMount(dev_.c_str()), 0);
    ASSERT_EQ(zrfs_Mount(dev_.c_str()), 0);
  }
  // The recording as the device holds it (what a power cut leaves).
  std::string OnDevice(const std::string &name) {
    ZrfsView *view = zrfs_ViewOpen(dev_.c_str(), -1);
    std::string out;
    char piece[4096];
    for (int n; view != nullptr &&
                (n = zrfs_ViewRead(view, name.c_str(), out.size(), piece, sizeof piece)) > 0;)
      out.append(piece, size_t(n));
    zrfs_ViewClose(view);
    return out;
  }
  // Waits up to limit for the journal of unflushed writes to empty.
  static bool FlushedWithin(FaultOs &faults, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (faults.UnsyncedWrites() != 0) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(5ms);
    }
    return true;
  }
};

TEST_F(FlushOnDemandTest, FlushReturnsOnlyOnceEveryReturnedWriteIsOnTheDevice) {
  FaultOs faults;  // journals every write until a sync of its file
  RemountUnder(faults);
  std::string name;
  int fd = CreateRecording(1, &name);
  ASSERT_GE(fd, 0);
  std::string data(64 * 1024, 'f');
  ASSERT_EQ(zrfs_Write(fd, data.data(), uint32_t(data.size())), int(data.size()));
  ASSERT_EQ(zrfs_fsync(fd), 0);
  EXPECT_GT(faults.UnsyncedWrites(), 0u);  // fsync only marks the disk
  ASSERT_EQ(zrfs_Flush(dev_.c_str()), 0);
  EXPECT_EQ(faults.UnsyncedWrites(), 0u);
  faults.PowerCut(Cut::kDropAll);
  EXPECT_TRUE(OnDevice(name) == data);

  faults.Add({.call = Call::kDataSync, .pathContains = "host03"});
  ASSERT_EQ(zrfs_Write(fd, data.data(), 10), 10);
  EXPECT_EQ(zrfs_Flush(dev_.c_str()), -1);
  EXPECT_EQ(zrfs_LastError(), ZRFS_EIO);
  zrfs_Close(fd);
  EXPECT_EQ(zrfs_Flush(nullptr), -1);
  EXPECT_EQ(zrfs_LastError(), ZRFS_EBADARG);
  ASSERT_EQ(zrfs_UnMount(dev_.c_str()), 0);
  EXPECT_EQ(zrfs_Flush(dev_.c_str()), -1);
  EXPECT_EQ(zrfs_LastError(), ZRFS_ENOTMOUNTED);
}

TEST_F(FlushOnDemandTest, AnIntervalBoundsWhatAPowerCutTakes) {
  FaultOs faults;
  RemountUnder(faults);
  std::string name;
  int fd = CreateRecording(1, &name);
  ASSERT_GE(fd, 0);
  std::string early(32 * 1024, 'e'), first(32 * 1024, 'a'), second(32 * 1024, 'b');

  // The visit cadence alone: half a second later the write is still only
  // in the cache.
  ASSERT_EQ(zrfs_Write(fd, early.data(), uint32_t(early.size())), int(early.size()));
  std::this_thread::sleep_for(500ms);
  EXPECT_GT(faults.UnsyncedWrites(), 0u);

  // With 200 ms, the flush thread has each write on the device within that
  // time (and a sweep's slack); a cut then takes only what came later.
  ASSERT_EQ(zrfs_SetFlushInterval(200), 0);
  for (const std::string *data : {&first, &second}) {
    ASSERT_EQ(zrfs_Write(fd, data->data(), uint32_t(data->size())), int(data->size()));
    EXPECT_TRUE(FlushedWithin(faults, 400ms));
  }
  std::string late(4096, 'l');
  ASSERT_EQ(zrfs_Write(fd, late.data(), uint32_t(late.size())), int(late.size()));
  faults.PowerCut(Cut::kDropAll);
  EXPECT_TRUE(OnDevice(name) == early + first + second) << OnDevice(name).size() << " bytes";
  zrfs_Close(fd);
}

}  // namespace
