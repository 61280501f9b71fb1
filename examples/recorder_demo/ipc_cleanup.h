// Removing the System V objects of a private root directory.
//
// The library keeps its shared state in System V shared memory and
// semaphores, keyed with ftok() on the files of its key directory; these
// objects outlive every process by design.  A recorder keeps them for its
// whole life, but the demo uses a throw-away root directory, so it removes
// them when it is done.  This is plain POSIX, not part of the library's
// interface: it only mirrors how the library derives its keys.
#pragma once

#include <string>

namespace demo {

// Removes every segment and semaphore set keyed by ROOT/dvr/zrfs; returns
// how many were removed.
int RemoveIpcObjects(const std::string &root);

}  // namespace demo
