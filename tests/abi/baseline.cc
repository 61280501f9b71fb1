// The smallest shared library the toolchain builds: its load-time entries
// are the toolchain's own, the yardstick for libzrfs.so's.
extern "C" int zrfs_abi_baseline_anchor(void) {
  return 0;
}
