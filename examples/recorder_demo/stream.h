// What the demo records: every channel is an endless byte stream whose byte
// at any position follows from the channel's stream number and the position
// alone, so a reader can check any stretch of a recording without keeping a
// copy; and the frame sizes of a video-like encoder that produces it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace demo {

// Fills out with the stream's bytes at [position, position + length).
void FillStream(uint8_t *out, uint32_t stream, uint64_t position, size_t length);

// Index of the first byte of data that differs from the stream at position,
// or length when all match.
size_t CheckStream(const uint8_t *data, uint32_t stream, uint64_t position, size_t length);

// Frame sizes of a constant-bitrate encoder at 25 frames per second with one
// key frame per second: the key frame carries a fifth of the second's bytes,
// the 24 frames between share the rest, each varying by up to a quarter.
class FrameSource {
 public:
  static constexpr int kFramesPerSecond = 25;
  FrameSource(uint64_t bitsPerSecond, uint32_t seed);
  uint32_t Next();  // size in bytes of the next frame
  uint64_t frames() const { return frames_; }

 private:
  uint64_t bytesPerSecond_;
  uint32_t random_;
  uint64_t frames_ = 0;
};

}  // namespace demo
