// What is on the disk, as the block statistics calls tell it.
#pragma once

#include <vector>

#include "zrfs.h"

namespace demo {

// The used blocks of the disk, oldest first (by the creation time of their
// first recording, then by block number).  Empty when the disk cannot be
// listed.
std::vector<DfBlockInfo> ListBlocks(const char *disk);

// Status records of the recordings in one block.
std::vector<TfFileStat> ListRecordings(const char *disk, int block);

}  // namespace demo
