#include "time_window.h"

#include <ctime>

#include <algorithm>

#include <fmt/format.h>

#include "errors.h"

namespace zrfs::tool {
namespace {

struct tm Parts(int64_t seconds, bool utc) {
  time_t t = static_cast<time_t>(seconds);
  struct tm parts {};
  if (utc) {
    gmtime_r(&t, &parts);
  } else {
    localtime_r(&t, &parts);
  }
  return parts;
}

}  // namespace

int64_t ParseTime(const std::string &text, bool utc) {
  struct tm parts {};
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, used = -1;
  const char *c = text.c_str();
  auto whole = [&](int fields, int wanted) {
    return fields == wanted && size_t(used) == text.size();
  };
  bool shape = whole(
      sscanf(c, "%4d-%2d-%2d %2d:%2d:%2d%n", &year, &month, &day, &hour, &minute, &second, &used),
      6);
  if (!shape) {
    second = 0;
    used = -1;
    shape =
        whole(sscanf(c, "%4d-%2d-%2d %2d:%2d%n", &year, &month, &day, &hour, &minute, &used), 5);
  }
  auto refuse = [&] {
    return UsageError(fmt::format("'{}' is no time", text),
                      "Times are written YYYY-MM-DD HH:MM[:SS], as in \"2026-12-06 14:05\".");
  };
  if (!shape || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
      second > 60 || hour < 0 || minute < 0 || second < 0)
    throw refuse();
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  parts.tm_isdst = -1;  // local time: the zone's rule for that day
  time_t t = utc ? timegm(&parts) : mktime(&parts);
  // A day the month does not have (2026-02-31) comes back as another one.
  if (parts.tm_mday != day || parts.tm_mon != month - 1) throw refuse();
  return static_cast<int64_t>(t);
}

std::string DayOf(int64_t seconds, bool utc) {
  struct tm parts = Parts(seconds, utc);
  char text[16];
  strftime(text, sizeof text, "%Y-%m-%d", &parts);
  return text;
}

std::string ClockOf(int64_t seconds, bool utc) {
  struct tm parts = Parts(seconds, utc);
  char text[16];
  strftime(text, sizeof text, "%H-%M-%S", &parts);
  return text;
}

bool Selection::Keeps(const Recording &r) const {
  if (!channels.empty() && std::find(channels.begin(), channels.end(), r.channel) == channels.end())
    return false;
  if (blockType && r.blockType != *blockType) return false;
  // The span [creation, last modification] meets [from, to].
  if (from && r.SpanEnd() < *from) return false;
  if (to && r.createTime > *to) return false;
  return true;
}

}  // namespace zrfs::tool
