// Parsing the numbers and sizes users type: decimal or 0x hexadecimal, with
// an optional binary suffix (K, M, G, T; "KiB" and "KB" read the same).
#pragma once

#include <cstdint>
#include <string>

namespace zrfs::tool {

// A byte count such as "5G", "0x41100000" or "4096".  Throws UsageError
// naming `what` when the text is not such a number.
uint64_t ParseSize(const std::string &text, const std::string &what);

// A plain integer in [min, max] (decimal or 0x hexadecimal).
int64_t ParseInteger(const std::string &text, const std::string &what, int64_t min, int64_t max);

// "1.5 GiB", "512 B": a byte count for people.
std::string HumanBytes(uint64_t bytes);

// The CRC-32 of zlib and PNG (reflected 0xEDB88320), continued from crc
// (0 to start).
uint32_t Crc32(uint32_t crc, const void *bytes, size_t len);

}  // namespace zrfs::tool
