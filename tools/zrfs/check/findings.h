// What the checker reports: one finding per problem, with where it is, how
// bad it is, and what a repair does about it (nothing when it cannot be
// mended without guessing or losing recordings).  Each finding carries a
// short kebab-case code naming its kind of problem, the same whatever the
// message says, so scripts and tests can tell findings apart without
// parsing the text.
#pragma once

#include <string>

namespace zrfs::tool {

enum class Severity {
  kNote,     // worth knowing, not a problem
  kWarning,  // harmless for recordings, but the layout is not as it should be
  kError,    // the layout contradicts itself; the library may misbehave
};

struct Finding {
  Severity severity;
  const char *code;      // "map-copies-differ", "used-block-without-files", ...
  std::string location;  // "copy 1 header", "block 3", "block 3 file 2", ...
  std::string message;
  std::string repair;  // what --repair does; empty when it leaves it
};

inline const char *SeverityName(Severity s) {
  switch (s) {
    case Severity::kNote:
      return "note";
    case Severity::kWarning:
      return "warning";
    case Severity::kError:
      return "error";
  }
  return "?";
}

}  // namespace zrfs::tool
