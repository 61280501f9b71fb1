// A read-only view of a disk or image for browsing and export: the disk's
// header and map from the metadata copy a mount takes, block and
// record-file headers read at each call.  It opens the device read-only and
// touches no lock, no shared memory and no other state of the library, so
// it works on an unmounted image and beside recorders writing the disk.
#include <fcntl.h>

#include <cstring>
#include <new>

#include "block/block_file.h"
#include "block/file_stat.h"
#include "format/copy_checks.h"
#include "format/disk_format.h"
#include "format/record_header.h"
#include "format/record_map.h"
#include "os/os.h"
#include "shared/call_reason.h"
#include "shared/naming.h"
#include "zrfs.h"

struct ZrfsView {
  int fd;
  uint32_t disk;  // names the files; 0 for a path without a disk number
  zrfs::DfDiskHeader head;
  uint8_t map[zrfs::kMaxBlocks];
};

using namespace zrfs;

namespace {

bool ReadWhole(const ZrfsView &view, uint64_t offset, void *buf, size_t len) {
  if (ReadFully(view.fd, buf, len, offset) == static_cast<ssize_t>(len)) return true;
  NoteFailure(Status::kIoError);
  return false;
}

uint32_t Blocks(const ZrfsView &view) {
  return view.head.tolblk < uint32_t(kMaxBlocks) ? view.head.tolblk : uint32_t(kMaxBlocks);
}

uint64_t BlockStart(const ZrfsView &view, int32_t blk) {
  return view.head.dataStart + uint64_t(blk) * view.head.unitSize;
}

bool UsedBlock(const ZrfsView &view, int32_t blk) {
  return blk >= 0 && uint32_t(blk) < Blocks(view) && view.map[blk] == kBlkUsed;
}

// The map of a copy: place A, or place B when A cannot be read whole or
// holds a byte that is no block state.  False when neither place does.
bool ReadKnownMap(ZrfsView &view, int copy, size_t mapBytes) {
  for (uint64_t at : {MapPlaceA(copy), MapPlaceB(copy)})
    if (ReadFully(view.fd, view.map, mapBytes, at) == ssize_t(mapBytes) &&
        MapStatesKnown(view.map, uint32_t(mapBytes)))
      return true;
  return false;
}

size_t MapBytes(const DfDiskHeader &head) {
  return head.tolblk < uint32_t(kMaxBlocks) ? head.tolblk : size_t(kMaxBlocks);
}

// The header and map as a mount takes them (the view reads no tables): of
// the copies whose header is accepted, the newest whose map holds block
// states only, else the other; with neither, the newest's map as mounts
// read a disk with no whole copy, place B only when A cannot be read.
Status Load(ZrfsView &view) {
  DfDiskHeader heads[kMetaCopies];
  bool accepted[kMetaCopies];
  for (int copy = 0; copy < int(kMetaCopies); ++copy)
    accepted[copy] = ReadFully(view.fd, &heads[copy], sizeof heads[copy], HeaderPlace(copy)) ==
                         ssize_t(sizeof heads[copy]) &&
                     MountAccepts(heads[copy]);
  int newest = NewestCopy(accepted, heads);
  if (newest < 0) return Status::kNotFormatted;
  for (int copy : {newest, 1 - newest}) {
    if (!accepted[copy] || !ReadKnownMap(view, copy, MapBytes(heads[copy]))) continue;
    view.head = heads[copy];
    return Status::kOk;
  }
  size_t mapBytes = MapBytes(heads[newest]);
  if (ReadFully(view.fd, view.map, mapBytes, MapPlaceA(newest)) != ssize_t(mapBytes) &&
      ReadFully(view.fd, view.map, mapBytes, MapPlaceB(newest)) != ssize_t(mapBytes))
    return Status::kIoError;
  view.head = heads[newest];
  return Status::kOk;
}

// The header of the record file name spells, when its block is in use and
// its slot holds that file with that tag.
Status FindFile(const ZrfsView &view, const char *name, TfFileHeader *file, int32_t *blk) {
  RecordName parsed;
  if (name == nullptr || !ParseRecordName(name, &parsed)) return Status::kBadArgument;
  if (!UsedBlock(view, parsed.blk)) return Status::kNotFound;
  if (!ReadWhole(view, BlockStart(view, parsed.blk) + uint64_t{parsed.fileNo} * kSectorSize, file,
                 sizeof *file))
    return Status::kIoError;
  if (!HoldsFile(*file, parsed.fileNo) || strncasecmp(parsed.tag, file->tag, 4) != 0)
    return Status::kNotFound;
  *blk = parsed.blk;
  return Status::kOk;
}

}  // namespace

