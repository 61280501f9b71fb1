// The System V objects that belong to one key directory.
//
// The library derives every key with ftok from the key files of its key
// directory: the layer file "zrfslayer" (file list 'A' and pool 'B'
// segments, the three layer locks 'a', 'b', 'c') and the slot files
// "zrfs0".."zrfs16" (pool slot s: file s / 126, project id s % 126 + 1).  A
// slot key names the slot's own segment (if its entry has one) and, for a
// disk, the disk's lock; the slot key plus 0x10000 names the lock of a
// record file or block.  This file finds those objects without creating
// anything, describes them and removes them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zrfs::tool {

struct IpcObject {
  enum class Kind { kSegment, kSemaphore };
  Kind kind;
  int key;
  int id;
  std::string role;     // "pool", "disk 3 image", "lock of record-file slot 7", ...
  uint64_t bytes = 0;   // segments: size
  int attached = 0;     // segments: processes attached now
  int value = -1;       // semaphores: 1 free, 0 held
  pid_t lastPid = 0;    // last process that attached or operated
  int64_t changed = 0;  // seconds: last attach/detach or operation
};

// Every object of the key directory at keyDir (a real path on this system,
// e.g. "/dvr/zrfs" or ROOT + "/dvr/zrfs").  Missing key files give none.
std::vector<IpcObject> FindIpcObjects(const std::string &keyDir);

// Removes the objects; returns how many went.  A segment still attached
// goes when its last process detaches.
int RemoveIpcObjects(const std::vector<IpcObject> &objects);

}  // namespace zrfs::tool
