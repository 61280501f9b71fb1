// A disk image under a fresh root, formatted and mounted, for the tests of
// the block, record and descriptor layers; and what their multi-process
// tests share.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <string>
#include <type_traits>

#include <gtest/gtest.h>

#include "block/block_file.h"
#include "disk/layout.h"
#include "record/record_file.h"
#include "support/recording_param.h"
#include "support/test_root.h"
#include "zrfs.h"
#include "zrfs/df.h"
#include "zrfs/fsc.h"

namespace zrfs::test {

inline constexpr uint64_t kUnit = kFormatUnitSize;
inline constexpr uint64_t kDataStart = kFormatDataStart;
inline constexpr uint64_t BlockAddress(int blk) {
  return kDataStart + uint64_t(blk) * kUnit;
}

// Disk 3 of the root, sized to format to `blocks` blocks.
inline std::string MakeDisk(const TestRoot &root, int blocks) {
  return root.MakeImage(TestRoot::DevicePath(3), kDataStart + (blocks + 1ull) * kUnit);
}

// How far up a test starts the library: the block files, the record files
// (which start the block files), or the public interface.
enum class Layer { kBlock, kRecord, kApi };

// Starts the library in this process (often a forked child) and mounts the
// disk, formatting it first when asked.
inline void StartAndMount(Layer layer, const std::string &dev, bool format) {
  if (layer == Layer::kBlock) {
    ASSERT_EQ(fsc_ShareInit(), 0);
    ASSERT_EQ(bf_Init(), 0);
  }
  if (layer == Layer::kRecord) ASSERT_EQ(tf_Init(), 0);
  if (layer == Layer::kApi) ASSERT_EQ(zrfs_Init(), 0);
  if (format) ASSERT_EQ(df_DiskFormat(dev.c_str()), 0);
  ASSERT_EQ(df_DiskMount(dev.c_str()), 0);
}

inline FileCreateParam Param(const std::string &dev, uint32_t chan, uint32_t kind = 0,
                             int32_t preRecSize = 0, const char *ext = "mp4") {
  return RecordingParam(dev, chan, kind, preRecSize, ext, 7);
}

// Byte i of a recording made by writer w.
inline char PatternByte(int w, uint64_t i) {
  return char((i * 131 + uint64_t(w) * 7 + i / 977) & 0xFF);
}
inline std::string PatternBytes(int w, size_t len) {
  std::string s(len, '\0');
  for (size_t i = 0; i < len; ++i) s[i] = PatternByte(w, i);
  return s;
}

// A T in a shared anonymous mapping, for the processes forked by one test.
template <typename T>
class SharedMapping {
 public:
  SharedMapping()
      : value_(static_cast<T *>(
            mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0))) {
    if constexpr (!std::is_array_v<T>) new (value_) T();  // arrays: the zeroed pages
  }
  ~SharedMapping() { munmap(value_, sizeof(T)); }
  SharedMapping(const SharedMapping &) = delete;
  SharedMapping &operator=(const SharedMapping &) = delete;
  T *operator->() const { return value_; }
  T &operator*() const { return *value_; }

 private:
  T *value_;
};

template <Layer kLayer>
class MountedImage : public ::testing::Test {
 protected:
  void SetUp() override {
    dev_ = MakeDisk(root_, 4);
    StartAndMount(kLayer, dev_, true);
  }
  void TearDown() override {
    if (kLayer == Layer::kApi) zrfs_DeInit();
  }
  FileCreateParam Param(uint32_t chan, uint32_t kind = 0, int32_t preRecSize = 0,
                        const char *ext = "mp4") {
    return test::Param(dev_, chan, kind, preRecSize, ext);
  }
  // A new record file of chan through the public interface: its descriptor
  // (or -1), and its name in *name.
  int CreateRecording(uint32_t chan, std::string *name = nullptr, int flags = 2, uint32_t kind = 0,
                      int32_t preRecSize = 0) {
    FileCreateParam p = Param(chan, kind, preRecSize);
    char buf[ZRFS_NAME_MAX] = {};
    int fd = zrfs_Open(&p, buf, flags);
    if (name != nullptr) *name = buf;
    return fd;
  }
  // A new record file through the block layer: its handle, its name in *name.
  BfHandle *CreateBlockFile(const FileCreateParam &p, TfFileHeader *header,
                            std::string *name = nullptr) {
    char buf[ZRFS_NAME_MAX] = {};
    BfHandle *h = bf_CreateFile(&p, buf, header);
    if (name != nullptr) *name = buf;
    return h;
  }
  static int OpenBlockHandles() {
    int open = 0;
    for (BfHandle *h : g_stBlkFileTable) open += h != nullptr;
    return open;
  }

  // The image's bytes, read and written past the library.
  std::string ReadImage(uint64_t offset, size_t len) {
    std::string out(len, '\0');
    int fd = open(root_.Real(dev_).c_str(), O_RDONLY);
    ssize_t got = pread(fd, out.data(), len, off_t(offset));
    close(fd);
    out.resize(got > 0 ? size_t(got) : 0);
    return out;
  }
  void WriteImage(uint64_t offset, const void *bytes, size_t len) {
    int fd = open(root_.Real(dev_).c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd, bytes, len, off_t(offset)), ssize_t(len));
    close(fd);
  }
  template <typename T>
  T ReadRecord(uint64_t offset) {
    T value{};
    std::string raw = ReadImage(offset, sizeof value);
    memcpy(&value, raw.data(), raw.size());
    return value;
  }
  BlkHeader DiskBlockHeader(int blk) { return ReadRecord<BlkHeader>(BlockAddress(blk)); }
  TfFileHeader DiskFileHeader(int blk, uint32_t fileNo) {
    return ReadRecord<TfFileHeader>(BlockAddress(blk) + fileNo * 512ull);
  }
  uint8_t MapByte(int blk) { return uint8_t(ReadImage(0x8E0000 + blk, 1)[0]); }

  TestRoot root_;
  std::string dev_;
};

}  // namespace zrfs::test
