// `zrfs mount`: a disk's recordings as a read-only file tree (FUSE).
//
//   MOUNTPOINT/ch3/2026-12-06/14-05-00_HD0000010001A1B2000C00.mp4
//   MOUNTPOINT/all/HD0000010001A1B2000C00.mp4
//
// One folder per channel, one per day of a recording's creation, one file
// per recording named by its creation time and its record-file name, whose
// bytes are its logical bytes; all/ holds every recording by its name.
#pragma once

#include <string>

namespace zrfs::tool {

// Whether this zrfs was built with FUSE.
bool FuseViewBuilt();

// Mounts the view of the device or image at path on mountpoint and serves
// it until it is unmounted; returns the exit status.  Without foreground
// the serving process goes to the background once the mount is up.
int ServeFuseView(const std::string &path, int disk, const std::string &mountpoint, bool foreground,
                  bool utc);

// Ends a view mounted on mountpoint.
int UnmountFuseView(const std::string &mountpoint);

}  // namespace zrfs::tool
