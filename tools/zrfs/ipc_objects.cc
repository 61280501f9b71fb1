#include "ipc_objects.h"

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <fmt/format.h>

#include "zrfs.h"

namespace zrfs::tool {
namespace {

// Adds what the system says of an object the library listed.
void AddSegment(int key, int id, int slot, const std::string &role, std::vector<IpcObject> &out) {
  IpcObject object{IpcObject::Kind::kSegment, key, id, role, slot};
  struct shmid_ds info;
  if (shmctl(id, IPC_STAT, &info) == 0) {
    object.bytes = info.shm_segsz;
    object.attached = static_cast<int>(info.shm_nattch);
    object.lastPid = info.shm_lpid;
    object.changed = std::max(info.shm_atime, info.shm_dtime);
  }
  out.push_back(object);
}

void AddSemaphore(int key, int id, int slot, const std::string &role, std::vector<IpcObject> &out) {
  IpcObject object{IpcObject::Kind::kSemaphore, key, id, role, slot};
  object.value = semctl(id, 0, GETVAL);
  int pid = semctl(id, 0, GETPID);
  object.lastPid = pid > 0 ? pid : 0;
  union {
    int val;
    struct semid_ds *buf;
  } arg;
  struct semid_ds info;
  arg.buf = &info;
  if (semctl(id, 0, IPC_STAT, arg) == 0) object.changed = info.sem_otime;
  out.push_back(object);
}

}  // namespace

std::vector<IpcObject> FindIpcObjects(const std::string &root) {
  std::vector<IpcObject> found;
  std::vector<ZrfsIpcObject> listed(64);
  for (;;) {
    int count = zrfs_ListIpcObjects(root.c_str(), listed.data(), int(listed.size()));
    if (count < 0) return found;
    if (size_t(count) <= listed.size()) {
      listed.resize(size_t(count));
      break;
    }
    listed.resize(size_t(count));  // more came than there was room for: again
  }
  for (const ZrfsIpcObject &o : listed) {
    if (o.kind == ZRFS_IPC_SEGMENT)
      AddSegment(o.key, o.id, o.slot, o.role, found);
    else
      AddSemaphore(o.key, o.id, o.slot, o.role, found);
  }
  return found;
}

int DiskOfImage(const IpcObject &object) {
  // The disks' entries are the last 24 pool slots, each a segment of its own.
  constexpr int kFirstDiskSlot = 2048, kDisks = 24;
  // Each also has a small policy segment beside its image.
  bool image = object.kind == IpcObject::Kind::kSegment && object.slot >= kFirstDiskSlot &&
               object.slot < kFirstDiskSlot + kDisks &&
               object.role.find("policy") == std::string::npos;
  return image ? object.slot - kFirstDiskSlot : -1;
}

int RemoveIpcObjects(const std::vector<IpcObject> &objects) {
  int removed = 0;
  for (const IpcObject &object : objects) {
    int rc = object.kind == IpcObject::Kind::kSegment ? shmctl(object.id, IPC_RMID, nullptr)
                                                      : semctl(object.id, 0, IPC_RMID);
    if (rc == 0) ++removed;
  }
  return removed;
}

}  // namespace zrfs::tool
