// zrfs_LastError: every failure a program can meet tells its own reason,
// a success clears it, and each thread keeps its own.
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "block/mounted_image.h"
#include "support/fault_os.h"

namespace {

using namespace zrfs::test;

class LastErrorTest : public MountedImage<Layer::kApi> {
 protected:
  // A reason with its text, for failure messages.
  static std::string Expect(int code) {
    return std::to_string(code) + " (" + zrfs_StrError(code) + ")";
  }
  static std::string Reason() { return Expect(zrfs_LastError()); }
  // The reason a call that must fail with -1 left.
  static std::string Failure(int64_t result) {
    return result == -1 ? Reason() : "a result of " + std::to_string(result);
  }
};

TEST_F(LastErrorTest, ArgumentsDescriptorsAndNames) {
  std::string name;
  int fd = CreateRecording(1, &name, 0);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(zrfs_LastError(), ZRFS_OK);
  TfFileStat st;
  char byte = 0;

  EXPECT_EQ(Failure(zrfs_Stat(nullptr, &st)), Expect(ZRFS_EBADARG));
  std::thread([] {  // each thread keeps its own reason
    EXPECT_EQ(zrfs_LastError(), ZRFS_OK);
    char other;
    EXPECT_EQ(zrfs_Read(4242, &other, 1), -1);
    EXPECT_EQ(zrfs_LastError(), ZRFS_EBADFD);
  })
      .join();
  EXPECT_EQ(zrfs_LastError(), ZRFS_EBADARG);
  EXPECT_EQ(Failure(zrfs_Stat("no name of a record file", &st)), Expect(ZRFS_EBADARG));
  EXPECT_EQ(Failure(zrfs_SetUsrParam(name.c_str(), "x", 33)), Expect(ZRFS_EBADARG));
  // A ring must fit an empty block beside the 3 MiB every new file keeps.
  constexpr int32_t kLargestRing = int32_t(kUnit - 0x200000 - 0x300000 - 1);
  for (int32_t ring : {-1, INT32_MIN, kLargestRing + 1, int32_t(kUnit - 0x200000)})
    EXPECT_EQ(Failure(CreateRecording(2, nullptr, 1, 1, ring)), Expect(ZRFS_EBADARG)) << ring;
  int largest = CreateRecording(2, nullptr, 1, 1, kLargestRing);
  EXPECT_GE(largest, 0) << Reason();
  zrfs_Close(largest);

  EXPECT_EQ(Failure(zrfs_Read(12345, &byte, 1)), Expect(ZRFS_EBADFD));
  EXPECT_EQ(Failure(zrfs_Write(fd, &byte, 1)), Expect(ZRFS_EBADFD));  // open for reading only
  EXPECT_EQ(zrfs_Close(777), 0);                                      // still 0, as always
  EXPECT_EQ(Reason(), Expect(ZRFS_EBADFD));

  // The same block and number under another tag: a file that is gone.
  std::string other = name;
  other[14] = other[14] == 'A' ? 'B' : 'A';
  EXPECT_EQ(Failure(zrfs_Stat(other.c_str(), &st)), Expect(ZRFS_ENOENT));
  EXPECT_EQ(Failure(zrfs_Unlink(name.c_str())), Expect(ZRFS_EBUSY));  // open here

  EXPECT_EQ(Failure(zrfs_Read(fd, &byte, 1)), Expect(ZRFS_EEOF));  // an empty file: at its end

  // A success clears what the failure left.
  EXPECT_EQ(zrfs_Stat(name.c_str(), &st), 0);
  EXPECT_EQ(zrfs_LastError(), ZRFS_OK);
  zrfs_Close(fd);
  EXPECT_EQ(zrfs_Unlink(name.c_str()), 0);
  EXPECT_EQ(Failure(zrfs_Unlink(name.c_str())), Expect(ZRFS_ENOENT));
}

TEST_F(LastErrorTest, DisksThatAreMissingUnformattedOrUnmounted) {
  EXPECT_EQ(Failure(zrfs_Mount("/tmp/no-disk-number-here")), Expect(ZRFS_ENODEV));
  EXPECT_EQ(Failure(zrfs_Mount(TestRoot::DevicePath(5).c_str())),
            Expect(ZRFS_ENODEV));  // no such device file

  std::string blank = root_.MakeImage(TestRoot::DevicePath(6), kDataStart + 2 * kUnit);
  EXPECT_EQ(Failure(zrfs_Mount(blank.c_str())), Expect(ZRFS_ENOTFORMATTED));
  DfStatfs totals;
  EXPECT_EQ(Failure(zrfs_Statfs(blank.c_str(), &totals)), Expect(ZRFS_ENOTMOUNTED));

  std::string name;
  int fd = CreateRecording(2, &name);
  ASSERT_GE(fd, 0);
  zrfs_Close(fd);
  ASSERT_EQ(zrfs_UnMount(dev_.c_str()), 0);
  EXPECT_EQ(zrfs_LastError(), ZRFS_OK);
  TfFileStat st;
  EXPECT_EQ(Failure(zrfs_Stat(name.c_str(), &st)), Expect(ZRFS_ENOTMOUNTED));
  EXPECT_EQ(Failure(CreateRecording(2)), Expect(ZRFS_ENOTMOUNTED));
  EXPECT_EQ(zrfs_GetUsedBlockNum(dev_.c_str()), 0);  // 0, as always, and now a reason
  EXPECT_EQ(Reason(), Expect(ZRFS_ENOTMOUNTED));
}

TEST_F(LastErrorTest, SpaceAndTables) {
  // Four blocks: four channels recording at once take them all.
  std::string name;
  std::vector<int> writers;
  for (uint32_t chan = 0; chan < 4; ++chan) writers.push_back(CreateRecording(chan, &name, 1));
  for (int fd : writers) ASSERT_GE(fd, 0);
  EXPECT_EQ(Failure(CreateRecording(9, nullptr, 1)), Expect(ZRFS_ENOSPC));
  EXPECT_EQ(Failure(zrfs_ftruncate(writers[0], int64_t(kUnit))), Expect(ZRFS_ENOSPC));

  std::vector<int> fds;
  for (int i = 0; i < 1024; ++i) fds.push_back(zrfs_Open(nullptr, name.data(), 0));
  EXPECT_EQ(Failure(fds.back()), Expect(ZRFS_EFULL));  // four writers hold four of the slots
  for (int fd : fds) zrfs_Close(fd);
  for (int fd : writers) zrfs_Close(fd);
}

TEST_F(LastErrorTest, DeviceFailuresMemoryAndLocks) {
  std::string name;
  int fd = CreateRecording(3, &name);
  ASSERT_GE(fd, 0);
  char data[512] = {};
  {
    FaultOs faults;
    faults.Add({.call = Call::kWrite, .pathContains = "host03"});
    EXPECT_EQ(Failure(zrfs_Write(fd, data, sizeof data)), Expect(ZRFS_EIO));
    EXPECT_EQ(zrfs_error(fd), 5);  // the descriptor's number stays as it was
    // A change by name answers 0 as always, but says that it never reached the disk.
    EXPECT_EQ(zrfs_Lock(name.c_str(), 1), 0);
    EXPECT_EQ(Reason(), Expect(ZRFS_EIO));
  }
  EXPECT_EQ(zrfs_Lock(name.c_str(), 0), 0);
  EXPECT_EQ(zrfs_LastError(), ZRFS_OK);
  {
    FaultOs faults;
    faults.Add({.call = Call::kPresence, .pathContains = "host03", .fault = Fault::kAbsent});
    EXPECT_EQ(Failure(zrfs_Write(fd, data, sizeof data)), Expect(ZRFS_EIO));
  }
  ASSERT_EQ(zrfs_RegistAllocatorInterface([](uint32_t) -> void * { return nullptr; }, free), 0);
  EXPECT_EQ(Failure(zrfs_Open(nullptr, name.data(), 0)), Expect(ZRFS_ENOMEM));
  ASSERT_EQ(zrfs_InitAllocatorInterface(), 0);
  zrfs_Close(fd);

  // The shared objects removed under a running process: its locks are gone.
  ASSERT_GE(zrfs_RemoveIpcObjects(root_.path().c_str()), 0);
  EXPECT_EQ(Failure(CreateRecording(3)), Expect(ZRFS_ENOLCK));
}

TEST(LastErrorTextTest, EveryCodeHasItsOwnTextAndUnknownCodesOneToo) {
  std::set<std::string> texts;
  for (int code = ZRFS_OK; code <= ZRFS_EEOF; ++code) texts.insert(zrfs_StrError(code));
  EXPECT_EQ(texts.size(), size_t(ZRFS_EEOF + 1));
  EXPECT_EQ(texts.count(""), 0u);
  EXPECT_STREQ(zrfs_StrError(-1), "unknown error");
  EXPECT_STREQ(zrfs_StrError(ZRFS_EEOF + 1), "unknown error");
}

}  // namespace