extern "C" ZrfsView *zrfs_ViewOpen(const char *path, int disk) {
  CallReason reason;
  if (path == nullptr || disk < -1 || disk >= kMaxDisks)
    return reason.Give<ZrfsView *>(nullptr, false, Status::kBadArgument);
  int fd = os().Open(path, O_RDONLY | O_CLOEXEC | O_LARGEFILE, 0);
  if (fd < 0) return reason.Give<ZrfsView *>(nullptr, false, Status::kNoDevice);
  void *memory = zrfs_Malloc(sizeof(ZrfsView));
  if (memory == nullptr) {
    os().Close(fd);
    return reason.Give<ZrfsView *>(nullptr, false, Status::kNoMemory);
  }
  auto *view = new (memory) ZrfsView{};
  view->fd = fd;
  if (disk < 0) disk = DiskNumberOfPath(path);
  view->disk = disk >= 0 ? uint32_t(disk) : 0;
  Status loaded = Load(*view);
  if (!Ok(loaded)) {
    zrfs_ViewClose(view);
    return reason.Give<ZrfsView *>(nullptr, false, loaded);
  }
  return reason.Give(view, true, Status::kOk);
}

extern "C" void zrfs_ViewClose(ZrfsView *view) {
  CallReason reason;
  if (view != nullptr) {
    os().Close(view->fd);
    zrfs_Free(view);
  }
  (void)reason.Answer(Status::kOk);  // nothing to report: a close cannot fail
}

extern "C" int zrfs_ViewRefresh(ZrfsView *view) {
  CallReason reason;
  if (view == nullptr) return reason.Refuse(Status::kBadArgument);
  return reason.Answer(Load(*view));
}

extern "C" int zrfs_ViewInfo(ZrfsView *view, ZrfsViewInfo *info) {
  CallReason reason;
  if (view == nullptr || info == nullptr) return reason.Refuse(Status::kBadArgument);
  *info = ZrfsViewInfo{};
  info->version = view->head.ver;
  info->blocks = Blocks(*view);
  info->unitSize = view->head.unitSize;
  info->createTime = view->head.createTime;
  for (uint32_t blk = 0; blk < info->blocks; ++blk) {
    uint8_t state = view->map[blk];
    if (state == kBlkUsed) ++info->usedBlocks;
    if (state == kBlkFree) ++info->freeBlocks;
    if (IsBadState(state)) ++info->badBlocks;
  }
  return reason.Answer(Status::kOk);
}

extern "C" int zrfs_ViewBlocks(ZrfsView *view, ZrfsViewBlock *blocks, int max) {
  CallReason reason;
  if (view == nullptr || blocks == nullptr || max < 0) return reason.Refuse(Status::kBadArgument);
  int filled = 0;
  for (uint32_t blk = 0; blk < Blocks(*view) && filled < max; ++blk) {
    if (view->map[blk] != kBlkUsed) continue;
    BlkHeader head;
    if (!ReadWhole(*view, BlockStart(*view, int32_t(blk)), &head, sizeof head))
      return reason.Give(-1, false, Status::kIoError);
    blocks[filled++] =
        ZrfsViewBlock{blk, head.fileNum,    head.lastFileNo, head.ichan, head.blkType,
                      0,   head.createTime, head.modifyTime};
  }
  return reason.Give(filled, true, Status::kOk);
}

