// Disk numbers in device paths and names, and block types of data kinds.
#pragma once

#include <cstdint>

namespace zrfs {

// The number after "/dev/scsi/host" in path, or -1 without one.
int DiskNumberOfPath(const char *path);
// A disk's character in a record name ('0'..'9', 'a'..'z') as a number;
// 0 for anything else.
int DiskNumberOfLetter(int c);
// The character of disk n in a record name; '?' above 24.
int DiskLetter(uint32_t n);
// The block type a data kind is stored in.
uint32_t BlockTypeOf(uint32_t dataType);

}  // namespace zrfs
