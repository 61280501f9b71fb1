/* The C interface as a C99 program uses it: every public header (through the
 * generated zrfs_public_headers.h) compiles under -std=c99 -pedantic without
 * warnings (-Werror in the developers' builds), and calls made through
 * libzrfs.so return what the headers promise.
 * Returns the number of failed checks. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zrfs_public_headers.h"

static int g_failures;

#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++g_failures;                                                            \
    }                                                                          \
  } while (0)

static unsigned g_allocs;
static unsigned g_frees;
static unsigned g_nullFrees;
static uint32_t g_lastSize;
static unsigned char g_arena[256];

static void *CountingAlloc(uint32_t size) {
  ++g_allocs;
  g_lastSize = size;
  return size <= sizeof g_arena ? g_arena : NULL;
}

static void CountingFree(void *ptr) {
  if (ptr == g_arena) ++g_frees;
  if (ptr == NULL) ++g_nullFrees;
}

static void CheckNaming(void) {
  CHECK(fsc_GetDiskNumByPath("/dev/scsi/host03/part1") == 3);
  CHECK(fsc_GetDiskNumByPath("/dev/scsi/host/part1") == 0);
  CHECK(fsc_GetDiskNumByPath("/dev/sda1") == -1);
  CHECK(fsc_GetDiskNumByPath(NULL) == -1);

  CHECK(fsc_DiskItoA(7) == '7');
  CHECK(fsc_DiskItoA(11) == 'b');
  CHECK(fsc_DiskAtoI('b') == 11);
  CHECK(fsc_DiskAtoI('B') == 11);

  CHECK(fsc_GetBlkType(3) == 1);
  CHECK(fsc_GetBlkType(6) == 4);
  CHECK(fsc_GetBlkType(1000) == 0);
}

static void CheckAllocator(void) {
  unsigned char *block;

  CHECK(zrfs_InitAllocatorInterface() == 0);
  block = zrfs_Malloc(100);
  CHECK(block != NULL);
  if (block != NULL) {
    memset(block, 0xA5, 100);
    zrfs_Free(block);
  }

  /* A registered pair serves every block until the defaults come back. */
  CHECK(zrfs_RegistAllocatorInterface(CountingAlloc, CountingFree) == 0);
  block = zrfs_Malloc(56);
  CHECK(block == g_arena && g_lastSize == 56);
  zrfs_Free(block);
  CHECK(g_allocs == 1 && g_frees == 1);
  zrfs_Free(NULL); /* handed to the callback unchanged */
  CHECK(g_nullFrees == 1);

  /* Half a pair is refused and leaves the registered one in place. */
  CHECK(zrfs_RegistAllocatorInterface(NULL, free) == 0);
  CHECK(zrfs_RegistAllocatorInterface(CountingAlloc, NULL) == 0);
  CHECK(zrfs_Malloc(8) == g_arena);
  CHECK(g_allocs == 2);

  CHECK(zrfs_InitAllocatorInterface() == 0);
  block = zrfs_Malloc(8);
  CHECK(block != NULL && block != g_arena);
  zrfs_Free(block);
  CHECK(g_allocs == 2 && g_frees == 1);
}

static void CheckExportedObjects(void) {
  /* The shared segments are attached by fsc_ShareInit only. */
  CHECK(g_stZrfsFileList == NULL);
  CHECK(g_stZrfsShrPool == NULL);
}

static void CheckRootDir(void) {
  CHECK(zrfs_SetRootDir("/nonexistent/zrfs-c-api-test") == -1);
  CHECK(zrfs_SetRootDir(NULL) == 0);
}

/* The library reports the version of the header this program was compiled
 * with, and it is callable before zrfs_Init. */
static void CheckVersion(void) {
  char expected[32];
  const char *version = zrfs_Version();
  snprintf(expected, sizeof expected, "%d.%d.%d", ZRFS_VERSION_MAJOR, ZRFS_VERSION_MINOR,
           ZRFS_VERSION_PATCH);
  CHECK(version != NULL);
  if (version != NULL) CHECK(strcmp(version, expected) == 0);
  CHECK(zrfs_Version() == version);
}

int main(void) {
  CheckVersion();
  CheckNaming();
  CheckAllocator();
  CheckExportedObjects();
  CheckRootDir();
  if (g_failures != 0) fprintf(stderr, "%d check(s) failed\n", g_failures);
  return g_failures;
}
