#include "verification.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "disk_listing.h"
#include "disk_setup.h"
#include "recording_tag.h"
#include "stream.h"
#include "zrfs.h"

namespace demo {
namespace {

constexpr uint32_t kReadSize = 1 << 20;

void Problem(Verification *v, const char *format, ...) __attribute__((format(printf, 2, 3)));
void Problem(Verification *v, const char *format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (v->problems.size() < 20) v->problems.emplace_back(text);
}

// Reads one recording through and compares it with its stream.
void CheckRecording(const TfFileStat &st, const RecordingTag &tag, Verification *v,
                    std::vector<uint8_t> *buffer) {
  char name[ZRFS_NAME_MAX];
  snprintf(name, sizeof name, "%s", st.filename);
  int fd = zrfs_Open(nullptr, name, 0);
  if (fd < 0) return Problem(v, "%s: cannot be opened", st.filename);
  uint64_t size = uint64_t(st.st_size), done = 0;
  while (done < size) {
    uint32_t want = uint32_t(std::min<uint64_t>(size - done, kReadSize));
    int got = zrfs_Read(fd, buffer->data(), want);
    if (got != int(want)) {
      Problem(v, "%s: read of %u bytes at %" PRIu64 " gave %d", st.filename, want, done, got);
      break;
    }
    size_t bad = CheckStream(buffer->data(), tag.stream, tag.start + done, want);
    if (bad != want) {
      Problem(v, "%s: byte %" PRIu64 " differs from what was recorded", st.filename, done + bad);
      break;
    }
    done += want;
  }
  if (done == size && zrfs_Eof(fd) != 1)
    Problem(v, "%s: not at its end after %" PRIu64 " bytes", st.filename, size);
  zrfs_Close(fd);
  StreamResult &stream = v->streams[tag.stream];
  stream.files += 1;
  stream.bytes += done;
  stream.locked = stream.locked || st.lockFlag != 0;
  stream.ranges.emplace_back(tag.start, size);
  v->files += 1;
  v->bytes += done;
}

// A stream's recordings must follow each other without gap or overlap and
// the last must end with the last byte recorded; older ones may be gone.
void CheckStreamRanges(uint32_t stream, const RunContext &run, Verification *v) {
  StreamResult &result = v->streams[stream];
  uint64_t recorded = run.state->streams[stream].bytes.load();
  auto &ranges = result.ranges;
  bool live = int(stream) < run.liveStreams;
  if (ranges.empty()) {
    if (live && recorded > 0) Problem(v, "channel %u: no recording left", stream);
    if (!live && OlderBlockLocked(int(stream) - run.liveStreams))
      Problem(v, "older stream %u: its locked recordings are gone", stream);
    return;
  }
  std::sort(ranges.begin(), ranges.end());
  for (size_t i = 1; i < ranges.size(); ++i) {
    uint64_t end = ranges[i - 1].first + ranges[i - 1].second;
    if (ranges[i].first != end)
      Problem(v, "channel %u: recordings do not join at stream byte %" PRIu64, stream, end);
  }
  uint64_t last = ranges.back().first + ranges.back().second;
  if (last != recorded)
    Problem(v, "channel %u: recordings end at %" PRIu64 ", %" PRIu64 " bytes were recorded", stream,
            last, recorded);
}

}  // namespace

Verification VerifyDisk(const RunContext &run, int totalStreams) {
  Verification v;
  v.streams.resize(size_t(totalStreams));
  std::vector<uint8_t> buffer(kReadSize);
  for (const DfBlockInfo &block : ListBlocks(kDiskPath)) {
    std::vector<TfFileStat> files = ListRecordings(kDiskPath, int(block.blkid));
    v.blocks.emplace_back(block.blkid, uint32_t(files.size()));
    for (const TfFileStat &st : files) {
      RecordingTag tag;
      if (!ReadTag(st, &tag) || int(tag.stream) >= totalStreams) {
        Problem(&v, "%s: not a recording of this run", st.filename);
        continue;
      }
      CheckRecording(st, tag, &v, &buffer);
    }
  }
  if (v.blocks.empty()) Problem(&v, "the disk lists no used block");
  for (int s = 0; s < totalStreams; ++s) CheckStreamRanges(uint32_t(s), run, &v);
  return v;
}

}  // namespace demo
