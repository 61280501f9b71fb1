#include "spread.h"

#include <algorithm>
#include <cstdio>

namespace bench {

Spread SpreadOf(std::vector<double> values) {
  Spread s;
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  s.empty = false;
  s.median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  s.min = values.front();
  s.max = values.back();
  return s;
}

std::string FormatNumber(const char *format, double value) {
  char text[64];
  snprintf(text, sizeof text, format, value);
  return text;
}

std::string FormatSpread(const Spread &s, const char *format) {
  if (s.empty) return "n/a";
  std::string median = FormatNumber(format, s.median), min = FormatNumber(format, s.min),
              max = FormatNumber(format, s.max);
  if (min == max) return median;
  return median + " (" + min + "-" + max + ")";
}

std::string SizeText(uint32_t bytes) {
  return bytes >= (1u << 20) ? std::to_string(bytes >> 20) + " MiB"
                             : std::to_string(bytes >> 10) + " KiB";
}

}  // namespace bench
