#include "output.h"

#include <cstdio>
#include <ctime>

#include <fmt/format.h>

#include "errors.h"

namespace zrfs::tool {

std::string Table::Render() const {
  std::vector<size_t> width(columns_.size());
  for (size_t c = 0; c < columns_.size(); ++c) width[c] = columns_[c].title.size();
  for (const auto &row : rows_)
    for (size_t c = 0; c < row.size() && c < width.size(); ++c)
      width[c] = std::max(width[c], row[c].size());
  std::string out;
  auto emit = [&](const std::vector<std::string> &cells) {
    std::string line;
    for (size_t c = 0; c < columns_.size(); ++c) {
      const std::string cell = c < cells.size() ? cells[c] : std::string();
      bool last = c + 1 == columns_.size();
      if (c != 0) line += "  ";
      if (columns_[c].right)
        line += fmt::format("{:>{}}", cell, width[c]);
      else
        line += last ? cell : fmt::format("{:<{}}", cell, width[c]);
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line + "\n";
  };
  std::vector<std::string> titles;
  for (const auto &column : columns_) titles.push_back(column.title);
  emit(titles);
  for (const auto &row : rows_) emit(row);
  return out;
}

std::string FormatTime(int64_t seconds, bool utc) {
  if (seconds == 0) return "-";
  time_t t = static_cast<time_t>(seconds);
  struct tm parts;
  if ((utc ? gmtime_r(&t, &parts) : localtime_r(&t, &parts)) == nullptr)
    return std::to_string(seconds);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

Json JsonTime(int64_t seconds) {
  if (seconds == 0) return nullptr;
  time_t t = static_cast<time_t>(seconds);
  struct tm parts;
  if (gmtime_r(&t, &parts) == nullptr) return seconds;
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::string Hex(uint64_t value) {
  return fmt::format("{:#x}", value);
}

void PrintText(const std::string &text) {
  if (fwrite(text.data(), 1, text.size(), stdout) != text.size() || fflush(stdout) != 0)
    throw ToolError("cannot write to standard output: " + ErrnoText(errno));
}

void PrintJson(const Json &doc) {
  PrintText(doc.dump(2) + "\n");
}

}  // namespace zrfs::tool
