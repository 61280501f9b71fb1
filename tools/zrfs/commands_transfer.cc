// export and import: a record file's logical bytes to a plain file, and a
// plain file recorded as a new record file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <memory>

#include <fmt/format.h>

#include "catalog.h"
#include "commands.h"
#include "disk_view.h"
#include "errors.h"
#include "numbers.h"
#include "output.h"
#include "progress.h"
#include "remux.h"
#include "time_window.h"
#include "zrfs/tf.h"

namespace zrfs::tool {
namespace {

constexpr uint32_t kChunk = 1u << 20;
constexpr uint32_t kRingKind = 1;

void WriteAll(int fd, const uint8_t *bytes, size_t len, const std::string &what) {
  while (len > 0) {
    ssize_t n = write(fd, bytes, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw ToolError(fmt::format("cannot write {}: {}", what, ErrnoText(errno)));
    bytes += n;
    len -= size_t(n);
  }
}

struct ExportOptions {
  std::string disk, name, out;
  std::vector<uint32_t> channels;
  std::string from, to, format = "raw";
  double fps = 0;
  bool utc = false, force = false, json = false;
};

struct ExportFormat {
  std::string name;       // raw, mp4 or ts
  std::string container;  // libavformat's name
  std::string extension;
  double fps = 0;
};

ExportFormat FormatOf(const ExportOptions &o) {
  if (o.format == "raw") return {"raw", "", "", 0};
  if (o.format != "mp4" && o.format != "ts")
    throw UsageError(fmt::format("no format '{}'", o.format), "Formats: raw, mp4, ts.");
  RequireRemux();  // said before anything is made
  return o.format == "mp4" ? ExportFormat{"mp4", "mp4", "mp4", o.fps}
                           : ExportFormat{"ts", "mpegts", "ts", o.fps};
}

bool Exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// What an export wrote of one recording.
struct Exported {
  std::string name, path, format;
  uint64_t bytes = 0;
  uint32_t crc32 = 0;   // of the raw bytes
  uint64_t frames = 0;  // mp4 and ts
};

// Copies size bytes read through source into out ("-": standard output).
Exported ExportRaw(const ByteSource &source, uint64_t size, const std::string &name,
                   const std::string &out, bool force, const std::string &diskArg) {
  bool toStdout = out == "-";
  int fd = STDOUT_FILENO;
  std::string outName = toStdout ? "standard output" : out;
  if (!toStdout) {
    fd = open(out.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (force ? O_TRUNC : O_EXCL), 0644);
    if (fd < 0)
      throw ToolError(fmt::format("cannot create {}: {}", out, ErrnoText(errno)),
                      errno == EEXIST ? "Give --force to replace it." : "");
  }
  std::vector<uint8_t> buffer(kChunk);
  Progress progress(name, size);
  Exported result{name, toStdout ? "-" : out, "raw"};
  try {
    while (result.bytes < size) {
      ThrowIfInterrupted();
      auto want = uint32_t(std::min<uint64_t>(kChunk, size - result.bytes));
      int got = source(result.bytes, buffer.data(), want);
      if (got <= 0)
        throw ToolError(fmt::format("reading {} failed at byte {} of {}: input/output error", name,
                                    result.bytes, size),
                        fmt::format("Run 'zrfs check {}'.", diskArg));
      WriteAll(fd, buffer.data(), size_t(got), outName);
      result.crc32 = Crc32(result.crc32, buffer.data(), size_t(got));
      result.bytes += uint64_t(got);
      progress.Update(result.bytes);
    }
  } catch (...) {
    progress.Finish();
    if (!toStdout) {
      close(fd);
      unlink(out.c_str());
    }
    throw;
  }
  progress.Finish();
  if (!toStdout && (fsync(fd) != 0 || close(fd) != 0))
    throw ToolError(fmt::format("cannot write {}: {}", out, ErrnoText(errno)));
  return result;
}

// One recording into out in format raw, mp4 or ts.
Exported ExportOne(const ByteSource &source, uint64_t size, const std::string &name,
                   const std::string &out, const ExportFormat &format, bool force,
                   const std::string &diskArg) {
  if (format.name == "raw") return ExportRaw(source, size, name, out, force, diskArg);
  if (out == "-")
    throw UsageError(fmt::format("--format {} writes a file, not standard output", format.name),
                     "Give an output file.");
  if (!force && Exists(out))
    throw ToolError(fmt::format("{} exists", out), "Give --force to replace it.");
  Progress progress(name, size);
  RemuxOutcome outcome;
  try {
    outcome = Remux(source, size, out, format.container, format.fps, &progress);
  } catch (...) {
    progress.Finish();
    unlink(out.c_str());
    throw;
  }
  progress.Finish();
  struct stat st {};
  (void)stat(out.c_str(), &st);  // the size is for the report only
  Exported result{name, out, format.name, uint64_t(st.st_size)};
  result.frames = outcome.frames;
  return result;
}

Json ExportedJson(const Exported &e) {
  Json row = {{"name", e.name}, {"path", e.path}, {"format", e.format}, {"bytes", e.bytes}};
  if (e.format == "raw") {
    row["crc32"] = fmt::format("{:08x}", e.crc32);
  } else {
    row["frames"] = e.frames;
  }
  return row;
}

// A recording an export by range could not write, and why.
struct Failed {
  std::string name, why;
};

void Report(const std::string &diskArg, const std::vector<Exported> &done, bool json,
            const std::vector<Failed> &failed = {}) {
  if (json) {
    Json rows = Json::array(), failures = Json::array();
    for (const Exported &e : done) rows.push_back(ExportedJson(e));
    for (const Failed &f : failed) failures.push_back({{"name", f.name}, {"error", f.why}});
    Json doc = {{"disk", diskArg}, {"exports", rows}};
    if (!failed.empty()) doc["failed"] = failures;
    PrintJson(doc);
    return;
  }
  for (const Failed &f : failed) fmt::print(stderr, "not exported: {}: {}\n", f.name, f.why);
  for (const Exported &e : done) {
    if (e.path == "-") continue;  // the recording itself went to standard output
    std::string what = e.format == "raw" ? fmt::format("{} bytes", e.bytes)
                                         : fmt::format("{} frames ({} bytes)", e.frames, e.bytes);
    fmt::print(stderr, "exported {} of {} to {}\n", what, e.name, e.path);
  }
}

int Export(const GlobalOptions &global, const ExportOptions &o) {
  std::string out = o.out.empty() ? "-" : o.out;
  if (out == "-" && isatty(STDOUT_FILENO) == 1)
    throw UsageError("will not write a recording to a terminal",
                     "Give an output file, or redirect standard output.");
  ExportFormat format = FormatOf(o);
  // Read-only from the device: nothing is mounted or changed.
  Session session(TargetForName(o.disk, global, o.name));
  NameParts parts = ParseName(o.name);
  DiskSnapshot snap = TakeSnapshot(session);
  RawDisk raw(session.target().real, false);
  TfFileHeader header;
  if (!FindRecordFile(raw, snap, parts, &header))
    throw ToolError(fmt::format("no record file {} on {}", o.name, o.disk),
                    "'zrfs ls DISK' lists the record files.");
  uint64_t size = LogicalSize(header);
  ByteSource source = [&](uint64_t offset, void *buf, uint32_t len) {
    if (offset >= size) return 0;
    len = uint32_t(std::min<uint64_t>(len, size - offset));
    return ReadRecordBytes(raw, snap.head, parts.blk, header, offset, static_cast<uint8_t *>(buf),
                           len)
               ? int(len)
               : -1;
  };
  Report(o.disk, {ExportOne(source, size, o.name, out, format, o.force, o.disk)}, o.json);
  return kExitOk;
}

// Every recording of the channels whose span meets the window, one file
// each in outDir, named as in the FUSE view.
int ExportRange(const GlobalOptions &global, const ExportOptions &o) {
  std::string outDir = o.name;  // the one positional argument after DISK
  if (outDir.empty() || !o.out.empty())
    throw UsageError("an export by channel takes one folder after DISK",
                     "zrfs export DISK --channel N [--from TIME] [--to TIME] OUTDIR");
  ExportFormat format = FormatOf(o);
  Selection selection;
  selection.channels = o.channels;
  if (!o.from.empty()) selection.from = ParseTime(o.from, o.utc);
  if (!o.to.empty()) selection.to = ParseTime(o.to, o.utc);
  DiskTarget target = ResolveTarget(o.disk, global, -1);
  Catalog catalog(target.real, target.disk);
  if (mkdir(outDir.c_str(), 0755) != 0 && errno != EEXIST)
    throw ToolError(fmt::format("cannot make {}: {}", outDir, ErrnoText(errno)));
  std::vector<Exported> done;
  std::vector<Failed> failed;
  for (const Recording &r : catalog.All()) {
    if (!selection.Keeps(r)) continue;
    ThrowIfInterrupted();
    std::string leaf = ClockOf(r.createTime, o.utc) + "_" + r.name;
    if (format.name != "raw" && !leaf.ends_with("." + format.extension))
      leaf += "." + format.extension;
    ByteSource source = [&](uint64_t offset, void *buf, uint32_t len) {
      return catalog.Read(r.name, offset, buf, len);
    };
    // One recording that cannot be written (no video in it, say) leaves
    // the others to export; the run then ends with a failure.
    try {
      done.push_back(ExportOne(source, uint64_t(r.size), r.name, outDir + "/" + leaf, format,
                               o.force, o.disk));
    } catch (const UsageError &) {
      throw;
    } catch (const ToolError &error) {
      ThrowIfInterrupted();
      failed.push_back({r.name, error.what()});
    }
  }
  Report(o.disk, done, o.json, failed);
  if (done.empty() && failed.empty() && !o.json)
    fmt::print(stderr, "no recording meets the selection\n");
  return failed.empty() ? kExitOk : kExitFailure;
}

struct ImportOptions {
  std::string disk, file, ext;
  int64_t channel = -1, kind = 0, recType = 0, time = -1;
  bool json = false;
};

int Import(const GlobalOptions &global, const ImportOptions &o) {
  if (o.kind == kRingKind)
    throw UsageError("kind 1 files begin with a pre-record ring, which a plain file has not",
                     "Import with another kind (0 for plain recordings).");
  if (o.ext.size() >= sizeof FileCreateParam{}.extName)
    throw UsageError(fmt::format("extension '{}' is longer than {} characters", o.ext,
                                 sizeof FileCreateParam{}.extName - 1));
  int in = open(o.file.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) throw ToolError(fmt::format("cannot open {}: {}", o.file, ErrnoText(errno)));
  std::unique_ptr<int, void (*)(int *)> inCloser(&in, [](int *fd) { close(*fd); });
  struct stat st;
  if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode))
    throw ToolError(fmt::format("{} is not a regular file", o.file));
  auto size = uint64_t(st.st_size);

