// A private root directory with one disk image for a fuzz target: made once
// per process, its System V objects removed again when the process ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "zrfs.h"

namespace zrfs::fuzz {

inline constexpr int kDisk = 3;
inline constexpr uint64_t kUnit = 0x40000000;
inline constexpr uint64_t kDataStart = 0x41100000;
inline constexpr uint64_t kImageBytes = kDataStart + 5 * kUnit;

// Makes the root, points the library at it and starts the library (once).
// Returns the logical device path of the disk.
const std::string &StartLibrary();

// The image file's real path.
std::string ImageFile();

// Truncates the image to an empty disk of kImageBytes.
void EmptyImage();

// Writes bytes at a device offset of the image.
void Poke(uint64_t offset, const void *bytes, size_t len);

// Fills a creation record for channel chan on the disk.
FileCreateParam MakeParam(uint32_t chan, uint32_t kind, int32_t preRecSize);

// The image blocks the empty disk has after a format.
inline constexpr int kImageBlocks = 4;

// Where the disk checker's fuzz input goes, in input order: both metadata
// headers, the first map bytes of every place, the first entries of the
// current-block and block-count pages of types 0..3, and the block header
// with the first record-file headers of every block.
struct Region {
  uint64_t offset;
  size_t len;
};
std::vector<Region> CheckedRegions();

}  // namespace zrfs::fuzz
