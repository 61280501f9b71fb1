// The demo stores in each recording's user parameters which stream the
// recording holds and where in that stream its first byte lies.  That is all
// a reader needs to check the recording's bytes.
#pragma once

#include <cstdint>

#include "zrfs.h"

namespace demo {

struct RecordingTag {
  uint32_t stream;  // stream number
  uint64_t start;   // stream position of the recording's first byte
};

// Writes the tag into the user parameters of the named recording.  0 or -1.
int TagRecording(const char *name, const RecordingTag &tag);

// Reads the tag from a status record; false when the recording has none.
bool ReadTag(const TfFileStat &st, RecordingTag *tag);

}  // namespace demo
