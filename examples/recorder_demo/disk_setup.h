// Getting a disk ready for the demo: a private root directory with the key
// directory and the device path in it, a sparse image behind that path,
// formatting and mounting, and a day's worth of older recordings, so that
// the disk starts full the way a recorder's disk is after its first weeks.
#pragma once

#include <string>

#include "run_context.h"

namespace demo {

// Makes the root directory (beside the program unless an image is given
// elsewhere) and puts the image at its device path.  Fills run->root and
// *madeImage (the file to remove afterwards, empty when the image was given
// and existed).  False with a message on stderr when that fails.
bool MakeRoot(RunContext *run, std::string *madeImage);

// Blocks a fresh image has for the number of live channels.
int BlocksFor(int liveStreams);

// Formats and mounts the disk in this process and records the older
// recordings, stream numbers liveStreams onwards.  Returns how many streams
// of older recordings it made, or -1 after printing why it failed.
int PrepareDisk(const RunContext &run);

// Older recordings at block b are locked (kept when space is reclaimed)
// for every eighth block.
inline bool OlderBlockLocked(int block) {
  return block % 8 == 5;
}

}  // namespace demo
