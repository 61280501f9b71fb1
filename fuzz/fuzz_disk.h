// A private root directory with one disk image for a fuzz target: made once
// per process, its System V objects removed again when the process ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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

}  // namespace zrfs::fuzz
