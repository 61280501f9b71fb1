#include "stream.h"

namespace demo {
namespace {

// The stream is a sequence of 64-bit words, each a mix of the stream number
// and the word's index, stored least significant byte first.
uint64_t StreamWord(uint32_t stream, uint64_t index) {
  uint64_t z = index * 0x9E3779B97F4A7C15ull + (uint64_t{stream} + 1) * 0xD1B54A32D192ED03ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

uint8_t StreamByte(uint32_t stream, uint64_t position) {
  return uint8_t(StreamWord(stream, position / 8) >> (position % 8 * 8));
}

}  // namespace

void FillStream(uint8_t *out, uint32_t stream, uint64_t position, size_t length) {
  size_t i = 0;
  for (; i < length && (position + i) % 8 != 0; ++i) out[i] = StreamByte(stream, position + i);
  for (; i + 8 <= length; i += 8) {
    uint64_t word = StreamWord(stream, (position + i) / 8);
    for (int b = 0; b < 8; ++b) out[i + b] = uint8_t(word >> (8 * b));
  }
  for (; i < length; ++i) out[i] = StreamByte(stream, position + i);
}

size_t CheckStream(const uint8_t *data, uint32_t stream, uint64_t position, size_t length) {
  uint8_t expected[4096];
  for (size_t done = 0; done < length;) {
    size_t n = length - done < sizeof expected ? length - done : sizeof expected;
    FillStream(expected, stream, position + done, n);
    for (size_t i = 0; i < n; ++i)
      if (data[done + i] != expected[i]) return done + i;
    done += n;
  }
  return length;
}

FrameSource::FrameSource(uint64_t bitsPerSecond, uint32_t seed)
    : bytesPerSecond_(bitsPerSecond / 8), random_(seed * 2654435761u + 1) {}

uint32_t FrameSource::Next() {
  random_ ^= random_ << 13;
  random_ ^= random_ >> 17;
  random_ ^= random_ << 5;
  bool key = frames_++ % kFramesPerSecond == 0;
  uint64_t mean = key ? bytesPerSecond_ / 5 : bytesPerSecond_ * 4 / 5 / (kFramesPerSecond - 1);
  // Up to a quarter more or less than the mean.
  uint64_t spread = mean / 4;
  uint64_t size = mean - spread + (spread == 0 ? 0 : random_ % (2 * spread + 1));
  return uint32_t(size == 0 ? 1 : size);
}

}  // namespace demo
