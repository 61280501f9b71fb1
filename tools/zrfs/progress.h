// A one-line progress bar with rate and time left, on stderr and only when
// stderr is a terminal, so scripts and logs never see it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace zrfs::tool {

class Progress {
 public:
  // total: bytes (or items) expected; unit "B" shows rates as bytes.
  Progress(std::string label, uint64_t total, std::string unit = "B");
  ~Progress() { Finish(); }
  Progress(const Progress &) = delete;
  Progress &operator=(const Progress &) = delete;

  void Update(uint64_t done);
  void SetTotal(uint64_t total) { total_ = total; }
  // Clears the line.  Called by the destructor too.
  void Finish();
  bool shown() const { return enabled_; }

 private:
  std::string label_;
  uint64_t total_;
  std::string unit_;
  bool enabled_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDraw_;
};

}  // namespace zrfs::tool
