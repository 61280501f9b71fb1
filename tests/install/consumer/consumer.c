/* A program built against an installed zrfs: it compiles with the installed
 * headers only and calls into the library. */
#include <stdio.h>

#include <zrfs.h>
#include <zrfs/fsc.h>

int main(void) {
  void *block = zrfs_Malloc(32);
  int disk = fsc_GetDiskNumByPath("/dev/scsi/host12/part1");
  zrfs_Free(block);
  if (block == NULL || disk != 12) {
    fprintf(stderr, "consumer: unexpected results (block %p, disk %d)\n", block, disk);
    return 1;
  }
  puts("consumer: ok");
  return 0;
}
