// The System V objects of a root's key directory, found from the key files
// the library makes: the layer file's file list and pool segments and its
// three table locks, then for every pool slot its own segment (if its entry
// has one), its slot lock (a disk's lock) and its object lock (slot key +
// kObjectLockKeyOffset: a record file's or a block's).  Nothing is made.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "shared/ipc_objects.h"

#include "os/os.h"
#include "shared/keys.h"
#include "shared/pool_layout.h"
#include "zrfs.h"

namespace zrfs {
namespace {

// The system's own seam, not an installed wrapper: clearing a root must
// work whatever a test has made fail.
Os &sys() {
  return PosixOs();
}

// Real path of the key directory under rootDir; false when too long.
bool KeyDirectoryOf(const char *rootDir, char (&out)[ZRFS_PATH_MAX]) {
  const char *root = rootDir != nullptr ? rootDir : "";
  int n = snprintf(out, sizeof out, "%s%s", root, kKeyDir);
  return n > 0 && size_t(n) < sizeof out;
}

void DescribeSlot(int slot, char *out, size_t size) {
  if (slot < kFirstBlockSlot) {
    snprintf(out, size, "record-file slot %d", slot);
  } else if (slot < kFirstDiskSlot) {
    snprintf(out, size, "block slot %d", slot);
  } else {
    snprintf(out, size, "disk %d", slot - kFirstDiskSlot);
  }
}

// Calls visit(kind, key, id, slot, role) for every object that exists.
template <typename Visit>
bool EachObject(const char *rootDir, Visit visit) {
  char dir[ZRFS_PATH_MAX];
  if (!KeyDirectoryOf(rootDir, dir)) return false;
  char path[ZRFS_PATH_MAX + 16];
  auto segment = [&](int key, int slot, const char *role) {
    int id = key == -1 ? -1 : sys().ShmGet(key, 0, 0);
    if (id >= 0) visit(ZRFS_IPC_SEGMENT, key, id, slot, role);
  };
  auto semaphores = [&](int key, int slot, const char *role) {
    int id = key == -1 ? -1 : sys().SemGet(key, 0, 0);
    if (id >= 0) visit(ZRFS_IPC_SEMAPHORES, key, id, slot, role);
  };
  LayerKeyFileIn(dir, path, sizeof path);
  segment(sys().FtokReal(path, kFileListProjId), -1, "file list");
  segment(sys().FtokReal(path, kPoolProjId), -1, "pool");
  semaphores(sys().FtokReal(path, kRecordTableLockProjId), -1, "record-file table lock");
  semaphores(sys().FtokReal(path, kBlockTableLockProjId), -1, "block table lock");
  semaphores(sys().FtokReal(path, kBlockCreateLockProjId), -1, "block creation lock");
  for (int file = 0; file < kSlotKeyFiles; ++file) {
    SlotKeyFileIn(dir, file * kSlotsPerKeyFile, path, sizeof path);
    for (int slot = file * kSlotsPerKeyFile;
         slot < (file + 1) * kSlotsPerKeyFile && slot < kPoolSlotCount; ++slot) {
      int key = sys().FtokReal(path, SlotProjectId(slot));
      if (key == -1) break;  // no such key file
      char what[32];
      char role[48];
      DescribeSlot(slot, what, sizeof what);
      snprintf(role, sizeof role, "%s %s", what, slot >= kFirstDiskSlot ? "image" : "entry");
      segment(key, slot, role);
      snprintf(role, sizeof role, "%s lock", what);
      semaphores(key, slot, role);
      snprintf(role, sizeof role, "lock of %s", what);
      semaphores(key + kObjectLockKeyOffset, slot, role);
      if (slot >= kFirstDiskSlot) {
        snprintf(role, sizeof role, "%s policy", what);
        segment(key + kDiskPolicyKeyOffset, slot, role);
      }
    }
  }
  return true;
}

// Key of pool slot `slot` under the key directory dir, or -1.
int SlotKeyIn(const char *dir, int slot) {
  char path[ZRFS_PATH_MAX + 16];
  SlotKeyFileIn(dir, slot, path, sizeof path);
  return sys().FtokReal(path, SlotProjectId(slot));
}

}  // namespace

int ListIpcObjects(const char *rootDir, ZrfsIpcObject *out, int max) {
  int count = 0;
  bool ok = EachObject(rootDir, [&](int kind, int key, int id, int slot, const char *role) {
    if (out != nullptr && count < max) {
      ZrfsIpcObject &o = out[count];
      o = ZrfsIpcObject{kind, key, id, slot, {}};
      snprintf(o.role, sizeof o.role, "%s", role);
    }
    ++count;
  });
  return ok ? count : -1;
}

int RemoveIpcObjects(const char *rootDir) {
  int removed = 0;
  bool ok = EachObject(rootDir, [&](int kind, int, int id, int, const char *) {
    int rc = kind == ZRFS_IPC_SEGMENT ? sys().ShmRemove(id) : sys().SemRemove(id);
    if (rc == 0) ++removed;
  });
  return ok ? removed : -1;
}

int DiskUsers(const char *rootDir, int disk) {
  char dir[ZRFS_PATH_MAX];
  if (disk < 0 || disk >= kMaxDisks || !KeyDirectoryOf(rootDir, dir)) return -1;
  int key = SlotKeyIn(dir, kFirstDiskSlot + disk);
  // The live processes with the disk mounted, as the count beside the
  // disk's lock keeps them (a process that died is not counted).
  int lockId = key == -1 ? -1 : sys().SemGet(key, 0, 0);
  int live = lockId < 0 ? -1 : sys().SemGetValue(lockId, 1);
  if (live >= 0) return live;
  // A lock set without the count: the shared image's own count.
  int id = key == -1 ? -1 : sys().ShmGet(key, 0, 0);
  if (id < 0) return 0;  // no shared image: nobody has it mounted
  const void *image = sys().ShmAttachReadOnly(id);
  if (image == nullptr) return -1;
  auto *tail = reinterpret_cast<const DiskEntryTail *>(static_cast<const uint8_t *>(image) +
                                                       kDiskEntryTailOffset);
  uint32_t mounted = std::atomic_ref<uint32_t>(const_cast<uint32_t &>(tail->mounted))
                         .load(std::memory_order_acquire);
  sys().ShmDetach(image);
  return static_cast<int>(mounted);
}

Status ReadDiskPolicy(const char *rootDir, int disk, DiskPolicy *out) {
  *out = DiskPolicy{};
  char dir[ZRFS_PATH_MAX];
  if (disk < 0 || disk >= kMaxDisks || !KeyDirectoryOf(rootDir, dir)) return Status::kBadArgument;
  int key = SlotKeyIn(dir, kFirstDiskSlot + disk);
  // The policy holds while a live process has the disk mounted; after that
  // the next mount starts from the defaults, which is what it reads as.
  if (key == -1 || DiskUsers(rootDir, disk) <= 0) return Status::kOk;
  int id = sys().ShmGet(key + kDiskPolicyKeyOffset, 0, 0);
  if (id < 0) return Status::kOk;
  const void *policy = sys().ShmAttachReadOnly(id);
  if (policy == nullptr) return Status::kNoLock;
  memcpy(out, policy, sizeof *out);
  sys().ShmDetach(policy);
  return Status::kOk;
}

}  // namespace zrfs
