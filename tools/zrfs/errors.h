// Errors the subcommands raise.  main() turns them into a message on stderr
// and an exit status: a ToolError is a failure (1; 8 for check), a
// UsageError a mistake in the command line (16).  Both carry a hint that
// tells the user what to do.
#pragma once

#include <cstring>
#include <stdexcept>
#include <string>

#include "zrfs.h"

namespace zrfs::tool {

// Exit statuses.  Every command: 0 done, 1 failed, 16 a usage error.
// check reports in bits the way file-system checkers do, so scripts can
// test them: 1 problems were corrected, 4 problems are left, 8 the check
// itself could not run (no such image, disk in use, interrupted); 16 is the
// same usage error as everywhere.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 16;
inline constexpr int kCheckCorrected = 1;
inline constexpr int kCheckUncorrected = 4;
inline constexpr int kCheckOperational = 8;

class ToolError : public std::runtime_error {
 public:
  explicit ToolError(const std::string &what, std::string hint = {})
      : std::runtime_error(what), hint_(std::move(hint)) {}
  const std::string &hint() const { return hint_; }

 private:
  std::string hint_;
};

class UsageError : public ToolError {
 public:
  using ToolError::ToolError;
};

// errno's text, for messages about system calls.
inline std::string ErrnoText(int err) {
  return strerror(err);
}

// what, followed by the reason the library's last call left, if any.
inline std::string WithLibraryReason(const std::string &what) {
  int why = zrfs_LastError();
  return why == ZRFS_OK ? what : what + ": " + zrfs_StrError(why);
}

}  // namespace zrfs::tool
