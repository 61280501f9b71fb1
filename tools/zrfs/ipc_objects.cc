#include "ipc_objects.h"

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <fmt/format.h>

namespace zrfs::tool {
namespace {

constexpr int kSlotKeyFiles = 17;
constexpr int kSlotsPerKeyFile = 126;
constexpr int kPoolSlots = 2072;
constexpr int kObjectLockKeyOffset = 0x10000;

// What lives at a pool slot, by its number.
std::string SlotRole(int slot) {
  if (slot < 512) return fmt::format("record-file slot {} (in pool)", slot);
  if (slot < 1024) return fmt::format("record-file slot {}", slot);
  if (slot < 1536) return fmt::format("block slot {} (in pool)", slot);
  if (slot < 2048) return fmt::format("block slot {}", slot);
  return fmt::format("disk {}", slot - 2048);
}

void AddSegment(int key, const std::string &role, std::vector<IpcObject> &out) {
  if (key == -1) return;
  int id = shmget(key, 0, 0);
  if (id < 0) return;
  IpcObject object{IpcObject::Kind::kSegment, key, id, role};
  struct shmid_ds info;
  if (shmctl(id, IPC_STAT, &info) == 0) {
    object.bytes = info.shm_segsz;
    object.attached = static_cast<int>(info.shm_nattch);
    object.lastPid = info.shm_lpid;
    object.changed = std::max(info.shm_atime, info.shm_dtime);
  }
  out.push_back(object);
}

void AddSemaphore(int key, const std::string &role, std::vector<IpcObject> &out) {
  if (key == -1) return;
  int id = semget(key, 0, 0);
  if (id < 0) return;
  IpcObject object{IpcObject::Kind::kSemaphore, key, id, role};
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

std::vector<IpcObject> FindIpcObjects(const std::string &keyDir) {
  std::vector<IpcObject> found;
  std::string layer = keyDir + "/zrfslayer";
  if (access(layer.c_str(), F_OK) == 0) {
    AddSegment(ftok(layer.c_str(), 'A'), "file list", found);
    AddSegment(ftok(layer.c_str(), 'B'), "pool", found);
    AddSemaphore(ftok(layer.c_str(), 'a'), "record-file table lock", found);
    AddSemaphore(ftok(layer.c_str(), 'b'), "block table lock", found);
    AddSemaphore(ftok(layer.c_str(), 'c'), "block creation lock", found);
  }
  for (int file = 0; file < kSlotKeyFiles; ++file) {
    std::string name = fmt::format("{}/zrfs{}", keyDir, file);
    if (access(name.c_str(), F_OK) != 0) continue;
    for (int project = 1; project <= kSlotsPerKeyFile; ++project) {
      int slot = file * kSlotsPerKeyFile + project - 1;
      if (slot >= kPoolSlots) break;
      int key = ftok(name.c_str(), project);
      if (key == -1) continue;
      std::string role = SlotRole(slot);
      AddSegment(key, role + (slot >= 2048 ? " image" : " entry"), found);
      AddSemaphore(key, role + " lock", found);
      AddSemaphore(key + kObjectLockKeyOffset, "lock of " + role, found);
    }
  }
  return found;
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
