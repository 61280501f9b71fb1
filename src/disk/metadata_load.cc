// The choice between the two metadata copies.  Each copy is judged whole
// when its header is accepted, one of its map places holds known block
// states only and its tables name and count blocks of the disk.  Of the
// whole copies the newest (by update count, copy 0 on a tie) is taken.
// When the other copy is damaged or behind, the mount mends it: before
// it uses a copy that may lag the other, it marks used every block that
// copy shows free whose own header holds files (nothing the other had
// handed out is handed out twice); then it writes both copies whole, with
// a raised count, and records in the header what it did.
#include "disk/metadata_load.h"

#include <cstring>

#include "disk/device_io.h"
#include "disk/disk_table.h"
#include "disk/metadata_io.h"
#include "format/block_format.h"
#include "format/copy_checks.h"
#include "os/os.h"
#include "zrfs.h"

namespace zrfs {
namespace {

// Counts the used blocks of each (type, channel) from the blocks' own
// headers, for disks formatted before the counts were kept.  Adds to
// blkCnt, which the caller has cleared; reads one sector per used block.
int RebuildBlockCounts(DfDiskSlot &slot) {
  DfDiskEntry &entry = *slot.entry;
  auto *header = static_cast<BlkHeader *>(zrfs_Malloc(sizeof(BlkHeader)));
  if (header == nullptr) return -1;
  int result = 0;
  for (uint32_t blk = 0; blk < UsableBlocks(entry); ++blk) {
    if (entry.blkMap[blk] != kBlkUsed) continue;
    if (!ReadFullAt(slot.fd, BlockAddress(entry, int32_t(blk)), header, sizeof *header)) {
      result = -1;
      break;
    }
    if (header->ichan < uint32_t(kChannels) && header->blkType < uint32_t(kBlockTypes))
      ++entry.blkCnt[header->blkType][header->ichan];
  }
  zrfs_Free(header);
  return result;
}

// Rewrites the rebuilt count pages to both copies and stamps version 2.
int UpgradeToCurrentVersion(DfDiskSlot &slot) {
  DfDiskEntry &entry = *slot.entry;
  memset(entry.blkCnt, 0, sizeof entry.blkCnt);
  if (RebuildBlockCounts(slot) != 0) return -1;
  entry.head.ver = kFormatVersion;  // carried by the headers written after the pages
  ChangeWritten written = WriteChange(slot, [&](int copy, int *) {
    int failures = 0;
    for (int type = 0; type < kBlockTypes; ++type)
      if (WriteBlkCntPage(slot, copy, type) != 0) ++failures;
    return failures == 0;
  });
  return written.AnyGood() ? 0 : -1;
}

// A copy's header as read.
struct CopyHeader {
  bool accepted;  // read whole and accepted by MountAccepts
  CopyFault fault;
  DfDiskHeader head;
};

CopyHeader ReadCopyHeader(DfDiskSlot &slot, int copy) {
  CopyHeader out{};
  bool read = ReadFullAt(slot.fd, HeaderPlace(copy), &out.head, sizeof out.head);
  out.accepted = read && MountAccepts(out.head);
  out.fault = !read           ? CopyFault::kHeaderUnreadable
              : !out.accepted ? CopyFault::kHeaderRefused
                              : CopyFault::kNone;
  return out;
}

// Reads the copy's map into the image: place A, or place B when A cannot
// be read whole or (when strict) holds a byte that is no block state.
CopyFault ReadMap(DfDiskSlot &slot, int copy, bool strict, uint32_t *mapPlace) {
  DfDiskEntry &entry = *slot.entry;
  CopyFault fault = CopyFault::kMapUnreadable;
  for (uint32_t place : {0u, 1u}) {
    uint64_t at = place == 0 ? MapPlaceA(copy) : MapPlaceB(copy);
    if (!ReadFullAt(slot.fd, at, entry.blkMap, sizeof entry.blkMap)) continue;
    *mapPlace = place;
    if (MapStatesKnown(entry.blkMap, UsableBlocks(entry))) return CopyFault::kNone;
    fault = CopyFault::kMapStrayStates;
    if (!strict) break;
  }
  return fault;
}

// Reads the copy's tables into the image.  Short reads are accepted (an
// old disk may not fill its pages); only a failed read counts.  Count
// pages of a disk that kept no counts are left out: the upgrade rebuilds
// them.
CopyFault ReadTables(DfDiskSlot &slot, int copy) {
  DfDiskEntry &entry = *slot.entry;
  bool counts = CountsKept(entry.head);
  for (int type = 0; type < kBlockTypes; ++type) {
    if (ReadAt(slot.fd, CurBlkPage(copy, type), entry.curBlk[type], kTablePageSize) < 0 ||
        (counts && ReadAt(slot.fd, BlkCntPage(copy, type), entry.blkCnt[type], kTablePageSize) < 0))
      return CopyFault::kTableUnreadable;
  }
  uint32_t blocks = UsableBlocks(entry);
  for (int type = 0; type < kBlockTypes; ++type)
    if (!CurBlkRowInRange(entry.curBlk[type], blocks) ||
        (counts && !BlkCntRowInRange(entry.blkCnt[type], blocks)))
      return CopyFault::kTableOutOfRange;
  return CopyFault::kNone;
}

// Reads a copy whose header was accepted into the image and judges it.
// Not strict: the map as mounts read it before copies were judged (place
// B only when A cannot be read), for a disk with no whole copy.
CopyFault LoadCopy(DfDiskSlot &slot, int copy, const DfDiskHeader &head, bool strict,
                   uint32_t *mapPlace) {
  slot.entry->head = head;
  CopyFault map = ReadMap(slot, copy, strict, mapPlace);
  if (map == CopyFault::kMapUnreadable || (strict && map != CopyFault::kNone)) return map;
  CopyFault tables = ReadTables(slot, copy);
  return map != CopyFault::kNone ? map : tables;
}

// Whether the copy's map (at the place it was read from) and tables hold
// what the image holds.  Equal update counts do not prove equal copies: a
// kill or a cut between a copy's pages and its header leaves those pages
// ahead under the old count.  Reads the copy's map and tables once more.
bool CopyMatchesImage(DfDiskSlot &slot, int copy, uint32_t mapPlace) {
  DfDiskEntry &entry = *slot.entry;
  constexpr uint32_t kPiece = 0x10000;
  static_assert(sizeof entry.blkMap % kPiece == 0 && kTablePageSize <= kPiece);
  auto *piece = static_cast<uint8_t *>(zrfs_Malloc(kPiece));
  if (piece == nullptr) return true;  // cannot tell: left as it is
  auto same = [&](uint64_t at, const void *image, uint32_t len) {
    return ReadFullAt(slot.fd, at, piece, len) && memcmp(piece, image, len) == 0;
  };
  bool matches = true;
  uint64_t map = mapPlace == 0 ? MapPlaceA(copy) : MapPlaceB(copy);
  for (uint32_t off = 0; matches && off < sizeof entry.blkMap; off += kPiece)
    matches = same(map + off, entry.blkMap + off, kPiece);
  bool counts = CountsKept(entry.head);
  for (int type = 0; matches && type < kBlockTypes; ++type)
    matches = same(CurBlkPage(copy, type), entry.curBlk[type], kTablePageSize) &&
              (!counts || same(BlkCntPage(copy, type), entry.blkCnt[type], kTablePageSize));
  zrfs_Free(piece);
  return matches;
}

// Faults that leave the copy readable, as mounts took copies before they
// were judged: stray map states are never handed out, and the allocator
// checks every table entry it uses.
bool ReadableDespite(CopyFault fault) {
  return fault == CopyFault::kNone || fault == CopyFault::kMapStrayStates ||
         fault == CopyFault::kTableOutOfRange;
}

// Marks used, and counts, every block the image shows free whose own header
// says it holds files: a copy that may lag the other does not know the
// blocks the other handed out last.  Reads one sector per free block.
Status ReconcileWithBlockHeaders(DfDiskSlot &slot, uint32_t *takenBack) {
  DfDiskEntry &entry = *slot.entry;
  BlkHeader head;
  for (uint32_t blk = 0; blk < UsableBlocks(entry); ++blk) {
    if (entry.blkMap[blk] != kBlkFree) continue;
    if (!ReadFullAt(slot.fd, BlockAddress(entry, int32_t(blk)), &head, sizeof head))
      return Status::kIoError;
    if (head.inUse == 0 || head.fileNum == 0) continue;
    entry.blkMap[blk] = kBlkUsed;
    ++*takenBack;
    if (head.ichan < uint32_t(kChannels) && head.blkType < uint32_t(kBlockTypes))
      ++entry.blkCnt[head.blkType][head.ichan];
  }
  return Status::kOk;
}

// Writes the image to both copies whole, copy 0 first, each header after its
// pages.  The count goes above both copies' own, so that a copy the rewrite
// reaches in full is the newest whatever the other holds.
Status RewriteBothCopies(DfDiskSlot &slot, uint64_t highestCount) {
  slot.entry->head.updateCount = highestCount;  // the change raises it
  ChangeWritten written =
      WriteChange(slot, [&](int copy, int *) { return WriteWholeCopy(slot, copy) == 0; });
  return written.AnyGood() ? Status::kOk : Status::kIoError;
}

}  // namespace

Status LoadFromDevice(DfDiskSlot &slot) {
  DfDiskEntry &entry = *slot.entry;
  CopyHeader copies[kMetaCopies] = {ReadCopyHeader(slot, 0), ReadCopyHeader(slot, 1)};
  const bool accepted[kMetaCopies] = {copies[0].accepted, copies[1].accepted};
  const DfDiskHeader heads[kMetaCopies] = {copies[0].head, copies[1].head};
  const int newest = NewestCopy(accepted, heads);
  if (newest < 0) {
    // Neither header sector holds an accepted header: a device too small
    // to hold a layout, a failing one, or none formatted.  The image keeps
    // what was refused, as it was read.
    int shown = copies[0].fault == CopyFault::kHeaderRefused ? 0 : 1;
    if (copies[shown].fault == CopyFault::kHeaderRefused) entry.head = copies[shown].head;
    return Status::kNotFormatted;
  }

  // The other copy is judged first, so that the image ends up holding the
  // one taken; it is read again only when the newest is not whole.
  const int other = 1 - newest;
  uint32_t mapPlace[kMetaCopies] = {0, 0};
  if (copies[other].accepted)
    copies[other].fault = LoadCopy(slot, other, copies[other].head, true, &mapPlace[other]);
  copies[newest].fault = LoadCopy(slot, newest, copies[newest].head, true, &mapPlace[newest]);
  int used = newest;
  bool whole = copies[newest].fault == CopyFault::kNone;
  if (!whole && copies[other].fault == CopyFault::kNone) {
    used = other;
    whole = true;
    copies[other].fault = LoadCopy(slot, other, copies[other].head, true, &mapPlace[other]);
    if (copies[other].fault != CopyFault::kNone) return Status::kIoError;  // it changed under us
  } else if (!whole) {
    // No whole copy: the newest readable one is taken as it is, as mounts
    // always have, and nothing is mended, for there is nothing whole to
    // mend from.
    if (!ReadableDespite(copies[newest].fault)) used = other;
    if (!copies[used].accepted || !ReadableDespite(copies[used].fault)) return Status::kIoError;
    if (!ReadableDespite(LoadCopy(slot, used, copies[used].head, false, &mapPlace[used])))
      return Status::kIoError;
  }
  entry.mapIndex = mapPlace[used];

  // An upgrade rewrites both copies' count pages from the block headers.
  bool upgraded = entry.head.ver <= 1;
  if (upgraded && UpgradeToCurrentVersion(slot) != 0) return Status::kIoError;
  const CopyHeader &unused = copies[1 - used];
  bool level = unused.fault == CopyFault::kNone &&
               unused.head.updateCount == copies[used].head.updateCount &&
               (upgraded || CopyMatchesImage(slot, 1 - used, mapPlace[1 - used]));
  if (!whole || level) return Status::kOk;

  // The copy taken may lag the other unless the other's header shows it
  // is not newer.
  uint32_t takenBack = 0;
  if (used != newest || !unused.accepted) {
    Status reconciled = ReconcileWithBlockHeaders(slot, &takenBack);
    if (!Ok(reconciled)) return reconciled;
  }
  CopyRepair &repair = entry.head.repair;
  repair = CopyRepair{};
  repair.fault = unused.fault != CopyFault::kNone ? unused.fault : CopyFault::kBehind;
  repair.usedCopy = uint8_t(used);
  repair.rewrittenCopy = uint8_t(1 - used);
  repair.blocksTakenBack = takenBack;
  repair.time = int64_t(int32_t(os().WallSeconds()));
  uint64_t highest = entry.head.updateCount;
  if (unused.accepted && unused.head.updateCount > highest) highest = unused.head.updateCount;
  return RewriteBothCopies(slot, highest);
}

}  // namespace zrfs
