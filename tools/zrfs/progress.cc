#include "progress.h"

#include <unistd.h>

#include <cstdio>

#include <fmt/format.h>

#include "numbers.h"

namespace zrfs::tool {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);
constexpr int kBarWidth = 30;

std::string Amount(uint64_t value, const std::string &unit) {
  return unit == "B" ? HumanBytes(value) : fmt::format("{} {}", value, unit);
}

std::string Duration(double seconds) {
  auto s = static_cast<uint64_t>(seconds + 0.5);
  if (s >= 3600) return fmt::format("{}:{:02}:{:02}", s / 3600, s / 60 % 60, s % 60);
  return fmt::format("{}:{:02}", s / 60, s % 60);
}

}  // namespace

Progress::Progress(std::string label, uint64_t total, std::string unit)
    : label_(std::move(label)),
      total_(total),
      unit_(std::move(unit)),
      enabled_(isatty(STDERR_FILENO) == 1),
      start_(Clock::now()),
      lastDraw_(start_ - kRedrawEvery) {}

void Progress::Update(uint64_t done) {
  if (!enabled_) return;
  auto now = Clock::now();
  if (now - lastDraw_ < kRedrawEvery && done < total_) return;
  lastDraw_ = now;
  double elapsed = std::chrono::duration<double>(now - start_).count();
  double fraction = total_ == 0 ? 1.0 : std::min(1.0, double(done) / double(total_));
  int filled = static_cast<int>(fraction * kBarWidth);
  double rate = elapsed > 0 ? double(done) / elapsed : 0;
  std::string left = rate > 0 && done < total_ ? Duration(double(total_ - done) / rate) : "-";
  std::string line =
      fmt::format("\r{} [{}{}] {:3.0f}% {}/s, {} left", label_, std::string(size_t(filled), '#'),
                  std::string(size_t(kBarWidth - filled), '.'), fraction * 100,
                  Amount(static_cast<uint64_t>(rate), unit_), left);
  fprintf(stderr, "%s\033[K", line.c_str());
  fflush(stderr);
  drawn_ = true;
}

void Progress::Finish() {
  if (!drawn_) return;
  fprintf(stderr, "\r\033[K");
  fflush(stderr);
  drawn_ = false;
}

}  // namespace zrfs::tool
