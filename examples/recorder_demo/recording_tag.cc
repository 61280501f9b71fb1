#include "recording_tag.h"

#include <cstring>

namespace demo {
namespace {

constexpr char kMagic[8] = {'R', 'E', 'C', 'D', 'E', 'M', 'O', '1'};

// Little-endian, so an image reads the same on every target.
void Put(uint8_t *out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[i] = uint8_t(value >> (8 * i));
}

uint64_t Get(const uint8_t *in, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= uint64_t{in[i]} << (8 * i);
  return value;
}

}  // namespace

int TagRecording(const char *name, const RecordingTag &tag) {
  uint8_t param[32] = {};
  memcpy(param, kMagic, sizeof kMagic);
  Put(param + 8, tag.stream, 4);
  Put(param + 16, tag.start, 8);
  return zrfs_SetUsrParam(name, param, sizeof param);
}

bool ReadTag(const TfFileStat &st, RecordingTag *tag) {
  if (memcmp(st.usrParam, kMagic, sizeof kMagic) != 0) return false;
  tag->stream = uint32_t(Get(st.usrParam + 8, 4));
  tag->start = Get(st.usrParam + 16, 8);
  return true;
}

}  // namespace demo
