// Errors the subcommands raise.  main() turns them into a message on stderr
// and an exit status: a ToolError is a failure (1), a UsageError a mistake in
// the command line (2).  Both carry a hint that tells the user what to do.
#pragma once

#include <cstring>
#include <stdexcept>
#include <string>

namespace zrfs::tool {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

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

}  // namespace zrfs::tool