  Session session(ResolveTarget(o.disk, global, -1));
  session.Mount();
  DiskSnapshot snap = TakeSnapshot(session);
  // A record file lives in one block, after the block's header area.
  uint64_t room = snap.head.unitSize - 2ull * kHeaderAreaSize;
  if (size > room)
    throw ToolError(
        fmt::format("{} has {} bytes; a record file holds at most {}", o.file, size, room));

  FileCreateParam param{};
  param.ichan = uint32_t(o.channel);
  param.createTime = int32_t(o.time >= 0 ? o.time : int64_t(::time(nullptr)));
  param.kind = uint32_t(o.kind);
  param.recType = int32_t(o.recType);
  snprintf(param.diskPath, sizeof param.diskPath, "%s", session.path());
  snprintf(param.extName, sizeof param.extName, "%s", o.ext.c_str());
  char name[ZRFS_NAME_MAX + 8] = {};
  TfHandle *h = tf_OpenFile(&param, name);
  if (h == nullptr)
    throw ToolError(WithLibraryReason(fmt::format("cannot create a record file on {}", o.disk)),
                    "'zrfs df DISK' shows its space.");
  bool removed = false;
  auto fail = [&](const std::string &what) {
    removed = true;
    tf_CloseFile(h);
    tf_Unlink(name);
    return ToolError(what, "The partly written record file was removed.");
  };
  std::vector<uint8_t> buffer(kChunk);
  Progress progress("import", size);
  uint64_t done = 0;
  try {
    while (done < size) {
      ThrowIfInterrupted();
      ssize_t n = read(in, buffer.data(), std::min<uint64_t>(kChunk, size - done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw fail(fmt::format("cannot read {}: {}", o.file, ErrnoText(errno)));
      if (tf_Write(uint32_t(done), buffer.data(), uint32_t(n), h) != n)
        throw fail(fmt::format("writing {} failed at byte {}{}", name, done,
                               tf_GetErrorNo(h) == 28  ? ": the block is full"
                               : tf_GetErrorNo(h) == 5 ? ": input/output error"
                                                       : ""));
      done += uint64_t(n);
      progress.Update(done);
    }
  } catch (const ToolError &e) {
    progress.Finish();
    if (!removed) throw fail(e.what());
    throw;
  } catch (...) {
    progress.Finish();
    throw fail(fmt::format("import of {} interrupted", o.file));
  }
  progress.Finish();
  if (tf_SyncFile(h) != 0) throw fail(fmt::format("cannot write the header of {}", name));
  tf_CloseFile(h);
  if (o.json)
    PrintJson({{"disk", o.disk}, {"name", name}, {"size", size}});
  else
    PrintText(std::string(name) + "\n");
  return kExitOk;
}

}  // namespace

void AddTransferCommands(CLI::App &app, CommandContext &ctx) {
  {
    auto o = std::make_shared<ExportOptions>();
    CLI::App *sub = app.add_subcommand(
        "export",
        "Copy a record file (ring part first), or a channel's recordings in a time window, "
        "raw or as MP4 or MPEG-TS");
    AddDiskArgument(sub, o->disk);
    sub->add_option("NAME", o->name, "Record-file name (with --channel: the output folder)");
    sub->add_option("OUT", o->out, "Output file; '-' or none for standard output");
    sub->add_option("--channel", o->channels, "Export every recording of this channel (repeatable)")
        ->allow_extra_args(false)
        ->check(CLI::Range(0u, 1023u));
    sub->add_option("--from", o->from, "With --channel: recordings that end at or after TIME");
    sub->add_option("--to", o->to, "With --channel: recordings that begin at or before TIME");
    sub->add_flag("--utc", o->utc, "TIME and the file names' times are UTC, not local time");
    sub->add_option("--format", o->format, "raw (the bytes as recorded), mp4 or ts")
        ->check(CLI::IsMember({"raw", "mp4", "ts"}));
    sub->add_option("--fps", o->fps, "Frame rate when the stream does not tell its own")
        ->check(CLI::Range(0.001, 1000.0));
    sub->add_flag("--force", o->force, "Replace existing output files");
    sub->add_flag("--json", o->json,
                  "Print what was written as JSON (bytes and CRC-32 of raw files)");
    OnRun(sub, ctx, [o, &ctx] {
      if (o->channels.empty() && (!o->from.empty() || !o->to.empty()))
        throw UsageError("--from and --to choose recordings of a --channel");
      if (!o->channels.empty()) return ExportRange(ctx.global, *o);
      if (o->name.empty()) throw UsageError("export needs a record-file name or --channel");
      return Export(ctx.global, *o);
    });
  }
  {
    auto o = std::make_shared<ImportOptions>();
    CLI::App *sub = app.add_subcommand(
        "import", "Record a regular file as a new record file and print its name");
    AddDiskArgument(sub, o->disk);
    sub->add_option("FILE", o->file, "File to record")->required();
    sub->add_option("--channel", o->channel, "Channel, 0..1023")
        ->required()
        ->check(CLI::Range(int64_t(0), int64_t(1023)));
    sub->add_option("--kind", o->kind, "Data type; decides the block type (default 0)")
        ->check(CLI::Range(int64_t(0), int64_t(UINT32_MAX)));
    sub->add_option("--ext", o->ext, "Extension of the new name");
    sub->add_option("--rec-type", o->recType, "Record type (default 0)")
        ->check(CLI::Range(int64_t(INT32_MIN), int64_t(INT32_MAX)));
    sub->add_option("--time", o->time, "Creation time, seconds since the epoch (default now)")
        ->check(CLI::Range(int64_t(0), int64_t(INT32_MAX)));
    sub->add_flag("--json", o->json, "Print JSON");
    OnRun(sub, ctx, [o, &ctx] { return Import(ctx.global, *o); });
  }
}

}  // namespace zrfs::tool
