// mkimage, format and info: making an image, writing a fresh layout, and
// showing the two metadata copies side by side.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <memory>

#include <fmt/format.h>

#include "check/checker.h"
#include "check/metadata.h"
#include "check/raw_disk.h"
#include "commands.h"
#include "errors.h"
#include "holders.h"
#include "numbers.h"
#include "output.h"
#include "zrfs/df.h"

namespace zrfs::tool {
namespace {

// Smallest image with one block: the metadata, one block and the spare unit
// the layout leaves after the last block.
constexpr uint64_t ImageBytesForBlocks(uint64_t blocks) {
  return kFormatDataStart + (blocks + 1) * uint64_t(kFormatUnitSize);
}

int MakeImage(const std::string &file, const std::string &sizeText, int64_t blocks, bool force,
              bool json) {
  if (sizeText.empty() == (blocks < 0))
    throw UsageError("mkimage needs exactly one of --size and --blocks",
                     "For example: zrfs mkimage disk.img --blocks 4");
  uint64_t bytes =
      blocks >= 0 ? ImageBytesForBlocks(uint64_t(blocks)) : ParseSize(sizeText, "--size");
  if (bytes < ImageBytesForBlocks(1))
    throw UsageError(fmt::format("an image of {} bytes holds no block", bytes),
                     fmt::format("Give at least {} bytes ({}) for one 1 GiB block.",
                                 ImageBytesForBlocks(1), HumanBytes(ImageBytesForBlocks(1))));
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (force ? O_TRUNC : O_EXCL);
  int fd = open(file.c_str(), flags, 0644);
  if (fd < 0)
    throw ToolError(fmt::format("cannot make {}: {}", file, ErrnoText(errno)),
                    errno == EEXIST ? "Give --force to replace it." : "");
  struct stat st;
  bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  int rc = regular ? ftruncate(fd, off_t(bytes)) : -1;
  int err = errno;
  close(fd);
  if (!regular) throw ToolError(fmt::format("{} is not a regular file", file));
  if (rc != 0) throw ToolError(fmt::format("cannot size {}: {}", file, ErrnoText(err)));
  uint64_t holds =
      std::min<uint64_t>((bytes - kFormatDataStart) / kFormatUnitSize - 1, uint64_t(kMaxBlocks));
  if (json)
    PrintJson({{"image", file}, {"bytes", bytes}, {"blocks", holds}});
  else
    PrintText(fmt::format("{}: sparse image of {} bytes ({}), room for {} block(s) of 1 GiB\n",
                          file, bytes, HumanBytes(bytes), holds));
  return kExitOk;
}

bool AskYes(const std::string &question) {
  if (isatty(STDIN_FILENO) != 1) return false;
  fmt::print(stderr, "{} Type 'yes' to go on: ", question);
  std::string answer;
  std::getline(std::cin, answer);
  return answer == "yes";
}

int Format(const GlobalOptions &global, const std::string &diskArg, int force, bool yes,
           bool json) {
  DiskTarget target = ResolveTarget(diskArg, global, -1);
  // A recorder with the disk mounted goes on writing into blocks the format
  // has just freed: that takes --force twice, and the user sees who.
  DiskUse use = UseOfDisk(target);
  if (use.InUse() && force < 2)
    throw ToolError(
        fmt::format("{} is mounted by a running process: {}", diskArg,
                    use.holders.empty() ? fmt::format("{} mount(s), pids not visible", use.mounted)
                                        : DescribeHolders(use.holders)),
        "Stop those processes or unmount the disk in them first; give --force twice to format "
        "it under them anyway, and they lose what they record.");
  {
    RawDisk raw(target.real, true);  // refuses a write-protected disk up front
    bool formatted = false;
    for (int c = 0; c < 2; ++c) {
      DfDiskHeader head;
      formatted |= raw.Read(HeaderPlace(c), &head, sizeof head) && HasMagic(head);
    }
    if (formatted && force < 1)
      throw ToolError(fmt::format("{} already holds a disk layout", diskArg),
                      "Formatting frees every block and so drops all recordings; give --force "
                      "to do it anyway.");
    if (raw.isBlockDevice() && !yes &&
        !AskYes(fmt::format("Format {} ({}) and lose everything on it?", target.real,
                            HumanBytes(raw.size()))))
      throw ToolError(fmt::format("not formatting {}: not confirmed", diskArg),
                      "Give --yes to format a device without being asked.");
  }
  Session session(target);
  if (zrfs_Format(session.path()) != 0)
    throw ToolError(WithLibraryReason(fmt::format("formatting {} failed", diskArg)),
                    "The device must be writable and larger than 3 GiB.");
  RawDisk raw(target.real, false);
  DfDiskHeader head;
  raw.Read(HeaderPlace(0), &head, sizeof head);
  if (json)
    PrintJson({{"disk", diskArg}, {"blocks", head.tolblk}, {"unit_size", head.unitSize}});
  else
    PrintText(fmt::format("formatted {}: {} block(s) of {}\n", diskArg, head.tolblk,
                          HumanBytes(head.unitSize)));
  return kExitOk;
}

int Info(const GlobalOptions &global, const std::string &diskArg, bool json) {
  DiskTarget target = ResolveTarget(diskArg, global, -1);
  RawDisk raw(target.real, false);
  std::array<MetaCopy, 2> copies = {ReadMetaCopy(raw, 0), ReadMetaCopy(raw, 1)};
  bool agree = copies[0].headerRead && copies[1].headerRead &&
               HeaderDifferences(copies[0].head, copies[1].head).empty();
  bool usable[2];
  for (int c = 0; c < 2; ++c)
    usable[c] = copies[c].headerRead && HeaderUsable(HeaderProblems(copies[c].head, raw.size()));
  int ref = TrustedCopy(copies, usable);
  uint32_t used = 0, freeBlocks = 0, bad = 0, total = 0;
  if (ref >= 0) {
    const MetaCopy &m = copies[ref];
    const std::vector<uint8_t> &map = m.mapRead[0] ? m.map[0] : m.map[1];
    total = MapBlocks(m.head);
    for (uint32_t b = 0; b < total; ++b) {
      used += map[b] == kBlkUsed;
      freeBlocks += map[b] == kBlkFree;
      bad += IsBadState(map[b]);
    }
  }
  auto fields0 = HeaderFields(copies[0].head), fields1 = HeaderFields(copies[1].head);
  if (json) {
    Json doc;
    doc["disk"] = diskArg;
    doc["device_bytes"] = raw.size();
    for (int c = 0; c < 2; ++c) {
      const DfDiskHeader &h = copies[c].head;
      Json copy;
      copy["offset"] = HeaderPlace(c);
      copy["readable"] = copies[c].headerRead;
      copy["formatted"] = HasMagic(h);
      copy["ver"] = h.ver;
      copy["meta_size"] = h.metaSize;
      copy["unit_size"] = h.unitSize;
      copy["create_time"] = JsonTime(h.createTime);
      copy["data_start"] = h.dataStart;
      copy["data_end"] = h.dataEnd;
      copy["tolblk"] = h.tolblk;
      copy["updates"] = h.updateCount;
      Json problems = Json::array();
      for (const auto &p : HeaderProblems(h, raw.size())) problems.push_back(p.text);
      copy["problems"] = problems;
      doc["copies"].push_back(copy);
    }
    doc["copies_agree"] = agree;
    doc["blocks"] = {{"total", total}, {"used", used}, {"free", freeBlocks}, {"bad", bad}};
    PrintJson(doc);
    return kExitOk;
  }
  Table table({{"FIELD"}, {"COPY 0", true}, {"COPY 1", true}, {"AGREE"}});
  for (size_t i = 0; i < fields0.size(); ++i)
    table.AddRow({fields0[i].first, fields0[i].second, fields1[i].second,
                  fields0[i].second == fields1[i].second ? "yes" : "NO"});
  std::string text = fmt::format("disk: {} ({} bytes)\n", diskArg, raw.size());
  text += table.Render();
  text += fmt::format("copies agree: {}\n", agree ? "yes" : "no");
  if (ref < 0) {
    text +=
        "no usable header in either copy: not a formatted disk, or damaged (see 'zrfs check')\n";
  } else {
    const DfDiskHeader &h = copies[ref].head;
    text += fmt::format("version {}, unit size {}\n", h.ver, HumanBytes(h.unitSize));
    text +=
        fmt::format("blocks: {} total, {} used, {} free, {} bad\n", total, used, freeBlocks, bad);
  }
  PrintText(text);
  return ref < 0 ? kExitFailure : kExitOk;
}

}  // namespace

void AddImageCommands(CLI::App &app, CommandContext &ctx) {
  {
    struct Opts {
      std::string file, size;
      int64_t blocks = -1;
      bool force = false, json = false;
    };
    auto o = std::make_shared<Opts>();
    CLI::App *sub = app.add_subcommand("mkimage", "Make a sparse disk image file");
    sub->add_option("FILE", o->file, "Image file to make")->required();
    sub->add_option("--size", o->size, "Image size in bytes (K, M, G, T suffixes: powers of 1024)");
    sub->add_option("--blocks", o->blocks, "Size the image for this many 1 GiB blocks")
        ->check(CLI::Range(int64_t(1), int64_t(kMaxBlocks)));
    sub->add_flag("--force", o->force, "Replace an existing file");
    sub->add_flag("--json", o->json, "Print JSON");
    OnRun(sub, ctx, [o] { return MakeImage(o->file, o->size, o->blocks, o->force, o->json); });
  }
  {
    struct Opts {
      std::string disk;
      int force = 0;
      bool yes = false, json = false;
    };
    auto o = std::make_shared<Opts>();
    CLI::App *sub = app.add_subcommand(
        "format", "Write a fresh, empty disk layout (every block free, recordings lost)");
    AddDiskArgument(sub, o->disk);
    sub->add_flag("--force", o->force,
                  "Format even a disk that already holds a layout; twice: even one that a "
                  "running process has mounted");
    sub->add_flag("--yes", o->yes, "Do not ask before formatting a block device");
    sub->add_flag("--json", o->json, "Print JSON");
    OnRun(sub, ctx, [o, &ctx] { return Format(ctx.global, o->disk, o->force, o->yes, o->json); });
  }
  {
    struct Opts {
      std::string disk;
      bool json = false;
    };
    auto o = std::make_shared<Opts>();
    CLI::App *sub = app.add_subcommand(
        "info", "Show the header of both metadata copies side by side and the block totals");
    AddDiskArgument(sub, o->disk);
    sub->add_flag("--json", o->json, "Print JSON");
    OnRun(sub, ctx, [o, &ctx] { return Info(ctx.global, o->disk, o->json); });
  }
}

}  // namespace zrfs::tool
