// The key scheme: key files in the key directory and the ftok keys derived
// from them.
#pragma once

#include <cstddef>

namespace zrfs {

inline constexpr const char *kKeyDir = "/dvr/zrfs";

// ftok project ids on the layer key file.
inline constexpr int kFileListProjId = 'A';
inline constexpr int kPoolProjId = 'B';
inline constexpr int kRecordTableLockProjId = 'a';
inline constexpr int kBlockTableLockProjId = 'b';
inline constexpr int kBlockCreateLockProjId = 'c';

inline constexpr int kSlotKeyFiles = 17;
inline constexpr int kSlotsPerKeyFile = 126;

// The lock of one record file or block file: its slot key plus this.
inline constexpr int kObjectLockKeyOffset = 0x10000;
// A disk's policy segment: its image's key plus this (segments and
// semaphores have separate keys, and disks have no object lock).
inline constexpr int kDiskPolicyKeyOffset = kObjectLockKeyOffset;

// Name of the layer key file ("/dvr/zrfs/zrfslayer"); buffer of 64 bytes.
void LayerKeyFileName(char (&out)[64]);

// The key files in key directory dir: the layer file, and the file that
// keys pool slot `slot` (under project id SlotProjectId(slot)).
void LayerKeyFileIn(const char *dir, char *out, size_t size);
void SlotKeyFileIn(const char *dir, int slot, char *out, size_t size);
inline int SlotProjectId(int slot) {
  return slot % kSlotsPerKeyFile + 1;
}

// Key of a layer object (one of the project ids above), or -1.
int LayerKey(int projId);

// Makes the key directory when it is missing (mode 0777 less the umask).
// Under a root directory, its missing parents are made too.
void EnsureKeyDirectory();

// Forgets the cached slot keys (after the root directory changed).
void ForgetSlotKeys();

// fsc_GetShareKey: the ftok key of path and projId (1..255), making the
// key file when it is missing; -1 when there is none.
int ShareKey(const char *path, int projId);
// fsc_GetShmKey: the key of pool slot 0..2071, or -1.
int SlotKey(int slot);

}  // namespace zrfs
