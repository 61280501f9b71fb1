#include "options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace demo {
namespace {

const char kHelp[] =
    "usage: recorder_demo [options]\n"
    "\n"
    "Records video-like streams from several processes onto one disk through\n"
    "zrfs, deletes the oldest recordings when the disk is full, follows one\n"
    "recording live from a reader process, then checks every recorded byte.\n"
    "\n"
    "  --duration S     seconds of recording (default 20)\n"
    "  --processes N    recorder processes (default 4)\n"
    "  --channels N     channels per recorder process (default 4)\n"
    "  --bitrate MBIT   megabits per second of each channel (default 4)\n"
    "  --fast           record as fast as the disk takes the data\n"
    "  --image PATH     disk image or block device to format and use; a missing\n"
    "                   file is made as a sparse image (default: a fresh image\n"
    "                   in a directory beside this program)\n"
    "  --keep           keep the image and its directory afterwards\n"
    "\n"
    "Exit status 0 when every check passed, 1 otherwise.\n";

bool ParseNumber(const char *text, double low, double high, double *out) {
  char *end = nullptr;
  double value = strtod(text, &end);
  if (end == text || *end != '\0' || value < low || value > high) return false;
  *out = value;
  return true;
}

}  // namespace

int ParseOptions(int argc, char **argv, Options *options) {
  for (int i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
    double number = 0;
    auto numeric = [&](double low, double high) {
      if (value == nullptr || !ParseNumber(value, low, high, &number)) {
        fprintf(stderr, "recorder_demo: %s needs a number from %g to %g\n", arg, low, high);
        return false;
      }
      ++i;
      return true;
    };
    if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
      fputs(kHelp, stdout);
      return 1;
    } else if (strcmp(arg, "--duration") == 0) {
      if (!numeric(1, 3600)) return 2;
      options->durationSeconds = number;
    } else if (strcmp(arg, "--processes") == 0) {
      if (!numeric(1, 16)) return 2;
      options->processes = int(number);
    } else if (strcmp(arg, "--channels") == 0) {
      if (!numeric(1, 64)) return 2;
      options->channels = int(number);
    } else if (strcmp(arg, "--bitrate") == 0) {
      if (!numeric(0.1, 400)) return 2;
      options->bitrate = uint64_t(number * 1e6);
    } else if (strcmp(arg, "--fast") == 0) {
      options->fast = true;
    } else if (strcmp(arg, "--image") == 0) {
      if (value == nullptr || *value == '\0') {
        fprintf(stderr, "recorder_demo: --image needs a path\n");
        return 2;
      }
      options->image = value;
      ++i;
    } else if (strcmp(arg, "--keep") == 0) {
      options->keep = true;
    } else {
      fprintf(stderr, "recorder_demo: unknown option %s (try --help)\n", arg);
      return 2;
    }
  }
  if (options->processes * options->channels > 256) {
    fprintf(stderr, "recorder_demo: at most 256 channels in all\n");
    return 2;
  }
  return 0;
}

}  // namespace demo
