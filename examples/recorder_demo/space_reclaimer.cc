#include "space_reclaimer.h"

#include <algorithm>

#include "disk_listing.h"
#include "recording_tag.h"
#include "run_context.h"

namespace demo {
namespace {

// Newest first: the later stream position, or the later creation time for
// recordings that carry no tag.
bool Newer(const TfFileStat &a, const TfFileStat &b) {
  RecordingTag ta, tb;
  if (ReadTag(a, &ta) && ReadTag(b, &tb) && ta.stream == tb.stream) return ta.start > tb.start;
  return a.createTime > b.createTime;
}

}  // namespace

bool ReclaimOldestBlock(SharedState *state) {
  for (const DfBlockInfo &block : ListBlocks(kDiskPath)) {
    std::vector<TfFileStat> files = ListRecordings(kDiskPath, int(block.blkid));
    if (files.empty()) continue;
    bool locked = std::any_of(files.begin(), files.end(),
                              [](const TfFileStat &st) { return st.lockFlag != 0; });
    if (locked) continue;
    std::sort(files.begin(), files.end(), Newer);
    // The library refuses to delete an open recording: if the newest one is
    // still open, the block is in use and is skipped as a whole.
    if (zrfs_Unlink(files[0].filename) != 0) continue;
    size_t deleted = 1;
    for (size_t i = 1; i < files.size(); ++i)
      if (zrfs_Unlink(files[i].filename) == 0) ++deleted;
    state->filesDeleted.fetch_add(deleted);
    // With its last recording gone the library returns the block to the
    // disk; one still open elsewhere (a player) keeps it.
    if (deleted == files.size()) {
      state->blocksFreed.fetch_add(1);
      return true;
    }
  }
  return false;
}

}  // namespace demo
