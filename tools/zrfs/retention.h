// The retention mode and channel quotas the processes that have a disk
// mounted share, as df and ls show them.  The library keeps them only while
// a live process has the disk mounted; otherwise what is shown is the
// defaults the next mount starts from.
#pragma once

#include <cstdint>
#include <string>

#include "output.h"
#include "session.h"
#include "zrfs.h"

namespace zrfs::tool {

struct RetentionView {
  ZrfsRetention policy{};
  // Read from running processes that have the disk mounted; false: the
  // defaults (nobody has it mounted, or the target is in a private root,
  // whose key directory no recorder shares).
  bool shared = false;
  bool privateRoot = false;
  // False when the processes' settings could not be read (another user's
  // segment, say); policy then holds nothing.
  bool known = true;
};

// Never fails: settings that cannot be read are shown as unknown, since df
// and ls read their other figures from the device and still work.
RetentionView ReadRetention(const DiskTarget &target);

// The quota of a channel in blocks; 0 for none.
inline uint32_t QuotaOf(const RetentionView &view, uint32_t chan) {
  return view.known && chan < uint32_t(ZRFS_CHANNELS) ? view.policy.quota[chan] : 0;
}

// {"mode", "quotas": [{"channel", "blocks"}...], "shared_by_running_processes"};
// mode and quotas are null when unknown.
Json RetentionJson(const RetentionView &view);

// "retention: ...\nquotas: ...\n", and a line saying when these are the
// defaults rather than settings in force.
std::string RetentionText(const RetentionView &view);

}  // namespace zrfs::tool
