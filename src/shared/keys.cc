#include "shared/keys.h"

#include <errno.h>
#include <fcntl.h>

#include <cstdio>

#include "os/os.h"
#include "os/root_dir.h"
#include "zrfs/fsc.h"

namespace zrfs {
namespace {

// Bits 0..23 of each slot key file's ftok key, 0 while unknown.  Written
// without a lock: concurrent writers store the same value.
uint32_t g_fscKeyCache[kSlotKeyFiles];

}  // namespace

void LayerKeyFileIn(const char *dir, char *out, size_t size) {
  snprintf(out, size, "%s/zrfslayer", dir);
}

void SlotKeyFileIn(const char *dir, int slot, char *out, size_t size) {
  snprintf(out, size, "%s/zrfs%d", dir, slot / kSlotsPerKeyFile);
}

void LayerKeyFileName(char (&out)[64]) {
  LayerKeyFileIn(kKeyDir, out, sizeof out);
}

int LayerKey(int projId) {
  char name[64];
  LayerKeyFileName(name);
  return ShareKey(name, projId);
}

void EnsureKeyDirectory() {
  if (os().IsDir(kKeyDir)) return;
  if (HasRootDir()) os().MakeDir("/dvr", 0777);  // a fresh root has no parents yet
  os().MakeDir(kKeyDir, 0777);
}

void ForgetSlotKeys() {
  for (uint32_t &key : g_fscKeyCache) key = 0;
}

int ShareKey(const char *path, int projId) {
  if (path == nullptr || path[0] == '\0' || projId < 1 || projId > 255) return -1;
  int key = os().Ftok(path, projId);
  if (key >= 0) return key;
  // The key file holds nothing; it exists only so ftok can take its identity.
  // Read-only bits are enough, since nobody ever reads or writes it.
  int fd = os().Open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0444);
  if (fd >= 0) os().Close(fd);
  return os().Ftok(path, projId);
}

int SlotKey(int slot) {
  if (slot < 0 || slot >= 2072) return -1;
  int file = slot / kSlotsPerKeyFile;
  auto projId = static_cast<uint32_t>(SlotProjectId(slot));
  if (g_fscKeyCache[file] != 0) return static_cast<int>(g_fscKeyCache[file] | projId << 24);
  char name[64];
  SlotKeyFileIn(kKeyDir, slot, name, sizeof name);
  int key = ShareKey(name, static_cast<int>(projId));
  if (key == -1) return -1;
  g_fscKeyCache[file] = static_cast<uint32_t>(key) & 0x00FFFFFFu;
  return key;
}

}  // namespace zrfs