extern "C" int zrfs_ViewBlockFiles(ZrfsView *view, int blk, TfFileStat *st, int max) {
  CallReason reason;
  if (view == nullptr || st == nullptr || max < 0) return reason.Refuse(Status::kBadArgument);
  if (!UsedBlock(*view, blk)) return reason.Refuse(Status::kNotFound);
  BlkHeader head;
  if (!ReadWhole(*view, BlockStart(*view, blk), &head, sizeof head))
    return reason.Give(-1, false, Status::kIoError);
  // Only the slots the block has handed out, a few sectors at a time.
  uint32_t last = head.lastFileNo < kMaxFileNo ? head.lastFileNo : kMaxFileNo;
  uint8_t sectors[16 * kSectorSize];
  int filled = 0;
  for (uint32_t first = 1; first <= last && filled < max; first += 16) {
    uint32_t count = last + 1 - first < 16 ? last + 1 - first : 16;
    if (!ReadWhole(*view, BlockStart(*view, blk) + uint64_t{first} * kSectorSize, sectors,
                   size_t{count} * kSectorSize))
      return reason.Give(-1, false, Status::kIoError);
    for (uint32_t i = 0; i < count && filled < max; ++i) {
      TfFileHeader file;
      memcpy(&file, sectors + size_t{i} * kSectorSize, sizeof file);
      if (!HoldsFile(file, first + i)) continue;
      TfFileStat &out = st[filled++];
      memset(&out, 0, sizeof out);
      FillListedFileStat(view->disk, uint32_t(blk), file, &out);
    }
  }
  return reason.Give(filled, true, Status::kOk);
}

extern "C" int zrfs_ViewStat(ZrfsView *view, const char *name, TfFileStat *st) {
  CallReason reason;
  if (view == nullptr || st == nullptr) return reason.Refuse(Status::kBadArgument);
  TfFileHeader file;
  int32_t blk = -1;
  Status found = FindFile(*view, name, &file, &blk);
  if (!Ok(found)) return reason.Answer(found);
  memset(st, 0, sizeof *st);
  FillListedFileStat(view->disk, uint32_t(blk), file, st);
  return reason.Answer(Status::kOk);
}

extern "C" int zrfs_ViewRead(ZrfsView *view, const char *name, uint64_t offset, void *buf,
                             uint32_t len) {
  CallReason reason;
  if (view == nullptr || buf == nullptr) return reason.Refuse(Status::kBadArgument);
  TfFileHeader file;
  int32_t blk = -1;
  Status found = FindFile(*view, name, &file, &blk);
  if (!Ok(found)) return reason.Answer(found);
  auto size = static_cast<uint64_t>(RecordLogicalSize(file));
  if (len > uint32_t(INT32_MAX)) len = uint32_t(INT32_MAX);  // the count must fit the result
  if (offset >= size || len == 0) return reason.Give(0, true, Status::kOk);
  if (len > size - offset) len = static_cast<uint32_t>(size - offset);
  uint32_t offsets[kMaxPieces], lengths[kMaxPieces];
  int pieces = MapRange(static_cast<uint32_t>(offset), len, &file, offsets, lengths, true);
  auto *bytes = static_cast<uint8_t *>(buf);
  uint32_t done = 0;
  for (int i = 0; i < pieces; ++i) {
    // A piece outside the block is a damaged header: nothing past it is read.
    if (uint64_t{offsets[i]} + lengths[i] > view->head.unitSize)
      return reason.Give(-1, false, Status::kIoError);
    if (!ReadWhole(*view, BlockStart(*view, blk) + offsets[i], bytes + done, lengths[i]))
      return reason.Give(-1, false, Status::kIoError);
    done += lengths[i];
  }
  return reason.Give(int(done), true, Status::kOk);
}
