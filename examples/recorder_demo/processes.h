// The programs that the demo's child processes run.  Each one starts the
// library for itself (root directory, zrfs_Init, zrfs_Mount) once the parent
// has prepared the disk, and returns the process's exit status.
#pragma once

#include "run_context.h"

namespace demo {

// A recorder: one thread per channel, streams index*channels onwards.  The
// first recorder also keeps a block free ahead of need and takes a
// diagnostic dump halfway through.
int RunRecorder(const RunContext &run, int index);

// The player: follows the newest recording of one channel while it grows
// and checks every byte it reads.
int RunLiveReader(const RunContext &run);

}  // namespace demo
