// One recording channel: a thread that encodes a stream into frames, groups
// them into writes of 64 to 512 KiB and stores them in record files on the
// disk, rolling over to a new file at a size limit or when the block is
// full, and making room when the disk is full.
//
// A channel with a pre-record ring first records into the ring of a file of
// kind 1, round and round, as a camera does while it waits for an event;
// a few seconds in, the event comes: the ring is fixed, so that the file
// keeps the last seconds before the event, and recording goes on behind it.
#pragma once

#include <cstdint>
#include <vector>

#include "run_context.h"
#include "stream.h"
#include "zrfs.h"

namespace demo {

class ChannelRecorder {
 public:
  ChannelRecorder(const RunContext &run, uint32_t stream);
  ~ChannelRecorder();
  ChannelRecorder(const ChannelRecorder &) = delete;
  ChannelRecorder &operator=(const ChannelRecorder &) = delete;

  // Records until the run stops.  False after an error (already reported).
  bool Run();

  static bool HasRing(uint32_t stream) { return stream % 3 == 0; }

 private:
  bool Stopping() const;
  bool OpenFile(bool withRing);  // creates the next recording, making room if needed
  bool RollOver();               // continues the stream in a new recording
  bool Write(uint32_t length);   // the next length bytes of the stream
  bool WriteRing(uint32_t length);
  bool FixRing();
  void Close();
  bool Fail(const char *what);

  const RunContext &run_;
  const uint32_t stream_;
  StreamCounters &counters_;
  FrameSource frames_;
  std::vector<uint8_t> buffer_;
  uint64_t fileLimit_;  // roll over at this many bytes
  uint32_t ringSize_;   // bytes of the pre-record ring, 0 without one
  int fd_ = -1;
  char name_[ZRFS_NAME_MAX] = {};
  bool inRing_ = false;     // still recording into the unfixed ring
  bool blockFull_ = false;  // the library warned that the block is nearly full
  bool failed_ = false;
  uint64_t position_ = 0;   // stream bytes stored so far
  uint64_t fileStart_ = 0;  // stream position of the current file's first byte
};

}  // namespace demo
