#include "os/root_dir.h"

#include <limits.h>
#include <sys/stat.h>

#include <cstring>

namespace zrfs {
namespace {

// Written at start-up only (zrfs_SetRootDir), read by every path resolution.
char g_rootDir[PATH_MAX];
size_t g_rootLen;

}  // namespace

bool SetRootDir(const char *dir) {
  if (dir == nullptr || dir[0] == '\0') {
    g_rootLen = 0;
    g_rootDir[0] = '\0';
    return true;
  }
  size_t len = strnlen(dir, sizeof g_rootDir);
  if (len == sizeof g_rootDir) return false;
  struct stat st;
  if (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  while (len > 1 && dir[len - 1] == '/') --len;  // "/tmp/r/" and "/tmp/r" are one root
  if (len == 1) len = 0;                         // "/" is no root at all
  memcpy(g_rootDir, dir, len);
  g_rootDir[len] = '\0';
  g_rootLen = len;
  return true;
}

bool HasRootDir() {
  return g_rootLen != 0;
}

bool ResolvePath(const char *logical, char *out, size_t outSize) {
  if (logical == nullptr || out == nullptr || outSize == 0) return false;
  size_t pathLen = strlen(logical);
  size_t prefixLen = g_rootLen;
  bool needSlash = prefixLen != 0 && logical[0] != '/';
  size_t total = prefixLen + (needSlash ? 1 : 0) + pathLen;
  if (total >= outSize) return false;
  memcpy(out, g_rootDir, prefixLen);
  if (needSlash) out[prefixLen++] = '/';
  memcpy(out + prefixLen, logical, pathLen + 1);
  return true;
}

}  // namespace zrfs
