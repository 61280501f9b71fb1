// The power-cut matrix: scripted workloads run with every device write and
// flush logged; then every crash point of the log is cut several ways and
// each image is started afresh.  Mount succeeds (or, only while the format
// itself was not yet flushed, fails cleanly); every recording complete
// before the last flush reads back byte for byte and its block is still in
// use; new recordings made on the image do not touch those bytes; and no two
// files of a block claim the same bytes.
//
// Each scenario replays hundreds of images, so they are Slow*.
#include <strings.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "block/mounted_image.h"
#include "disk/disk_table.h"
#include "format/block_format.h"
#include "reliability/library_state.h"
#include "reliability/power_cut.h"
#include "support/processes.h"
#include "support/recording_io.h"
#ifdef ZRFS_TOOL_PATH
#include <nlohmann/json.hpp>

#include "tools/tool_harness.h"
#endif

namespace zrfs::test {
namespace {

using namespace std::chrono_literals;

constexpr int kDisk = 3;
constexpr uint32_t kChunk = 64 * 1024;
constexpr int kBlocks = 6;

// A workload process: logs its device writes and says when recordings are
// complete or about to change.
class Workload {
 public:
  Workload(WriteLog *log, std::string dev) : log_(log), dev_(std::move(dev)) {}

  // Asks the flush thread for a flush and waits until one has started and
  // had time to finish.
  void Flush() {
    uint32_t seen = log_->flushes();
    df_SetSyncMark(kDisk, 2);
    for (int i = 0; i < 500 && log_->flushes() == seen; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_GT(log_->flushes(), seen) << "no flush came";
    std::this_thread::sleep_for(20ms);
  }

  // Creates a recording and writes `chunks` chunks; returns it open in *fd.
  Recording Start(uint32_t chan, uint32_t seed, int chunks, int *fd, uint32_t kind = 0,
                  int32_t preRecSize = 0) {
    FileCreateParam p = RecordingParam(dev_, chan, kind, preRecSize);
    Recording r{};
    *fd = zrfs_Open(&p, r.name, 2);
    EXPECT_GE(*fd, 0);
    if (chunks > 0) Append(&r, *fd, 0, uint32_t(chunks) * kChunk, seed, 0);
    return r;
  }

  // Writes len bytes at logical position pos, in chunks.
  void Append(Recording *r, int fd, uint64_t pos, uint32_t len, uint32_t seed, uint64_t from) {
    zrfs_Seek(fd, int64_t(pos), 0);
    ASSERT_TRUE(WritePattern(fd, int(seed), from, len, kChunk));
    AddSegment(r, Segment{pos, len, seed, from});
  }

  // A segment that continues the last one's pattern extends it, so a
  // recording written in many small steps keeps few segments.
  static void AddSegment(Recording *r, Segment s) {
    Segment *last = r->segments > 0 ? &r->segment[r->segments - 1] : nullptr;
    if (last != nullptr && last->seed == s.seed && last->pos + last->len == s.pos &&
        last->from + last->len == s.from) {
      last->len += s.len;
    } else {
      ASSERT_LT(r->segments, kMaxSegments);
      r->segment[r->segments++] = s;
    }
    if (int64_t(s.pos + s.len) > r->size) r->size = int64_t(s.pos + s.len);
  }

  void Finish(const Recording &r, int fd) {
    zrfs_Close(fd);
    log_->AddMilestone(LogKind::kComplete, r);
  }
  void Changing(const Recording &r) { log_->AddMilestone(LogKind::kChange, r); }

  WriteLog *log() { return log_; }
  const std::string &dev() const { return dev_; }

 private:
  WriteLog *log_;
  std::string dev_;
};

// Formats and mounts; crash points start after that unless the format's
// own writes are to be cut too.
void StartLogged(Workload &w, bool cutTheFormat = false) {
  ASSERT_EQ(zrfs_Init(), 0);
  ASSERT_EQ(zrfs_Format(w.dev().c_str()), 0);
  ASSERT_EQ(zrfs_Mount(w.dev().c_str()), 0);
  w.Flush();
  if (!cutTheFormat) w.log()->MarkStart();
}

// Reads a recording's bytes through the library and compares them.
void ExpectRecording(const Recording &r, const CrashPoint &at) {
  int fd = zrfs_Open(nullptr, const_cast<char *>(r.name), 0);
  ASSERT_GE(fd, 0) << r.name << " is gone after a cut at event " << at.event << " (" << at.cut
                   << ")";
  TfFileStat st{};
  EXPECT_EQ(zrfs_fstat(fd, &st), 0);
  EXPECT_EQ(st.st_size, r.size) << r.name << " at event " << at.event << " (" << at.cut << ")";
  for (int s = 0; s < r.segments; ++s) {
    const Segment &seg = r.segment[s];
    zrfs_Seek(fd, int64_t(seg.pos), 0);
    EXPECT_TRUE(ReadsPattern(fd, int(seg.seed), seg.from, seg.len))
        << r.name << " from logical byte " << seg.pos << " after a cut at event " << at.event
        << " (" << at.cut << ")";
  }
  zrfs_Close(fd);
  uint8_t state = g_dfDiskTable[kDisk].entry->blkMap[BlockOfName(r.name)];
  EXPECT_TRUE(state == kBlkUsed || IsBadState(state))
      << r.name << "'s block shows free after a cut at event " << at.event << " (" << at.cut << ")";
}

// Invariant "no overlap": in every block of the image, the bytes the file
// headers claim (a file's ring, then its main data) belong to one file only.
// Checked after new recordings were made on the cut image, so it covers
// where those were placed too.  Read past the library, as the headers are.
void ExpectNoOverlap(const std::string &image, const CrashPoint &at) {
  struct Claim {
    uint32_t fileNo;
    uint64_t from, to;
  };
  int fd = open(image.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0) << image;
  for (int blk = 0; blk < kBlocks; ++blk) {
    uint64_t base = BlockAddress(blk);
    BlkHeader head{};
    ASSERT_EQ(pread(fd, &head, sizeof head, off_t(base)), ssize_t(sizeof head));
    std::vector<Claim> claims;
    for (uint32_t n = 1; n <= std::min(head.lastFileNo, kMaxFileNo); ++n) {
      TfFileHeader file{};
      ASSERT_EQ(pread(fd, &file, sizeof file, off_t(base + n * kSectorSize)), ssize_t(sizeof file));
      if (file.fileNo != n || strncasecmp(file.magic, "ZRND", 4) != 0) continue;
      uint64_t from = file.preStart != 0 ? file.preStart : file.StartAddr;
      uint64_t to = std::max(file.preEnd, file.EndAddr);
      if (to > from) claims.push_back({n, from, to});
    }
    std::sort(claims.begin(), claims.end(),
              [](const Claim &a, const Claim &b) { return a.from < b.from; });
    for (size_t i = 1; i < claims.size(); ++i)
      EXPECT_LE(claims[i - 1].to, claims[i].from)
          << "block " << blk << ": file " << claims[i - 1].fileNo << " [" << std::hex
          << claims[i - 1].from << ", " << claims[i - 1].to << ") overlaps file "
          << claims[i].fileNo << " [" << claims[i].from << ", " << claims[i].to << ")" << std::dec
          << " after a cut at event " << at.event << " (" << at.cut << ")";
  }
  close(fd);
}

#ifdef ZRFS_TOOL_PATH
// Every how many images the disk checker runs (it is a process of its own
// and scans every used block's header area).
constexpr int kToolCheckEvery = 9;

// Saves the bytes a repair may write: both metadata copies and the header
// areas.
void SaveRepairable(const std::string &image, UndoLog *saved) {
  int fd = open(image.c_str(), O_RDONLY);
  saved->Save(fd, kFirstCopyBase, 2 * kMetaSize);
  for (int blk = 0; blk < kBlocks; ++blk) saved->Save(fd, BlockAddress(blk), kHeaderAreaSize);
  close(fd);
}

// What a cut may leave for the checker to find, by kind of finding (the
// table in docs/durability.md, section 2).
const std::set<std::string> kDamageACutMayLeave = {
    "map-copies-differ",               // a map write kept in one place only
    "current-pages-differ",            // the same for a current-block page
    "count-pages-differ",              // and a block-count page
    "block-count-wrong",               // counts off by the blocks changed
    "used-block-without-files",        // released block read used again
    "free-block-holds-files",          // allocated block read free again
    "free-block-stale-headers",        // the same, no table naming it
    "current-block-names-free-block",  // the same, seen from the page
    "block-header-missing",            // new block's header lost, a file's kept
    "block-file-count-wrong",          // a file's header kept, the count not
    "block-last-file-number-low",      // the same for the newest number
    "append-position-below-data",      // the raised position lost
    "copy-behind",                     // a copy's header kept, the other's not
    "current-block-wrong-channel",     // a release's row write lost, the next owner's header kept
};

// Before the format was first flushed, copy 1 may still be unwritten.
const std::set<std::string> kDamageAnUnflushedFormatMayLeave = {
    "header-unusable",
    "header-copies-differ",
};

// The disk checker on a cut image: it ends normally and reports only damage
// a cut may leave; its repair leaves a clean disk; the recordings complete
// before the last flush still read back after the repair.
void CheckWithTool(const std::string &dev, const std::string &image, const CrashPoint &at) {
  ToolResult check = RunTool({"check", "--json", image}, {}, 60s);
  EXPECT_TRUE(check.status == 0 || check.status == 4)
      << "zrfs check exited " << check.status << " after a cut at event " << at.event << " ("
      << at.cut << ")";
  auto doc = nlohmann::json::parse(check.out, nullptr, false);
  ASSERT_FALSE(doc.is_discarded()) << "zrfs check --json printed no JSON: " << check.out;
  for (const auto &f : doc["check"]["findings"]) {
    std::string code = f.value("code", "");
    EXPECT_TRUE(kDamageACutMayLeave.count(code) ||
                (at.mayFailMount && kDamageAnUnflushedFormatMayLeave.count(code)))
        << "zrfs check found damage a cut may not leave, at event " << at.event << " (" << at.cut
        << "): [" << code << "] " << f.value("location", "") << ": " << f.value("message", "");
  }
  if (check.status == 0) return;
  // Closed while the repair runs: a process with the image open for writing
  // counts as one that has it mounted, and the repair is refused.
  UndoLog saved;
  SaveRepairable(image, &saved);
  ToolResult repair = RunTool({"check", "--repair", image}, {}, 60s);
  EXPECT_EQ(repair.status, 1) << "the repair left damage after a cut at event " << at.event << " ("
                              << at.cut << "): " << repair.out << repair.err;
  EXPECT_EQ(RunTool({"check", image}, {}, 60s).status, 0)
      << "not clean after the repair, event " << at.event;
  UndoOs undo;
  if (zrfs_Mount(dev.c_str()) == 0) {
    for (const Recording &r : at.durable) ExpectRecording(r, at);
    zrfs_UnMount(dev.c_str());
  } else {
    ADD_FAILURE() << "no mount after the repair, event " << at.event << " (" << at.cut << ")";
  }
  undo.Rollback(image);
  int fd = open(image.c_str(), O_RDWR);
  saved.Rollback(fd);
  close(fd);
}
#endif

// Starts afresh on the image of one crash point.
void CheckImage(const std::string &dev, const std::string &image, const CrashPoint &at) {
  int fdsBefore = CountOpenFds();
  UndoOs undo;
  if (zrfs_Mount(dev.c_str()) != 0) {
    // Only a format that never reached the disk whole may keep a disk from
    // mounting; then nothing may stay open.
    EXPECT_TRUE(at.mayFailMount) << "mount failed after a cut at event " << at.event << " ("
                                 << at.cut << ")";
    EXPECT_EQ(CountOpenFds(), fdsBefore);
    return;
  }
  for (const Recording &r : at.durable) ExpectRecording(r, at);
  // New recordings on the cut image must land beside the old ones.
  for (uint32_t chan : {0u, 1u}) {
    FileCreateParam p = RecordingParam(dev, chan);
    p.createTime = 1700000100;
    char name[ZRFS_NAME_MAX] = {};
    int fd = zrfs_Open(&p, name, 2);
    if (fd < 0) continue;  // a disk whose blocks a cut left all used or bad
    std::vector<char> junk(kChunk, char(0xA5));
    zrfs_Write(fd, junk.data(), kChunk);
    zrfs_Close(fd);
  }
  for (const Recording &r : at.durable) ExpectRecording(r, at);
  ExpectNoOverlap(image, at);
  zrfs_UnMount(dev.c_str());
  EXPECT_EQ(g_dfDiskTable[kDisk].entry->mounted, 0u);
  undo.Rollback(image);
#ifdef ZRFS_TOOL_PATH
  static int images = 0;
  if (++images % kToolCheckEvery == 0) CheckWithTool(dev, image, at);
#endif
}

// Runs the workload in `processes` children, then every crash point of its
// log in one checking child.
void RunMatrix(int processes, const std::function<void(Workload &, int process)> &workload) {
  TestRoot root;
  std::string dev = MakeDisk(root, kBlocks);
  WriteLog *log = WriteLog::Make();
  ASSERT_TRUE(RunInChildren(
      processes,
      [&](int process) {
        LoggingOs logging(log);
        Workload w(log, dev);
        workload(w, process);
        zrfs_DeInit();
      },
      120s));
  ASSERT_FALSE(log->overflow());
  root.RemoveIpcObjects();
  MakeDisk(root, kBlocks);  // back to the empty disk
  EXPECT_TRUE(RunInChildren(
      1,
      [&](int) {
        ASSERT_EQ(zrfs_Init(), 0);
        PowerCutReplay replay(*log, root.Real(dev));
        EXPECT_GT(replay.Run([&](const CrashPoint &at) {
          if (!::testing::Test::HasFailure())  // the first broken image tells enough
            CheckImage(dev, root.Real(dev), at);
        }),
                  0);
      },
      280s));
  WriteLog::Free(log);
}

// From the format on: cuts before it was flushed may keep the disk from
// mounting, never later ones.
TEST(PowerCutMatrix, SlowFormatThenChannelsAcrossABlockChange) {
  RunMatrix(1, [](Workload &w, int) {
    StartLogged(w, /*cutTheFormat=*/true);
    int fd[3];
    Recording r[3];
    for (uint32_t c = 0; c < 3; ++c) r[c] = w.Start(c, c + 1, 2, &fd[c]);
    w.Flush();
    // Channel 0's file (2 MiB into its block) ends 2.5 MiB before the
    // block's end, less than a new file needs, so its next file takes a new
    // block; the gap stays unwritten.
    w.Append(&r[0], fd[0], kUnit - 0x200000 - 0x280000 - kChunk, kChunk, 7, 0);
    for (uint32_t c = 0; c < 3; ++c) w.Finish(r[c], fd[c]);
    for (uint32_t c = 0; c < 3; ++c) {
      Recording next = w.Start(c, 10 + c, 2, &fd[c]);
      w.Finish(next, fd[c]);
    }
    w.Flush();
  });
}

TEST(PowerCutMatrix, SlowPreRecordRingWrittenFixedAndExtended) {
  RunMatrix(1, [](Workload &w, int) {
    StartLogged(w);
    constexpr uint32_t kRing = 8 * kChunk;
    int fd;
    Recording ring = w.Start(4, 0, 0, &fd, 1, int32_t(kRing));
    // Fill the ring, then wrap round over its first quarter.
    for (uint32_t at = 0; at < kRing; at += kChunk) {
      zrfs_Seek(fd, at, 0);
      ASSERT_TRUE(WritePattern(fd, 20, at, kChunk));
    }
    w.Flush();
    constexpr uint32_t kWrapped = 2 * kChunk;
    zrfs_Seek(fd, 0, 0);
    ASSERT_TRUE(WritePattern(fd, 21, 0, kWrapped, kWrapped));
    // Fixed with the oldest byte just after the wrapped part (one chunk of
    // it given up), so the ring reads as its older tail, then the new head.
    ASSERT_EQ(zrfs_UpdataePreRecPtr(fd, kWrapped + kChunk, kWrapped), 0);
    uint32_t tail = kRing - kWrapped - kChunk;
    Workload::AddSegment(&ring, Segment{0, tail, 20, kWrapped + kChunk});
    Workload::AddSegment(&ring, Segment{tail, kWrapped, 21, 0});
    w.Finish(ring, fd);
    w.Flush();
    // Extended by the main recording.
    fd = zrfs_Open(nullptr, ring.name, 2);
    ASSERT_GE(fd, 0);
    w.Changing(ring);
    w.Append(&ring, fd, tail + kWrapped, 3 * kChunk, 22, 0);
    w.Finish(ring, fd);
    w.Flush();
  });
}

// zrfs_Flush, and the flush thread within a flush interval, make every
// recording completed before them durable, as a requested flush does.
TEST(PowerCutMatrix, SlowFlushOnDemandAndWithinAnInterval) {
  RunMatrix(1, [](Workload &w, int) {
    StartLogged(w);
    int fd;
    Recording a = w.Start(1, 31, 3, &fd);
    w.Finish(a, fd);
    ASSERT_EQ(zrfs_Flush(w.dev().c_str()), 0);
    ASSERT_EQ(zrfs_SetFlushInterval(100), 0);
    Recording b = w.Start(2, 32, 3, &fd);
    uint32_t seen = w.log()->flushes();
    w.Finish(b, fd);
    for (int i = 0; i < 100 && w.log()->flushes() == seen; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_GT(w.log()->flushes(), seen) << "no flush within the interval";
    std::this_thread::sleep_for(150ms);  // the flush that covers b's close
    ASSERT_EQ(zrfs_SetFlushInterval(0), 0);
  });
}

// An unlink gives a block back and the next recording takes it; then a
// bad range is tagged in a free block before another recording.
TEST(PowerCutMatrix, SlowUnlinkThenTagABadRange) {
  RunMatrix(1, [](Workload &w, int) {
    StartLogged(w);
    int fd;
    Recording kept = w.Start(0, 1, 2, &fd);
    w.Finish(kept, fd);
    Recording gone = w.Start(1, 2, 2, &fd);
    w.Finish(gone, fd);
    w.Flush();
    w.Changing(gone);
    ASSERT_EQ(zrfs_Unlink(gone.name), 0);
    Recording next = w.Start(2, 3, 2, &fd);  // takes the block given back
    w.Finish(next, fd);
    w.Flush();
    ASSERT_EQ(zrfs_TagBadUnit(w.dev().c_str(), BlockAddress(2) + 4096, 512), 0);
    Recording after = w.Start(3, 4, 2, &fd);
    w.Finish(after, fd);
    w.Flush();
  });
}

// A full disk that overwrites its oldest: a create gives back the block of
// the oldest recording and takes it, all of it under the cuts.
TEST(PowerCutMatrix, SlowAFullDiskOverwritesItsOldest) {
  RunMatrix(1, [](Workload &w, int) {
    StartLogged(w);
    ASSERT_EQ(zrfs_SetRetention(w.dev().c_str(), ZRFS_OVERWRITE_OLDEST), 0);
    std::vector<Recording> kept;
    for (uint32_t chan = 0; chan < uint32_t(kBlocks); ++chan) {
      int fd;
      kept.push_back(w.Start(chan, 10 + chan, 1, &fd));  // one block each, oldest first
      w.Finish(kept.back(), fd);
    }
    w.Flush();
    w.Changing(kept[0]);
    int fd;
    Recording next = w.Start(uint32_t(kBlocks), 20, 2, &fd);
    ASSERT_GE(fd, 0);
    w.Finish(next, fd);
    TfFileStat st;
    EXPECT_NE(zrfs_Stat(kept[0].name, &st), 0) << "the oldest recording was kept";
    EXPECT_EQ(BlockOfName(next.name), BlockOfName(kept[0].name));
    w.Flush();
  });
}

// A channel's continuous recording and an alarm recording with a
// pre-record ring, open together and written in turn: the alarm goes to a
// block of its own, its ring partly filled, then fixed and followed by its
// main data.  Once both are closed, the channel's next file follows the
// alarm in its block.
TEST(PowerCutMatrix, SlowTwoFilesOfAChannelOpenTogether) {
  RunMatrix(1, [](Workload &w, int) {
    StartLogged(w);
    constexpr uint32_t kRing = 4 * kChunk;
    int continuousFd, alarmFd;
    Recording continuous = w.Start(0, 30, 1, &continuousFd);
    Recording alarm = w.Start(0, 0, 0, &alarmFd, 1, int32_t(kRing));
    ASSERT_NE(BlockOfName(continuous.name), BlockOfName(alarm.name));
    for (uint32_t i = 0; i < 2; ++i) {
      w.Append(&alarm, alarmFd, i * kChunk, kChunk, 31, i * kChunk);
      w.Append(&continuous, continuousFd, (i + 1) * kChunk, kChunk, 30, (i + 1) * kChunk);
    }
    // Cuts from here on find the ring written only in part on the disk.
    w.Flush();
    ASSERT_EQ(zrfs_UpdataePreRecPtr(alarmFd, 0, 2 * kChunk), 0);
    w.Append(&alarm, alarmFd, 2 * kChunk, kChunk, 32, 0);
    w.Append(&continuous, continuousFd, 3 * kChunk, kChunk, 30, 3 * kChunk);
    w.Finish(alarm, alarmFd);
    w.Finish(continuous, continuousFd);
    w.Flush();
    int nextFd;
    Recording next = w.Start(0, 33, 2, &nextFd);
    EXPECT_EQ(BlockOfName(next.name), BlockOfName(alarm.name));
    w.Finish(next, nextFd);
    w.Flush();
  });
}

TEST(PowerCutMatrix, SlowTwoProcesses) {
  RunMatrix(2, [](Workload &w, int process) {
    if (process == 0) {
      StartLogged(w);
    } else {
      // The second process mounts once the first has formatted.
      ASSERT_EQ(zrfs_Init(), 0);
      for (int i = 0; i < 500 && zrfs_Mount(w.dev().c_str()) != 0; ++i)
        std::this_thread::sleep_for(10ms);
      while (w.log()->start() == 0) std::this_thread::sleep_for(5ms);
    }
    for (int round = 0; round < 2; ++round) {
      int fd[2];
      Recording r[2];
      for (uint32_t c = 0; c < 2; ++c)
        r[c] =
            w.Start(uint32_t(process) * 2 + c, uint32_t(process * 10 + round * 2 + c), 2, &fd[c]);
      for (uint32_t c = 0; c < 2; ++c) w.Finish(r[c], fd[c]);
      w.Flush();
    }
  });
}

}  // namespace
}  // namespace zrfs::test
