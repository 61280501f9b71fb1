// export and import: a record file's logical bytes to a plain file, and a
// plain file recorded as a new record file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <memory>

#include <fmt/format.h>

#include "commands.h"
#include "disk_view.h"
#include "errors.h"
#include "numbers.h"
#include "output.h"
#include "progress.h"
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

int Export(const GlobalOptions &global, const std::string &diskArg, const std::string &name,
           const std::string &out, bool force) {
  bool toStdout = out.empty() || out == "-";
  if (toStdout && isatty(STDOUT_FILENO) == 1)
    throw UsageError("will not write a recording to a terminal",
                     "Give an output file, or redirect standard output.");
  // Read-only from the device: nothing is mounted or changed.
  Session session(TargetForName(diskArg, global, name));
  NameParts parts = ParseName(name);
  DiskSnapshot snap = TakeSnapshot(session);
  RawDisk raw(session.target().real, false);
  TfFileHeader header;
  if (!FindRecordFile(raw, snap, parts, &header))
    throw ToolError(fmt::format("no record file {} on {}", name, diskArg),
                    "'zrfs ls DISK' lists the record files.");
  uint64_t size = LogicalSize(header);

  int fd = STDOUT_FILENO;
  std::string outName = toStdout ? "standard output" : out;
  if (!toStdout) {
    fd = open(out.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (force ? O_TRUNC : O_EXCL), 0644);
    if (fd < 0)
      throw ToolError(fmt::format("cannot create {}: {}", out, ErrnoText(errno)),
                      errno == EEXIST ? "Give --force to replace it." : "");
  }
  std::vector<uint8_t> buffer(kChunk);
  Progress progress("export", size);
  uint64_t done = 0;
  try {
    while (done < size) {
      ThrowIfInterrupted();
      auto want = uint32_t(std::min<uint64_t>(kChunk, size - done));
      if (!ReadRecordBytes(raw, snap.head, parts.blk, header, done, buffer.data(), want))
        throw ToolError(
            fmt::format("reading {} failed at byte {} of {}: input/output error", name, done, size),
            fmt::format("Run 'zrfs check {}'.", diskArg));
      WriteAll(fd, buffer.data(), size_t(want), outName);
      done += uint64_t(want);
      progress.Update(done);
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
  if (!toStdout) fmt::print(stderr, "exported {} bytes of {} to {}\n", done, name, out);
  return kExitOk;
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
    throw ToolError(fmt::format("cannot create a record file on {}", o.disk),
                    "The disk may be full; 'zrfs df DISK' shows its space.");
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
    struct Opts {
      std::string disk, name, out;
      bool force = false;
    };
    auto o = std::make_shared<Opts>();
    CLI::App *sub = app.add_subcommand(
        "export", "Copy a record file's bytes (ring part first) to a file or standard output");
    AddDiskArgument(sub, o->disk);
    sub->add_option("NAME", o->name, "Record-file name")->required();
    sub->add_option("OUT", o->out, "Output file; '-' or none for standard output");
    sub->add_flag("--force", o->force, "Replace an existing output file");
    OnRun(sub, ctx, [o, &ctx] { return Export(ctx.global, o->disk, o->name, o->out, o->force); });
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
