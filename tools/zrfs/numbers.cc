#include "numbers.h"

#include <array>

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include <fmt/format.h>

#include "errors.h"

namespace zrfs::tool {
namespace {

bool ParseUnsigned(const std::string &digits, uint64_t *out) {
  if (digits.empty()) return false;
  int base = 10;
  size_t start = 0;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    start = 2;
  }
  for (size_t i = start; i < digits.size(); ++i)
    if (!(base == 16 ? isxdigit(static_cast<unsigned char>(digits[i]))
                     : isdigit(static_cast<unsigned char>(digits[i]))))
      return false;
  errno = 0;
  char *end = nullptr;
  unsigned long long value = strtoull(digits.c_str() + start, &end, base);
  if (errno != 0 || *end != '\0') return false;
  *out = value;
  return true;
}

}  // namespace

uint64_t ParseSize(const std::string &text, const std::string &what) {
  std::string digits = text;
  uint64_t factor = 1;
  // Strip "iB"/"B" and read the letter before it as the multiplier.
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  if (!hex) {
    std::string upper;
    for (char c : text) upper += static_cast<char>(toupper(static_cast<unsigned char>(c)));
    for (const char *suffix : {"IB", "B"}) {
      std::string s = suffix;
      if (upper.size() > s.size() && upper.compare(upper.size() - s.size(), s.size(), s) == 0) {
        upper.resize(upper.size() - s.size());
        break;
      }
    }
    if (!upper.empty()) {
      int shift = 0;
      switch (upper.back()) {
        case 'K':
          shift = 10;
          break;
        case 'M':
          shift = 20;
          break;
        case 'G':
          shift = 30;
          break;
        case 'T':
          shift = 40;
          break;
        default:
          break;
      }
      if (shift != 0) {
        upper.pop_back();
        factor = uint64_t{1} << shift;
      }
    }
    digits = upper;
  }
  uint64_t value = 0;
  if (!ParseUnsigned(digits, &value) || (value != 0 && value > UINT64_MAX / factor))
    throw UsageError(fmt::format("{} '{}' is not a size", what, text),
                     "Give bytes as a number, 0x hexadecimal, or with K, M, G or T (powers of "
                     "1024), e.g. 5G.");
  return value * factor;
}

int64_t ParseInteger(const std::string &text, const std::string &what, int64_t min, int64_t max) {
  bool negative = !text.empty() && text[0] == '-';
  uint64_t magnitude = 0;
  if (!ParseUnsigned(negative ? text.substr(1) : text, &magnitude) ||
      magnitude > (negative ? uint64_t(INT64_MAX) + 1 : uint64_t(INT64_MAX)))
    throw UsageError(fmt::format("{} '{}' is not a number", what, text));
  int64_t value = negative ? int64_t(0 - magnitude) : int64_t(magnitude);
  if (value < min || value > max)
    throw UsageError(fmt::format("{} {} is out of range", what, text),
                     fmt::format("Give a value from {} to {}.", min, max));
  return value;
}

std::string HumanBytes(uint64_t bytes) {
  static const char *const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
  if (bytes < 1024) return fmt::format("{} B", bytes);
  double value = double(bytes);
  int unit = 0;
  while (value >= 1024 && unit < 5) {
    value /= 1024;
    ++unit;
  }
  return fmt::format("{:.1f} {}", value, kUnits[unit]);
}

uint32_t Crc32(uint32_t crc, const void *bytes, size_t len) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  const auto *p = static_cast<const uint8_t *>(bytes);
  crc = ~crc;
  for (size_t i = 0; i < len; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

}  // namespace zrfs::tool
