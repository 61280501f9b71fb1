// The creation parameters of a test recording: a channel's file on one
// disk, with a ring of preRecSize bytes when kind asks for one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "zrfs.h"

namespace zrfs::test {

inline FileCreateParam RecordingParam(const std::string &dev, uint32_t chan, uint32_t kind = 0,
                                      int32_t preRecSize = 0, const char *ext = "h264",
                                      int32_t recType = 1) {
  FileCreateParam p{};
  p.ichan = chan;
  p.createTime = 1700000000;
  p.kind = kind;
  p.preRecSize = preRecSize;
  p.recType = recType;
  snprintf(p.diskPath, sizeof p.diskPath, "%s", dev.c_str());
  snprintf(p.extName, sizeof p.extName, "%s", ext);
  return p;
}

}  // namespace zrfs::test
