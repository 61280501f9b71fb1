#include "zrfs.h"

#define ZRFS_TEXT(x) #x
#define ZRFS_VERSION_TEXT(major, minor, patch) \
  ZRFS_TEXT(major) "." ZRFS_TEXT(minor) "." ZRFS_TEXT(patch)

// Built from the header's macros when the library is compiled: a program
// compiled against another header sees the difference at run time.
extern "C" const char *zrfs_Version(void) {
  return ZRFS_VERSION_TEXT(ZRFS_VERSION_MAJOR, ZRFS_VERSION_MINOR, ZRFS_VERSION_PATCH);
}
