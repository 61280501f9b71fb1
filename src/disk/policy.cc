#include "disk/policy.h"

#include <atomic>
#include <cstring>

#include "disk/device_io.h"
#include "disk/disk_table.h"
#include "format/block_format.h"
#include "os/os.h"
#include "shared/keys.h"
#include "shared/pool.h"

namespace zrfs {
namespace {

// Mappings are never undone, so a pointer handed out stays valid.
std::atomic<DiskPolicy *> g_policy[kMaxDisks];

thread_local RoomRefusal t_refusal{RoomWanted::kNo, -1, 0};

}  // namespace

DiskPolicy *AttachDiskPolicy(int disk) {
  if (disk < 0 || disk >= kMaxDisks) return nullptr;
  if (DiskPolicy *known = g_policy[disk].load(std::memory_order_acquire)) return known;
  int key = SlotKey(kFirstDiskSlot + disk);
  if (key == -1) return nullptr;
  // A new segment is zero: the defaults.
  auto *policy =
      static_cast<DiskPolicy *>(AttachSegment(key + kDiskPolicyKeyOffset, sizeof(DiskPolicy)));
  if (policy == nullptr) return nullptr;
  DiskPolicy *expected = nullptr;
  if (!g_policy[disk].compare_exchange_strong(expected, policy)) {
    os().ShmDetach(policy);  // another thread's mapping won
    return expected;
  }
  return policy;
}

void ForgetDiskPolicies() {
  for (auto &policy : g_policy) policy.store(nullptr, std::memory_order_release);
}

void ResetDiskPolicy(int disk) {
  if (DiskPolicy *policy = AttachDiskPolicy(disk)) memset(policy, 0, sizeof *policy);
}

Status SetRetention(const char *path, int mode) {
  if (mode != int(kRetentionRefuse) && mode != int(kRetentionOverwriteOldest))
    return Fail(Status::kBadArgument);
  MountedDisk mounted(path);
  if (!Ok(mounted.status())) return Fail(mounted.status());
  DiskPolicy *policy = AttachDiskPolicy(DiskOfPath(path));
  if (policy == nullptr) return Fail(Status::kTableFull);
  policy->retention = uint32_t(mode);
  return Status::kOk;
}

Status SetChannelQuota(const char *path, unsigned chan, unsigned blocks) {
  if (chan >= unsigned(kPolicyChannels)) return Fail(Status::kBadArgument);
  MountedDisk mounted(path);
  if (!Ok(mounted.status())) return Fail(mounted.status());
  DiskPolicy *policy = AttachDiskPolicy(DiskOfPath(path));
  if (policy == nullptr) return Fail(Status::kTableFull);
  policy->quota[chan] = blocks;
  return Status::kOk;
}

uint32_t ChannelBlocks(const DfDiskEntry &entry, uint32_t chan) {
  uint32_t held = 0;
  for (int type = 0; type < kBlockTypes; ++type) held += entry.blkCnt[type][chan];
  return held;
}

bool UnderQuota(int disk, const DfDiskEntry &entry, uint32_t chan) {
  const DiskPolicy *policy = AttachDiskPolicy(disk);
  uint32_t quota = policy != nullptr && chan < uint32_t(kPolicyChannels) ? policy->quota[chan] : 0;
  return quota == 0 || ChannelBlocks(entry, chan) < quota;
}

Status ReadBlockAges(unsigned disk, int channel, int64_t *ages, uint32_t capacity,
                     uint32_t *count) {
  *count = 0;
  DfDiskSlot *slot = SlotOfDisk(disk);
  if (slot == nullptr || ages == nullptr) return Status::kBadArgument;
  // The disk's lock is taken for each block, not for the whole walk: a
  // read per used block can take long on a disk that seeks, and the flush
  // thread and the other processes' disk calls go on in between.
  auto underLock = [&](auto step) {
    ProcessLockGuard lock(slot->semId, LockLevel::kDisk);
    if (!lock.ok()) return Status::kNoLock;
    if (!IsReady(*slot)) return Status::kNotMounted;
    step(*slot->entry);
    return Status::kOk;
  };
  uint32_t blocks = 0;
  Status read = underLock([&](const DfDiskEntry &entry) {
    blocks = UsableBlocks(entry) < capacity ? UsableBlocks(entry) : capacity;
  });
  BlkHeader head;
  for (uint32_t blk = 0; Ok(read) && blk < blocks; ++blk) {
    read = underLock([&](const DfDiskEntry &entry) {
      bool ours = entry.blkMap[blk] == kBlkUsed &&
                  ReadFullAt(slot->fd, BlockAddress(entry, int32_t(blk)), &head, sizeof head) &&
                  head.inUse != 0 && (channel < 0 || head.ichan == uint32_t(channel));
      int64_t newest = head.modifyTime > head.createTime ? head.modifyTime : head.createTime;
      ages[blk] = ours ? (newest > 0 ? newest : 0) : -1;
    });
  }
  if (Ok(read)) *count = blocks;
  return read;
}

void NoteRoomRefusal(RoomRefusal refusal) {
  t_refusal = refusal;
}

RoomRefusal LastRoomRefusal() {
  return t_refusal;
}

}  // namespace zrfs
