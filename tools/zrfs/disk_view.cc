#include "disk_view.h"

#include <strings.h>

#include <cstring>

#include <fmt/format.h>

#include "check/metadata.h"
#include "errors.h"
#include "format/record_header.h"
#include "format/record_map.h"
#include "zrfs.h"
#include "zrfs/bf.h"
#include "zrfs/df.h"
#include "zrfs/fsc.h"

namespace zrfs::tool {

// Read from the device as a mount reads it: of the copies whose header it
// accepts, the newest whole one (format/copy_checks.h), its map from place
// A unless that cannot be read whole or holds stray states, and its counts.
// Headers and metadata are written through, so this is what the recorders'
// shared image holds.
DiskSnapshot TakeSnapshot(const Session &session) {
  RawDisk raw(session.target().real, false);
  std::array<MetaCopy, 2> copies = {ReadMetaCopy(raw, 0), ReadMetaCopy(raw, 1)};
  bool accepted[2];
  for (int c = 0; c < 2; ++c) accepted[c] = copies[c].headerRead && MountAccepts(copies[c].head);
  int copy = TrustedCopy(copies, accepted);
  const DiskTarget &target = session.target();
  if (copy < 0)
    throw ToolError(fmt::format("{} holds no usable disk layout", target.given),
                    fmt::format("Run 'zrfs check {}' to see what is wrong, or 'zrfs format' for a "
                                "new disk.",
                                target.given));
  const MetaCopy &meta = copies[copy];
  auto known = [&](int place) {
    return meta.mapRead[place] && MapStatesKnown(meta.map[place].data(), MapBlocks(meta.head));
  };
  bool placeB = meta.mapRead[1] && (!meta.mapRead[0] || (!known(0) && known(1)));
  DiskSnapshot snap;
  snap.head = meta.head;
  snap.map = meta.map[placeB ? 1 : 0];
  snap.map.resize(size_t(kMaxBlocks), kBlkFree);
  snap.cnt = meta.cnt;
  return snap;
}

std::vector<int32_t> UsedBlocks(const DiskSnapshot &snap) {
  std::vector<int32_t> ids;
  for (uint32_t blk = 0; blk < MapBlocks(snap.head); ++blk)
    if (snap.map[blk] == kBlkUsed) ids.push_back(int32_t(blk));
  return ids;
}

bool ReadBlockHead(const RawDisk &raw, const DfDiskHeader &head, int32_t blk, BlkHeader *out) {
  return raw.Read(head.dataStart + uint64_t(blk) * head.unitSize, out, sizeof *out);
}

bool ReadFileHead(const RawDisk &raw, const DfDiskHeader &head, int32_t blk, uint32_t fileNo,
                  TfFileHeader *out) {
  return raw.Read(head.dataStart + uint64_t(blk) * head.unitSize + uint64_t(fileNo) * kSectorSize,
                  out, sizeof *out);
}

std::vector<BlockFile> ReadBlockFiles(const RawDisk &raw, const DfDiskHeader &head, int disk,
                                      int32_t blk, const BlkHeader &block) {
  uint32_t last = block.lastFileNo < kMaxFileNo ? block.lastFileNo : kMaxFileNo;
  std::vector<uint8_t> area(size_t(last + 1) * kSectorSize);
  if (!raw.Read(head.dataStart + uint64_t(blk) * head.unitSize, area.data(), area.size()))
    throw ToolError(fmt::format("cannot read the header area of block {}", blk));
  std::vector<BlockFile> files;
  for (uint32_t slot = 1; slot <= last; ++slot) {
    BlockFile file;
    memcpy(&file.header, &area[size_t(slot) * kSectorSize], sizeof file.header);
    if (!HasRecordMagic(file.header)) continue;
    char name[ZRFS_NAME_MAX] = {};
    char identity[8];
    memcpy(identity, file.header.magic, 4);
    memcpy(identity + 4, file.header.tag, 4);
    bf_MakeFileName(uint32_t(disk), uint32_t(blk), file.header.fileNo, name, identity,
                    file.header.lockFlag);
    file.name = name;
    file.name.append(file.header.extName, strnlen(file.header.extName, sizeof file.header.extName));
    files.push_back(file);
  }
  return files;
}

bool FindRecordFile(const RawDisk &raw, const DiskSnapshot &snap, const NameParts &parts,
                    TfFileHeader *out) {
  bool used = parts.blk >= 0 && uint32_t(parts.blk) < MapBlocks(snap.head) &&
              snap.map[size_t(parts.blk)] == kBlkUsed;
  return used && ReadFileHead(raw, snap.head, parts.blk, parts.fileNo, out) &&
         HoldsFile(*out, parts.fileNo) && strncasecmp(out->tag, parts.tag.c_str(), 4) == 0;
}

bool ReadRecordBytes(const RawDisk &raw, const DfDiskHeader &head, int32_t blk,
                     const TfFileHeader &header, uint64_t pos, uint8_t *buf, uint32_t len) {
  uint32_t offsets[kMaxPieces], lengths[kMaxPieces];
  int pieces = MapRange(uint32_t(pos), len, &header, offsets, lengths, true);
  if (pieces < 1) return false;
  uint64_t block = head.dataStart + uint64_t(blk) * head.unitSize;
  uint32_t done = 0;
  for (int i = 0; i < pieces; ++i) {
    if (!raw.Read(block + offsets[i], buf + done, lengths[i])) return false;
    done += lengths[i];
  }
  return done == len;
}

std::string RingState(const TfFileHeader &h) {
  if (h.preStart == 0 && h.preEnd == 0) return "-";
  if (h.preRecStartPtr == 0 || h.preRecEndPtr == 0) return "open";
  if (h.preRecStartPtr == h.preRecEndPtr) return "full";  // every byte, oldest at the pointer
  return h.preRecStartPtr > h.preRecEndPtr ? "wrapped" : "fixed";
}

NameParts ParseName(const std::string &name) {
  size_t dot = name.find('.');
  auto bad = [&] {
    return UsageError(fmt::format("'{}' is not a record-file name", name),
                      "Names look like H000000300001A3F50000C00.ext; 'zrfs ls DISK' lists them.");
  };
  if (dot == std::string::npos || dot < 23) throw bad();
  std::string digits = name.substr(dot - 21, 10);
  for (char c : digits)
    if (!isxdigit(static_cast<unsigned char>(c))) throw bad();
  NameParts parts;
  parts.disk = fsc_DiskAtoI(name[dot - 22]);
  parts.blk = int32_t(std::stol(digits.substr(0, 6), nullptr, 16));
  parts.fileNo = uint32_t(std::stoul(digits.substr(6, 4), nullptr, 16));
  parts.tag = name.substr(dot - 11, 4);
  if (parts.fileNo == 0 || parts.fileNo > kMaxFileNo) throw bad();
  return parts;
}

}  // namespace zrfs::tool

namespace zrfs::tool {

uint64_t LogicalSize(const TfFileHeader &h) {
  int64_t size = RecordLogicalSize(h);   // the size zrfs_Stat reports
  return size > 0 ? uint64_t(size) : 0;  // a damaged header's negative size reads as nothing
}

DiskTarget TargetForName(const std::string &diskArg, const GlobalOptions &global,
                         const std::string &name) {
  NameParts parts = ParseName(name);
  DiskTarget target = ResolveTarget(diskArg, global, parts.disk);
  if (target.disk != parts.disk)
    throw UsageError(fmt::format("{} was made on disk {}, but {} is disk {}", name, parts.disk,
                                 diskArg, target.disk),
                     "Give the device path of the disk the name was made on.");
  return target;
}

}  // namespace zrfs::tool
