// The System V objects of one root directory, as the library lists them
// (zrfs_ListIpcObjects), with what the system says of each: size and
// attachments of a segment, value of a lock, last process and time.
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
  int slot = -1;        // pool slot, -1 for the fixed objects
  uint64_t bytes = 0;   // segments: size
  int attached = 0;     // segments: processes attached now
  int value = -1;       // semaphores: 1 free, 0 held
  pid_t lastPid = 0;    // last process that attached or operated
  int64_t changed = 0;  // seconds: last attach/detach or operation
};

// Every object of the root directory root ("" for real paths).  Missing key
// files give none.
std::vector<IpcObject> FindIpcObjects(const std::string &root);

// The disk number of a disk's shared image, or -1 for any other object.
int DiskOfImage(const IpcObject &object);

// Removes the objects; returns how many went.  A segment still attached
// goes when its last process detaches.
int RemoveIpcObjects(const std::vector<IpcObject> &objects);

}  // namespace zrfs::tool
