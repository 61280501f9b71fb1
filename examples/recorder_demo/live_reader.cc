#include <unistd.h>

#include <cinttypes>
#include <vector>

#include "channel_recorder.h"
#include "disk_listing.h"
#include "processes.h"
#include "recording_tag.h"

namespace demo {
namespace {

constexpr uint32_t kReadSize = 256 * 1024;

// The channel to follow: the first one without a pre-record ring, whose
// recordings grow from their creation on.
uint32_t ChooseStream(const RunContext &run) {
  for (uint32_t s = 0; s < uint32_t(run.liveStreams); ++s)
    if (!ChannelRecorder::HasRing(s)) return s;
  return 0;
}

// The newest tagged recording of the stream that starts after `after`
// (or any, for after = -1).  False when there is none.
bool FindNewest(uint32_t stream, int64_t after, char *name, RecordingTag *found) {
  bool any = false;
  for (const DfBlockInfo &block : ListBlocks(kDiskPath)) {
    for (const TfFileStat &st : ListRecordings(kDiskPath, int(block.blkid))) {
      RecordingTag tag;
      if (!ReadTag(st, &tag) || tag.stream != stream || int64_t(tag.start) <= after) continue;
      if (any && tag.start <= found->start) continue;
      any = true;
      *found = tag;
      snprintf(name, ZRFS_NAME_MAX, "%s", st.filename);
    }
  }
  return any;
}

class LiveReader {
 public:
  explicit LiveReader(const RunContext &run)
      : run_(run), stream_(ChooseStream(run)), buffer_(kReadSize) {}

  int Run() {
    while (run_.state->phase.load() >= kRecording) {
      bool recordersDone = run_.state->phase.load() == kRecordersDone;
      if (fd_ < 0 && !OpenNewest(-1)) {
        if (recordersDone) break;
        usleep(100'000);
        continue;
      }
      if (!ReadToEnd()) return 1;
      // Caught up.  A newer recording means this one is complete: read what
      // came in since, then move on.
      RecordingTag next;
      char name[ZRFS_NAME_MAX];
      if (FindNewest(stream_, int64_t(tag_.start), name, &next)) {
        if (!ReadToEnd()) return 1;
        zrfs_Close(fd_);
        fd_ = -1;
        continue;
      }
      if (recordersDone) break;
      usleep(100'000);
    }
    if (fd_ >= 0 && !ReadToEnd()) return 1;
    if (fd_ >= 0) zrfs_Close(fd_);
    return 0;
  }

 private:
  bool OpenNewest(int64_t after) {
    char name[ZRFS_NAME_MAX];
    if (!FindNewest(stream_, after, name, &tag_)) return false;
    fd_ = zrfs_Open(nullptr, name, 0);
    if (fd_ < 0) return false;  // deleted in between: look again
    position_ = 0;
    run_.state->readerFiles.fetch_add(1);
    return true;
  }

  // Reads and checks everything the recording holds by now.
  bool ReadToEnd() {
    // How far the recorder got ahead since the last look.
    uint64_t written = run_.state->streams[stream_].bytes.load();
    uint64_t lag = written > tag_.start + position_ ? written - (tag_.start + position_) : 0;
    if (lag > run_.state->readerMaxLag.load()) run_.state->readerMaxLag.store(lag);
    TfFileStat st;
    if (zrfs_fstat(fd_, &st) != 0) return Fail("zrfs_fstat");
    while (position_ < uint64_t(st.st_size)) {
      uint64_t left = uint64_t(st.st_size) - position_;
      uint32_t want = left < kReadSize ? uint32_t(left) : kReadSize;
      int got = zrfs_Read(fd_, buffer_.data(), want);
      if (got <= 0) return Fail("zrfs_Read");
      uint64_t at = tag_.start + position_;
      size_t bad = CheckStream(buffer_.data(), stream_, at, size_t(got));
      if (bad != size_t(got)) {
        ReportError(run_.state, "live reader: channel %u byte %" PRIu64 " differs", stream_,
                    at + bad);
        return false;
      }
      position_ += uint64_t(got);
      run_.state->readerBytes.fetch_add(uint64_t(got));
    }
    return true;
  }

  bool Fail(const char *what) {
    ReportError(run_.state, "live reader: %s failed on channel %u", what, stream_);
    return false;
  }

  const RunContext &run_;
  const uint32_t stream_;
  std::vector<uint8_t> buffer_;
  int fd_ = -1;
  RecordingTag tag_{};
  uint64_t position_ = 0;
};

}  // namespace

int RunLiveReader(const RunContext &run) {
  if (zrfs_SetRootDir(run.root.c_str()) != 0 || zrfs_Init() != 0 || zrfs_Mount(kDiskPath) != 0) {
    ReportError(run.state, "live reader: starting the library failed");
    return 1;
  }
  int status = LiveReader(run).Run();
  zrfs_UnMount(kDiskPath);
  zrfs_DeInit();
  return status;
}

}  // namespace demo
