#include "options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace bench {
namespace {

constexpr int kMaxChannels = 64;  // the images hold a 1 GiB block for each
constexpr int kMaxProcesses = 4;

bool ParseNumber(const std::string &text, double *value) {
  char *end = nullptr;
  *value = strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0';
}

bool ParseInt(const std::string &text, int *value) {
  double d = 0;
  if (!ParseNumber(text, &d) || d != double(int(d))) return false;
  *value = int(d);
  return true;
}

// "65536", "64K", "1M".
bool ParseSize(const std::string &text, uint32_t *bytes) {
  if (text.empty()) return false;
  uint64_t unit = 1;
  std::string number = text;
  char last = text.back();
  if (last == 'K' || last == 'k') unit = 1 << 10;
  if (last == 'M' || last == 'm') unit = 1 << 20;
  if (unit != 1) number.pop_back();
  int n = 0;
  if (!ParseInt(number, &n) || n <= 0 || uint64_t(n) * unit > (64u << 20)) return false;
  *bytes = uint32_t(uint64_t(n) * unit);
  return true;
}

std::vector<std::string> Split(const std::string &list) {
  std::vector<std::string> items;
  std::stringstream in(list);
  for (std::string item; std::getline(in, item, ',');)
    if (!item.empty()) items.push_back(item);
  return items;
}

bool ParseParts(const std::string &list, Options *o) {
  o->recording = o->paced = o->calls = false;
  for (const std::string &part : Split(list)) {
    if (part == "recording")
      o->recording = true;
    else if (part == "paced")
      o->paced = true;
    else if (part == "calls")
      o->calls = true;
    else
      return false;
  }
  return true;
}

// One option with its value; false when either is wrong.
bool ParseOne(const std::string &name, const std::string &value, Options *o) {
  PacedOptions &p = o->pace;
  double mib = 0;
  if (name == "--repeat") return ParseInt(value, &o->repeat) && o->repeat >= 1;
  if (name == "--mib") {
    if (!ParseNumber(value, &mib) || mib < 1) return false;
    o->mibPerCase = uint64_t(mib);
    return true;
  }
  if (name == "--only") return ParseParts(value, o);
  if (name == "--channels") {
    for (const std::string &item : Split(value)) {
      int n = 0;
      if (!ParseInt(item, &n) || n < 1 || n > kMaxChannels) return false;
      o->channels.push_back(n);
    }
    return !o->channels.empty();
  }
  if (name == "--sizes") {
    for (const std::string &item : Split(value)) {
      uint32_t size = 0;
      if (!ParseSize(item, &size)) return false;
      o->sizes.push_back(size);
    }
    return !o->sizes.empty();
  }
  if (name == "--paced-seconds") return ParseNumber(value, &p.seconds) && p.seconds >= 0;
  if (name == "--paced-channels")
    return ParseInt(value, &p.channels) && p.channels >= 1 && p.channels <= kMaxChannels;
  if (name == "--paced-processes")
    return ParseInt(value, &p.processes) && p.processes >= 1 && p.processes <= kMaxProcesses;
  if (name == "--paced-mbit") return ParseNumber(value, &p.mbitPerSecond) && p.mbitPerSecond > 0;
  if (name == "--paced-write") return ParseSize(value, &p.writeSize);
  if (name == "--flush-interval") {
    int ms = 0;
    if (!ParseInt(value, &ms) || ms < 0) return false;
    p.flushIntervalMs = uint32_t(ms);
    return true;
  }
  if (name == "--doc") o->doc = value;
  if (name == "--chart") o->chart = value;
  if (name == "--dir") o->dir = value;
  return name == "--doc" || name == "--chart" || name == "--dir";
}

bool TakesValue(const std::string &name) {
  return name != "--quick" && name != "--no-loop";
}

}  // namespace

const char kUsage[] =
    "usage: zrfs_bench [options]; an option's value follows as --name VALUE or --name=VALUE\n"
    "  --quick              short: recording cases of 1 and 16 channels with 64 KiB and 1 MiB\n"
    "                       writes and 64 channels with 256 KiB, 128 MiB per case; a 20 s\n"
    "                       paced case; every case once\n"
    "  --repeat N           runs of every case (default 3); tables show the median and the range\n"
    "  --mib N              MiB recorded per recording case over all channels (default 256)\n"
    "  --only PARTS         comma-separated, of recording, paced and calls (default: all)\n"
    "  --channels LIST      recording cases of these channel counts only, e.g. 16,64\n"
    "  --sizes LIST         recording cases of these write sizes only, e.g. 64K,1M\n"
    "  --paced-seconds N    length of a paced run (default 60, --quick 20; 0: no paced case)\n"
    "  --paced-channels N   channels of the paced case (default 16, at most 64)\n"
    "  --paced-processes N  processes they run in (default 1, 2 or 4, as a recording case)\n"
    "  --paced-mbit X       bit rate of each channel, Mbit/s (default 4)\n"
    "  --paced-write SIZE   write size of the paced case (default 64K)\n"
    "  --flush-interval MS  the library's flush interval in the paced case (default 0: none)\n"
    "  --no-loop            only the image file (no loop devices: no ext4, no paced case)\n"
    "  --doc FILE           write the results into FILE between its results markers\n"
    "  --chart PNG          draw throughput and CPU per GiB by channel count\n"
    "  --dir DIR            where to put the images (default: beside this program)\n";

int ProcessesFor(int channels) {
  return channels == 1 ? 1 : channels <= 4 ? 2 : kMaxProcesses;
}

bool ParseOptions(int argc, char **argv, Options *o) {
  for (int i = 0; i < argc; ++i) {
    if (i > 0) o->command.push_back(' ');
    o->command.append(argv[i]);
  }
  // --quick sets defaults that the other options may still change.
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--quick") != 0) continue;
    o->quick = true;
    o->repeat = 1;
    o->mibPerCase = 128;
    o->pace.seconds = 20;
  }
  for (int i = 1; i < argc; ++i) {
    std::string given = argv[i], name = given, value;
    size_t equals = name.find('=');
    bool inlineValue = equals != std::string::npos;
    if (inlineValue) {
      value = name.substr(equals + 1);
      name.erase(equals);
    }
    bool ok = true;
    if (name == "--quick") {
      ok = !inlineValue;
    } else if (name == "--no-loop") {
      ok = !inlineValue;
      o->loops = false;
    } else if (TakesValue(name) && (inlineValue || i + 1 < argc)) {
      ok = ParseOne(name, inlineValue ? value : std::string(argv[++i]), o);
    } else {
      ok = false;
    }
    if (!ok) {
      fprintf(stderr, "zrfs_bench: cannot use %s\n%s", given.c_str(), kUsage);
      return false;
    }
  }
  if (o->pace.processes > o->pace.channels) {
    fprintf(stderr, "zrfs_bench: more paced processes than channels\n");
    return false;
  }
  return true;
}

}  // namespace bench
