#include "channel_recorder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "recording_tag.h"
#include "space_reclaimer.h"

namespace demo {
namespace {

constexpr uint32_t kMinWrite = 64 * 1024;   // frames are grouped into writes
constexpr uint32_t kMaxWrite = 512 * 1024;  // of 64 to 512 KiB
constexpr uint32_t kRingSlack = 4096;       // a fixed ring keeps less than its size
constexpr double kEventSeconds = 5;         // when the pre-record ring is fixed
constexpr uint64_t kMiB = 1024 * 1024;

uint64_t RoundUp(uint64_t value, uint64_t unit) {
  return (value + unit - 1) / unit * unit;
}

void SleepUntil(int64_t nanos) {
  timespec ts{time_t(nanos / 1'000'000'000), long(nanos % 1'000'000'000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
  }
}

}  // namespace

ChannelRecorder::ChannelRecorder(const RunContext &run, uint32_t stream)
    : run_(run),
      stream_(stream),
      counters_(run.state->streams[stream]),
      frames_(run.options.bitrate, stream),
      buffer_(kMaxWrite) {
  uint64_t perSecond = run.options.bitrate / 8;
  // A new recording every eight seconds of video, or every 64 MiB when
  // recording flat out; the ring holds three seconds.
  fileLimit_ =
      run.options.fast ? 64 * kMiB : std::clamp(RoundUp(8 * perSecond, 65536), kMiB, 256 * kMiB);
  uint64_t ring =
      run.options.fast ? 16 * kMiB : std::clamp(RoundUp(3 * perSecond, 65536), kMiB / 4, 64 * kMiB);
  ringSize_ = HasRing(stream) ? uint32_t(ring) : 0;
}

ChannelRecorder::~ChannelRecorder() {
  Close();
}

bool ChannelRecorder::Stopping() const {
  return run_.state->phase.load() != kRecording;
}

bool ChannelRecorder::Fail(const char *what) {
  ReportError(run_.state, "channel %u: %s failed (zrfs_error %d)", stream_, what,
              fd_ >= 0 ? zrfs_error(fd_) : 0);
  failed_ = true;
  return false;
}

bool ChannelRecorder::Run() {
  if (!OpenFile(ringSize_ > 0)) {
    if (!failed_) Fail("making room for the first recording");
    return false;
  }
  const int64_t start = run_.state->startNanos.load();
  uint64_t pending = 0;  // encoded bytes not yet written
  for (;;) {
    bool stop = Stopping();
    if (!stop) {
      if (!run_.options.fast)
        SleepUntil(start +
                   int64_t(frames_.frames()) * 1'000'000'000 / FrameSource::kFramesPerSecond);
      pending += frames_.Next();
    }
    while (fd_ >= 0 && (pending >= kMinWrite || (stop && pending > 0))) {
      uint32_t length = uint32_t(std::min<uint64_t>(pending, kMaxWrite));
      if (!Write(length)) break;
      pending -= length;
    }
    if (inRing_) {
      bool event =
          run_.options.fast ? position_ >= 2ull * ringSize_ : Elapsed(run_) >= kEventSeconds;
      if ((event || stop) && !FixRing()) break;
    } else if (!stop && (blockFull_ || position_ - fileStart_ >= fileLimit_)) {
      if (!RollOver()) break;  // the run ended while waiting for room
    }
    if (stop || failed_ || fd_ < 0) break;
  }
  Close();
  return !failed_;
}

bool ChannelRecorder::OpenFile(bool withRing) {
  FileCreateParam param;
  memset(&param, 0, sizeof param);
  param.ichan = stream_;
  param.createTime = int32_t(time(nullptr));
  param.kind = withRing ? 1 : 0;
  param.preRecSize = withRing ? int32_t(ringSize_) : 0;
  param.recType = 1;
  snprintf(param.diskPath, sizeof param.diskPath, "%s", kDiskPath);
  snprintf(param.extName, sizeof param.extName, "%s", "h264");
  char name[ZRFS_NAME_MAX];
  int fd = zrfs_Open(&param, name, 1);
  if (fd < 0) {
    // The disk is full: delete the oldest recordings until a block is free.
    counters_.spaceWaits.fetch_add(1);
    run_.state->diskFullEvents.fetch_add(1);
    while ((fd = zrfs_Open(&param, name, 1)) < 0) {
      if (Stopping()) return false;
      if (!ReclaimOldestBlock(run_.state)) SleepUntil(NowNanos() + 50'000'000);
    }
  }
  if (fd_ >= 0) zrfs_Close(fd_);  // the previous recording ends where this one starts
  fd_ = fd;
  memcpy(name_, name, sizeof name_);
  counters_.filesCreated.fetch_add(1);
  fileStart_ = position_;
  blockFull_ = false;
  inRing_ = withRing;
  // A ring's recording gets its tag when the ring is fixed.
  if (!withRing && TagRecording(name_, RecordingTag{stream_, fileStart_}) != 0)
    return Fail("zrfs_SetUsrParam");
  return true;
}

bool ChannelRecorder::RollOver() {
  run_.state->rollovers.fetch_add(1);
  return OpenFile(false);
}

bool ChannelRecorder::Write(uint32_t length) {
  FillStream(buffer_.data(), stream_, position_, length);
  if (inRing_) return WriteRing(length);
  if (zrfs_Write(fd_, buffer_.data(), length) != int(length)) {
    // 28: the block has no room for these bytes; they go to a new recording.
    if (zrfs_error(fd_) != 28) return Fail("zrfs_Write");
    if (!RollOver()) return false;
    if (zrfs_Write(fd_, buffer_.data(), length) != int(length))
      return Fail("zrfs_Write into a new recording");
  }
  // 28 after a good write warns that the block is nearly full.
  if (zrfs_error(fd_) == 28) blockFull_ = true;
  position_ += length;
  counters_.bytes.store(position_);
  return true;
}

bool ChannelRecorder::WriteRing(uint32_t length) {
  for (uint32_t done = 0; done < length;) {
    uint32_t at = uint32_t((position_ + done) % ringSize_);
    uint32_t piece = std::min(length - done, ringSize_ - at);
    if (zrfs_Seek(fd_, at, 0) != at) return Fail("zrfs_Seek in the pre-record ring");
    if (zrfs_Write(fd_, buffer_.data() + done, piece) != int(piece))
      return Fail("zrfs_Write into the pre-record ring");
    done += piece;
  }
  position_ += length;
  counters_.bytes.store(position_);
  return true;
}

bool ChannelRecorder::FixRing() {
  // Keep the newest bytes of the ring: at most its size less a little, so
  // that the start and end offsets never meet.
  uint64_t kept = std::min<uint64_t>(position_, ringSize_ - kRingSlack);
  if (kept == 0) {  // stopped before anything was recorded
    Close();
    return true;
  }
  int32_t startOffset = int32_t((position_ - kept) % ringSize_);
  int32_t endOffset = int32_t(position_ % ringSize_);
  if (zrfs_UpdataePreRecPtr(fd_, startOffset, endOffset) != 0) return Fail("zrfs_UpdataePreRecPtr");
  // The recording now reads as the kept bytes; what follows is appended.
  if (zrfs_Seek(fd_, int64_t(kept), 0) != int64_t(kept)) return Fail("zrfs_Seek behind the ring");
  TfFileStat st;
  if (zrfs_fstat(fd_, &st) != 0 || uint64_t(st.st_size) != kept)
    return Fail("sizing the fixed ring");
  inRing_ = false;
  fileStart_ = position_ - kept;
  if (TagRecording(name_, RecordingTag{stream_, fileStart_}) != 0) return Fail("zrfs_SetUsrParam");
  return true;
}

void ChannelRecorder::Close() {
  if (fd_ < 0) return;
  zrfs_Close(fd_);
  if (inRing_) zrfs_Unlink(name_);  // an unfixed ring does not read back: drop it
  fd_ = -1;
  inRing_ = false;
}

}  // namespace demo
