// Times on the command line ("YYYY-MM-DD HH:MM[:SS]", local time unless
// UTC is asked for) and the window a listing or an export keeps.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "catalog.h"

namespace zrfs::tool {

// Seconds since the epoch of text; throws UsageError when it is no time.
int64_t ParseTime(const std::string &text, bool utc);

// "2026-12-06" and "14-05-00" of a time, for folder and file names.
std::string DayOf(int64_t seconds, bool utc);
std::string ClockOf(int64_t seconds, bool utc);

// Which recordings a command keeps: channels (none: all), a block type, and
// a window that a recording's span (creation to last modification) meets.
struct Selection {
  std::vector<uint32_t> channels;
  std::optional<uint32_t> blockType;
  std::optional<int64_t> from, to;  // --at sets both

  bool Keeps(const Recording &r) const;
};

}  // namespace zrfs::tool
