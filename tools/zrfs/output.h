// How listings reach the user: an aligned text table for people, JSON for
// scripts, and the few value formats both share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace zrfs::tool {

using Json = nlohmann::ordered_json;

// Columns separated by two spaces, each as wide as its widest cell.
// Right-aligned columns suit numbers.
class Table {
 public:
  struct Column {
    std::string title;
    bool right = false;
  };
  explicit Table(std::vector<Column> columns) : columns_(std::move(columns)) {}
  void AddRow(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }
  bool empty() const { return rows_.empty(); }
  std::string Render() const;

 private:
  std::vector<Column> columns_;
  std::vector<std::vector<std::string>> rows_;
};

// Seconds since the epoch as "YYYY-MM-DD HH:MM:SS" in local time (UTC when
// utc); "-" for 0.
std::string FormatTime(int64_t seconds, bool utc = false);
// The same moment for JSON: ISO 8601 in UTC ("1970-01-01T00:00:00Z"), or
// null for 0.
Json JsonTime(int64_t seconds);

// 0x-prefixed hexadecimal.
std::string Hex(uint64_t value);

// Writes text to stdout, or the JSON document (indented, one trailing
// newline).  Failures to write (a closed pipe) are failures of the tool.
void PrintText(const std::string &text);
void PrintJson(const Json &doc);

}  // namespace zrfs::tool
