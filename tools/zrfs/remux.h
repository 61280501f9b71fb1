// Putting a recording's H.264 or H.265 elementary stream into an MP4 or
// MPEG-TS container without re-encoding (libavformat).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "progress.h"

namespace zrfs::tool {

// Whether this zrfs was built with libavformat.
bool RemuxBuilt();
// Throws ToolError, saying so, when it was not.
void RequireRemux();

// Reads up to len bytes from offset: the count, 0 at the end, -1 on failure.
using ByteSource = std::function<int(uint64_t offset, void *buf, uint32_t len)>;

struct RemuxOutcome {
  uint64_t frames = 0;
  std::string codec;  // "h264" or "hevc"
};

// Writes the stream of size bytes into out as container ("mp4" or
// "mpegts").  Frame timing comes from the stream, or from fps when it is
// above 0.  Throws ToolError.
RemuxOutcome Remux(const ByteSource &source, uint64_t size, const std::string &out,
                   const std::string &container, double fps, Progress *progress);

}  // namespace zrfs::tool
