// Every public operation that reaches the disk, with each of its device calls
// broken in turn (EIO, a short transfer, an absent disk).  After each broken
// run: the documented result, no descriptor, handle, pool slot or reference
// left behind, the block tagged bad where a transfer failed on it, and the
// operation works once the fault is gone.
//
// The loops fork a process per case, so they are named Slow* and left out
// of the emulated run.
#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>

#include "reliability/fault_loop.h"

namespace {

using zrfs::IsBadState;
using zrfs::kBlkUsed;
using zrfs::test::DeviceFault;
using zrfs::test::Fault;
using zrfs::test::FaultedOperation;
using zrfs::test::kLoopDataStart;
using zrfs::test::kLoopDisk;
using zrfs::test::kLoopUnit;
using zrfs::test::RunFaultLoop;
using zrfs::test::Scene;

constexpr uint32_t kChunk = 64 * 1024;
constexpr int32_t kRingBytes = 1024 * 1024;

std::vector<char> Pattern(size_t n, int seed) {
  std::vector<char> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = char((i * 131 + size_t(seed) * 7 + i / 977) & 0xFF);
  return bytes;
}

FileCreateParam Param(const std::string &dev, uint32_t chan, uint32_t kind = 0,
                      int32_t preRecSize = 0) {
  FileCreateParam p{};
  p.ichan = chan;
  p.createTime = 1700000000;
  p.kind = kind;
  p.preRecSize = preRecSize;
  p.recType = 1;
  snprintf(p.diskPath, sizeof p.diskPath, "%s", dev.c_str());
  snprintf(p.extName, sizeof p.extName, "%s", "h264");
  return p;
}

int BlockOfName(const std::string &name) {
  return int(strtol(name.substr(2, 6).c_str(), nullptr, 16));
}

uint8_t MapByte(int blk) {
  return zrfs::g_dfDiskTable[kLoopDisk].entry->blkMap[blk];
}

void FormatAndMount(Scene &s) {
  ASSERT_EQ(zrfs_Format(s.dev.c_str()), 0);
  ASSERT_EQ(zrfs_Mount(s.dev.c_str()), 0);
}

// Creates a record file with one chunk of data; leaves it open in s.fd.
void CreateWithData(Scene &s, uint32_t kind = 0, int32_t preRecSize = 0) {
  FileCreateParam p = Param(s.dev, 5, kind, preRecSize);
  char name[ZRFS_NAME_MAX] = {};
  s.fd = zrfs_Open(&p, name, 2);
  ASSERT_GE(s.fd, 0);
  s.name = name;
  s.blk = BlockOfName(s.name);
  std::vector<char> data = Pattern(kChunk, 1);
  ASSERT_EQ(zrfs_Write(s.fd, data.data(), kChunk), int(kChunk));
}

void CreateClosedFile(Scene &s) {
  CreateWithData(s);
  zrfs_Close(s.fd);
  s.fd = -1;
}

void ExpectReadsBack(int fd, int seed) {
  std::vector<char> back(kChunk);
  zrfs_Seek(fd, 0, 0);
  ASSERT_EQ(zrfs_Read(fd, back.data(), kChunk), int(kChunk));
  EXPECT_TRUE(back == Pattern(kChunk, seed));
}

void ExpectFileReadsBack(const std::string &name, int seed) {
  int fd = zrfs_Open(nullptr, const_cast<char *>(name.c_str()), 0);
  ASSERT_GE(fd, 0) << name;
  ExpectReadsBack(fd, seed);
  zrfs_Close(fd);
}

// A new recording can be made and read back on the disk.
void ExpectDiskRecords(Scene &s) {
  FileCreateParam p = Param(s.dev, 9);
  char name[ZRFS_NAME_MAX] = {};
  int fd = zrfs_Open(&p, name, 2);
  ASSERT_GE(fd, 0);
  std::vector<char> data = Pattern(kChunk, 2);
  EXPECT_EQ(zrfs_Write(fd, data.data(), kChunk), int(kChunk));
  ExpectReadsBack(fd, 2);
  zrfs_Close(fd);
}

// A failed read or write tells 5 or 28; a 5 with the disk present comes from
// a failed transfer, which tags the block bad; an absent disk tags nothing.
void ExpectTransferError(Scene &s, const DeviceFault &fault) {
  int error = zrfs_error(s.fd);
  EXPECT_TRUE(error == 5 || error == 28) << "error number " << error;
  if (fault.fault == Fault::kAbsent) {
    EXPECT_EQ(MapByte(s.blk), kBlkUsed);
  } else if (error == 5) {
    EXPECT_TRUE(IsBadState(MapByte(s.blk))) << "map byte " << int(MapByte(s.blk));
  }
}

auto Zero = [](int64_t r) { return r == 0; };
auto NoCheck = [](Scene &, const DeviceFault &) {};
auto NothingHeld = [](Scene &, int64_t) {};

void Report(const char *op, const zrfs::test::FaultLoopFigures &f) {
  EXPECT_GT(f.cases, 0) << op;
}

TEST(FaultLoop, SlowFormat) {
  Report("format", RunFaultLoop({
                       .name = "format",
                       .setup = [](Scene &s) { ASSERT_EQ(zrfs_Format(s.dev.c_str()), 0); },
                       .run = [](Scene &s) -> int64_t { return zrfs_Format(s.dev.c_str()); },
                       .succeeded = Zero,
                       .checkFailure = NoCheck,
                       .release = NothingHeld,
                       .retry =
                           [](Scene &s, bool) {
                             FormatAndMount(s);
                             ExpectDiskRecords(s);
                           },
                   }));
}

TEST(FaultLoop, SlowMountAndUnmount) {
  Report("mount", RunFaultLoop({
                      .name = "mount",
                      .setup = [](Scene &s) { ASSERT_EQ(zrfs_Format(s.dev.c_str()), 0); },
                      .run = [](Scene &s) -> int64_t { return zrfs_Mount(s.dev.c_str()); },
                      .succeeded = Zero,
                      .checkFailure = NoCheck,
                      .release = [](Scene &s, int64_t) { zrfs_UnMount(s.dev.c_str()); },
                      .retry =
                          [](Scene &s, bool) {
                            ASSERT_EQ(zrfs_Mount(s.dev.c_str()), 0);
                            ExpectDiskRecords(s);
                          },
                  }));
  Report("unmount", RunFaultLoop({
                        .name = "unmount",
                        .setup = FormatAndMount,
                        .run = [](Scene &s) -> int64_t { return zrfs_UnMount(s.dev.c_str()); },
                        .succeeded = Zero,
                        .checkFailure = NoCheck,
                        .release = [](Scene &s, int64_t) { zrfs_Mount(s.dev.c_str()); },
                        .retry =
                            [](Scene &s, bool) {
                              EXPECT_EQ(zrfs_UnMount(s.dev.c_str()), 0);
                              ASSERT_EQ(zrfs_Mount(s.dev.c_str()), 0);
                              ExpectDiskRecords(s);
                            },
                    }));
}

TEST(FaultLoop, SlowCreateAndOpen) {
  Report("create", RunFaultLoop({
                       .name = "create",
                       .setup = FormatAndMount,
                       .run = [](Scene &s) -> int64_t {
                         FileCreateParam p = Param(s.dev, 5);
                         char name[ZRFS_NAME_MAX] = {};
                         return zrfs_Open(&p, name, 2);
                       },
                       .succeeded = [](int64_t r) { return r >= 0; },
                       .checkFailure = NoCheck,
                       .release = [](Scene &, int64_t fd) { zrfs_Close(int(fd)); },
                       .retry = [](Scene &s, bool) { ExpectDiskRecords(s); },
                   }));
  Report("open", RunFaultLoop({
                     .name = "open by name",
                     .setup =
                         [](Scene &s) {
                           FormatAndMount(s);
                           CreateClosedFile(s);
                         },
                     .run = [](Scene &s) -> int64_t {
                       return zrfs_Open(nullptr, const_cast<char *>(s.name.c_str()), 0);
                     },
                     .succeeded = [](int64_t r) { return r >= 0; },
                     .checkFailure = NoCheck,
                     // What a successful open shows is the file as written.
                     .release =
                         [](Scene &, int64_t fd) {
                           ExpectReadsBack(int(fd), 1);
                           zrfs_Close(int(fd));
                         },
                     .retry = [](Scene &s, bool) { ExpectFileReadsBack(s.name, 1); },
                 }));
}

TEST(FaultLoop, SlowWriteAndRead) {
  Report("write", RunFaultLoop({
                      .name = "write",
                      .setup =
                          [](Scene &s) {
                            FormatAndMount(s);
                            CreateWithData(s);
                            zrfs_Seek(s.fd, 0, 0);
                          },
                      .run = [](Scene &s) -> int64_t {
                        std::vector<char> data = Pattern(kChunk, 3);
                        return zrfs_Write(s.fd, data.data(), kChunk);
                      },
                      .succeeded = [](int64_t r) { return r == kChunk; },
                      .checkFailure = ExpectTransferError,
                      .release = NothingHeld,
                      .retry =
                          [](Scene &s, bool) {
                            std::vector<char> data = Pattern(kChunk, 3);
                            zrfs_Seek(s.fd, 0, 0);
                            ASSERT_EQ(zrfs_Write(s.fd, data.data(), kChunk), int(kChunk));
                            ExpectReadsBack(s.fd, 3);
                            zrfs_Close(s.fd);
                            ExpectFileReadsBack(s.name, 3);
                          },
                  }));
  Report(
      "read",
      RunFaultLoop({
          .name = "read",
          .setup =
              [](Scene &s) {
                FormatAndMount(s);
                CreateWithData(s);
                zrfs_Seek(s.fd, 0, 0);
              },
          .run = [](Scene &s) -> int64_t {
            std::vector<char> back(kChunk);
            int n = zrfs_Read(s.fd, back.data(), kChunk);
            return n == int(kChunk) && back != Pattern(kChunk, 1) ? -2 : n;
          },
          .succeeded = [](int64_t r) { return r == kChunk; },
          .checkFailure = [](Scene &s, const DeviceFault &fault) { ExpectTransferError(s, fault); },
          .release = NothingHeld,
          .retry = [](Scene &s, bool) { ExpectReadsBack(s.fd, 1); },
      }));
}

TEST(FaultLoop, SlowSyncTruncateAndRingPointers) {
  Report("fsync", RunFaultLoop({
                      .name = "fsync",
                      .setup =
                          [](Scene &s) {
                            FormatAndMount(s);
                            CreateWithData(s);
                          },
                      .run = [](Scene &s) -> int64_t { return zrfs_fsync(s.fd); },
                      .succeeded = Zero,
                      .checkFailure = NoCheck,
                      .release = NothingHeld,
                      .retry =
                          [](Scene &s, bool) {
                            EXPECT_EQ(zrfs_fsync(s.fd), 0);
                            zrfs_Close(s.fd);
                            ExpectFileReadsBack(s.name, 1);
                          },
                  }));
  Report("truncate", RunFaultLoop({
                         .name = "truncate",
                         .setup =
                             [](Scene &s) {
                               FormatAndMount(s);
                               CreateWithData(s);
                             },
                         .run = [](Scene &s) -> int64_t { return zrfs_ftruncate(s.fd, 4096); },
                         .succeeded = Zero,
                         .checkFailure = NoCheck,
                         .release = NothingHeld,
                         .retry =
                             [](Scene &s, bool) {
                               EXPECT_EQ(zrfs_ftruncate(s.fd, 4096), 0);
                               zrfs_Close(s.fd);
                               TfFileStat st{};
                               ASSERT_EQ(zrfs_Stat(s.name.c_str(), &st), 0);
                               EXPECT_EQ(st.st_size, 4096);
                             },
                     }));
  Report("ring pointers",
         RunFaultLoop({
             .name = "ring pointers",
             .setup =
                 [](Scene &s) {
                   FormatAndMount(s);
                   CreateWithData(s, 1, kRingBytes);
                 },
             .run = [](Scene &s) -> int64_t { return zrfs_UpdataePreRecPtr(s.fd, 0, kChunk); },
             .succeeded = Zero,
             .checkFailure = NoCheck,
             .release = NothingHeld,
             .retry =
                 [](Scene &s, bool) {
                   EXPECT_EQ(zrfs_UpdataePreRecPtr(s.fd, 0, kChunk), 0);
                   zrfs_Close(s.fd);
                   ExpectFileReadsBack(s.name, 1);  // the ring's valid bytes come first
                 },
         }));
}

TEST(FaultLoop, SlowNameCalls) {
  Report("stat", RunFaultLoop({
                     .name = "stat",
                     .setup =
                         [](Scene &s) {
                           FormatAndMount(s);
                           CreateClosedFile(s);
                         },
                     .run = [](Scene &s) -> int64_t {
                       TfFileStat st{};
                       int r = zrfs_Stat(s.name.c_str(), &st);
                       return r == 0 && st.st_size != kChunk ? -2 : r;
                     },
                     .succeeded = Zero,
                     .checkFailure = NoCheck,
                     .release = NothingHeld,
                     .retry = [](Scene &s, bool) { ExpectFileReadsBack(s.name, 1); },
                 }));
  Report("lock", RunFaultLoop({
                     .name = "lock",
                     .setup =
                         [](Scene &s) {
                           FormatAndMount(s);
                           CreateClosedFile(s);
                         },
                     .run = [](Scene &s) -> int64_t { return zrfs_Lock(s.name.c_str(), 1); },
                     .succeeded = Zero,
                     .checkFailure = NoCheck,
                     .release = NothingHeld,
                     .retry =
                         [](Scene &s, bool) {
                           EXPECT_EQ(zrfs_Lock(s.name.c_str(), 1), 0);
                           TfFileStat st{};
                           ASSERT_EQ(zrfs_Stat(s.name.c_str(), &st), 0);
                           EXPECT_EQ(st.lockFlag, 1u);
                           ExpectFileReadsBack(s.name, 1);
                         },
                 }));
  Report("unlink", RunFaultLoop({
                       .name = "unlink",
                       .setup =
                           [](Scene &s) {
                             FormatAndMount(s);
                             CreateClosedFile(s);
                           },
                       .run = [](Scene &s) -> int64_t { return zrfs_Unlink(s.name.c_str()); },
                       .succeeded = Zero,
                       .checkFailure = NoCheck,
                       .release = NothingHeld,
                       .retry =
                           [](Scene &s, bool) {
                             // A failed unlink either left the file whole or removed it.
                             TfFileStat st{};
                             if (zrfs_Stat(s.name.c_str(), &st) == 0) {
                               ExpectFileReadsBack(s.name, 1);
                               EXPECT_EQ(zrfs_Unlink(s.name.c_str()), 0);
                             }
                             EXPECT_EQ(zrfs_Stat(s.name.c_str(), &st), -1);
                             ExpectDiskRecords(s);
                           },
                   }));
}

TEST(FaultLoop, SlowDiskQueries) {
  Report("block stat", RunFaultLoop({
                           .name = "block stat",
                           .setup =
                               [](Scene &s) {
                                 FormatAndMount(s);
                                 CreateClosedFile(s);
                               },
                           .run = [](Scene &s) -> int64_t {
                             TfFileStat st[8] = {};
                             return zrfs_BlockStat(s.dev.c_str(), s.blk, st, 8);
                           },
                           .succeeded = [](int64_t r) { return r == 1; },
                           .checkFailure = NoCheck,
                           .release = NothingHeld,
                           .retry =
                               [](Scene &s, bool) {
                                 TfFileStat st[8] = {};
                                 EXPECT_EQ(zrfs_BlockStat(s.dev.c_str(), s.blk, st, 8), 1);
                                 EXPECT_STREQ(st[0].filename, s.name.c_str());
                                 EXPECT_EQ(MapByte(s.blk),
                                           IsBadState(MapByte(s.blk)) ? MapByte(s.blk) : kBlkUsed);
                                 ExpectFileReadsBack(s.name, 1);
                               },
                       }));
  Report("block info", RunFaultLoop({
                           .name = "block info",
                           .setup =
                               [](Scene &s) {
                                 FormatAndMount(s);
                                 CreateClosedFile(s);
                               },
                           .run = [](Scene &s) -> int64_t {
                             DfBlockInfo info[4] = {};
                             int r = zrfs_GetBlockInfo(s.dev.c_str(), info, 4);
                             return r == 1 && info[0].fileNum != 1 ? -2 : r;
                           },
                           .succeeded = [](int64_t r) { return r == 1; },
                           .checkFailure = NoCheck,
                           .release = NothingHeld,
                           .retry =
                               [](Scene &s, bool) {
                                 DfBlockInfo info[4] = {};
                                 EXPECT_EQ(zrfs_GetBlockInfo(s.dev.c_str(), info, 4), 1);
                               },
                       }));
  Report("statfs", RunFaultLoop({
                       .name = "statfs",
                       .setup = FormatAndMount,
                       .run = [](Scene &s) -> int64_t {
                         DfStatfs st{};
                         return zrfs_Statfs(s.dev.c_str(), &st);
                       },
                       .succeeded = Zero,
                       .checkFailure = NoCheck,
                       .release = NothingHeld,
                       .retry =
                           [](Scene &s, bool) {
                             DfStatfs st{};
                             EXPECT_EQ(zrfs_Statfs(s.dev.c_str(), &st), 0);
                           },
                   }));
  Report("tag bad unit",
         RunFaultLoop({
             .name = "tag bad unit",
             .setup = FormatAndMount,
             .run = [](Scene &s) -> int64_t {
               return zrfs_TagBadUnit(s.dev.c_str(), kLoopDataStart + 2 * kLoopUnit, 512);
             },
             .succeeded = Zero,
             .checkFailure = NoCheck,
             .release = NothingHeld,
             .retry =
                 [](Scene &s, bool) {
                   EXPECT_EQ(zrfs_TagBadUnit(s.dev.c_str(), kLoopDataStart + 2 * kLoopUnit, 512),
                             0);
                   EXPECT_TRUE(IsBadState(MapByte(2)));
                   ExpectDiskRecords(s);
                 },
         }));
}

}  // namespace
