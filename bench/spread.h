// The median of a case's repetitions with their range, and its text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct Spread {
  bool empty = true;
  double median = 0, min = 0, max = 0;
};

Spread SpreadOf(std::vector<double> values);

// "12 (10-15)", each number printed with format; "n/a" for no values, and
// the median alone when every repetition gave the same.
std::string FormatSpread(const Spread &s, const char *format);

// One number printed with format.
std::string FormatNumber(const char *format, double value);

// "64 KiB", "1 MiB".
std::string SizeText(uint32_t bytes);

}  // namespace bench
