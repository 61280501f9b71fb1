// The disk's policy for a full disk and full channels (shared by every
// process that has the disk mounted), and what allocation reports when it
// runs out of room, so the block layer can give a block back and try again.
#pragma once

#include <cstdint>

#include "disk/layout.h"
#include "shared/pool_layout.h"
#include "shared/status.h"

namespace zrfs {

static_assert(kPolicyChannels == kChannels);

inline constexpr uint32_t kRetentionRefuse = 0;
inline constexpr uint32_t kRetentionOverwriteOldest = 1;

// This process's mapping of the disk's policy segment, made on first use
// and kept (like the disk's image); null when the system gives none.
DiskPolicy *AttachDiskPolicy(int disk);
// Forgets the mappings (start-up of the disk table, with a new root); they
// stay mapped, as a thread may still hold one.
void ForgetDiskPolicies();
// Back to the defaults: the first mount of a disk, and a format.
void ResetDiskPolicy(int disk);

// zrfs_SetRetention, zrfs_SetChannelQuota: the disk must be mounted here.
Status SetRetention(const char *path, int mode);
Status SetChannelQuota(const char *path, unsigned chan, unsigned blocks);

// Blocks the channel holds, of every type.  Under the disk's lock.
uint32_t ChannelBlocks(const DfDiskEntry &entry, uint32_t chan);
// The channel may take one more block under its quota.  Under the disk's lock.
bool UnderQuota(int disk, const DfDiskEntry &entry, uint32_t chan);

// The age of every block a give-back may take, into ages[0..count): for a
// used block (with channel >= 0, one whose newest file is that channel's),
// the newer of its header's creation and modification times; -1 for every
// other block.  A channel's current block is one too: releasing it clears
// the channel's row, and one being written is protected by its writers.
// Reads one sector per used block, each under the disk's lock.
Status ReadBlockAges(unsigned disk, int channel, int64_t *ages, uint32_t capacity, uint32_t *count);

// Why the calling thread's last choice of a block for a new file gave none,
// when giving a recorded block back may help.
enum class RoomWanted : uint8_t {
  kNo,              // it did not fail for room, or the policy keeps what is recorded
  kFromAnyChannel,  // no free block, and the disk overwrites its oldest
  kFromOwnChannel,  // the channel holds its quota
};
struct RoomRefusal {
  RoomWanted wanted;
  int disk;
  uint32_t chan;
};
// Set by allocation (under the disk's lock) and cleared when a choice
// begins; per thread, since each create is one thread's.
void NoteRoomRefusal(RoomRefusal refusal);
RoomRefusal LastRoomRefusal();

}  // namespace zrfs
