/* Records a short clip, finds it again by name, plays it back and deletes it,
 * using nothing but zrfs.h.
 *
 *   record_and_play ROOT DEVICE [--format]
 *
 * ROOT is the directory every path is resolved under ("/" on a recorder,
 * a scratch directory holding a disk image elsewhere); DEVICE names the disk,
 * e.g. /dev/scsi/host00/part1.  --format writes a new, empty layout first.
 * A real recorder skips zrfs_SetRootDir and names its disk directly. */
#include <stdio.h>
#include <string.h>

#include "zrfs.h"

#define CLIP_BYTES (256 * 1024)
#define CHUNK 4096

static int fail(const char *what) {
  fprintf(stderr, "record_and_play: %s failed\n", what);
  return 1;
}

static char byte_at(long i) {
  return (char)(i * 31 + i / 4096);
}

int main(int argc, char **argv) {
  const char *root, *device;
  char name[ZRFS_NAME_MAX];
  char buf[CHUNK];
  FileCreateParam param;
  TfFileStat st;
  long pos;
  int fd, i;

  if (argc < 3 || (argc == 4 && strcmp(argv[3], "--format") != 0) || argc > 4) {
    fprintf(stderr, "usage: record_and_play ROOT DEVICE [--format]\n");
    return 2;
  }
  root = argv[1];
  device = argv[2];
  if (zrfs_SetRootDir(root) != 0) return fail("zrfs_SetRootDir");
  if (zrfs_Init() != 0) return fail("zrfs_Init");
  if (argc == 4 && zrfs_Format(device) != 0) return fail("zrfs_Format");
  if (zrfs_Mount(device) != 0) return fail("zrfs_Mount");

  /* Record: channel 0, a plain recording, its name comes back in name. */
  memset(&param, 0, sizeof param);
  param.ichan = 0;
  param.createTime = 1700000000;
  param.kind = 0;
  snprintf(param.diskPath, sizeof param.diskPath, "%s", device);
  snprintf(param.extName, sizeof param.extName, "%s", "h264");
  fd = zrfs_Open(&param, name, 1);
  if (fd < 0) return fail("creating a recording");
  for (pos = 0; pos < CLIP_BYTES; pos += CHUNK) {
    for (i = 0; i < CHUNK; ++i) buf[i] = byte_at(pos + i);
    if (zrfs_Write(fd, buf, CHUNK) != CHUNK) return fail("zrfs_Write");
  }
  zrfs_Close(fd);
  printf("recorded %s\n", name);

  /* Play back: open by name, check the size and every byte. */
  if (zrfs_Stat(name, &st) != 0 || st.st_size != CLIP_BYTES) return fail("zrfs_Stat");
  fd = zrfs_Open(NULL, name, 0);
  if (fd < 0) return fail("opening the recording by name");
  for (pos = 0; pos < CLIP_BYTES; pos += CHUNK) {
    if (zrfs_Read(fd, buf, CHUNK) != CHUNK) return fail("zrfs_Read");
    for (i = 0; i < CHUNK; ++i)
      if (buf[i] != byte_at(pos + i)) return fail("comparing the played-back bytes");
  }
  if (zrfs_Eof(fd) != 1) return fail("zrfs_Eof");
  zrfs_Close(fd);
  printf("played back %ld bytes\n", (long)st.st_size);

  /* Delete it; its block goes back to the disk. */
  if (zrfs_Unlink(name) != 0) return fail("zrfs_Unlink");
  if (zrfs_Open(NULL, name, 0) >= 0) return fail("checking the deletion");
  printf("deleted\n");
  zrfs_UnMount(device);
  zrfs_DeInit();
  return 0;
}
