// Internal side of the shared pool (the exported side is zrfs/fsc.h).
#pragma once

#include <cstdint>

namespace zrfs {

// Attaches the segment with this key, creating it (zero-filled) when missing.
// An existing segment of another size is refused: it was left by a build
// with other entry sizes, and using it would corrupt both sides.
void *AttachSegment(int key, uint32_t size);

// Detaches this process's attachment of an own-segment entry; the last
// holder also frees its list slot and removes the segment.
void ReleaseSegment(void *entry, int slot, bool last);

// Retirement.  A format gives a disk a new layout while processes may still
// hold entries made from the old one.  Those entries are retired: their key
// in the file list gets kRetiredKeyBit, so no request finds them again (a
// request of the same key gets a fresh entry and slot), while their holders
// keep the slot until they let go.  Every use of an entry for data checks
// that it is not retired.
inline constexpr uint32_t kRetiredKeyBit = 0x80000000u;  // in the key's high word

// Retires every record-file and block-file entry of a disk.  Called by the
// format under the disk's lock; requests of other processes may run at the
// same time, which is why the key changes by one aligned 32-bit store.
void RetireDiskEntries(int disk);

// True when the entry in this pool slot has been retired (or the slot is
// not listed at all).
bool SlotRetired(uint32_t poolSlot);

// The EntryKey listed for a slot (0 when free or out of range).
uint64_t ListedKey(uint32_t poolSlot);

// Detaches the file list and the pool and forgets the cached keys, so the
// next fsc_ShareInit attaches the objects of the current root directory.
void ResetProcessState();

// The pool's calls (fsc_ in c_api.cc).  Attaches the file list and the
// pool of the current root: 0, or -1 when either cannot be attached.
int AttachSharedPool();
// The entry recorded under key (keyHi << 32 | keyLo), or a zeroed new one;
// null when the pool or the slots are exhausted.
void *AcquireRecordEntry(uint32_t keyLo, uint32_t keyHi, uint32_t size);
void *AcquireBlockEntry(uint32_t keyLo, uint32_t keyHi, uint32_t size);
void *AcquireDiskEntry(uint32_t keyLo, uint32_t keyHi, uint32_t size);
// How many processes have disk's shared image attached now (this one
// included), or -1 when that cannot be told.
int DiskEntryAttachments(int disk);
// Lets go of an entry; its slot is given back when no process counts it.
void ReleaseRecordEntry(void *entry);
void ReleaseBlockEntry(void *entry);
void ReleaseDiskEntry(void *entry);

}  // namespace zrfs
