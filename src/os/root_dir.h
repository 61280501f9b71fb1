// The root directory under which every logical path is resolved, so the
// library, its tools and tests run without the recorder's /dev and /dvr.
#pragma once

#include <cstddef>

namespace zrfs {

// Sets the root ("" or nullptr: none).  Returns false when dir is not an
// existing directory or is too long; the root is then unchanged.
bool SetRootDir(const char *dir);

// Writes root + logical path into out.  Returns false when it does not fit.
bool ResolvePath(const char *logical, char *out, size_t outSize);

// True when a root directory is set.
bool HasRootDir();

}  // namespace zrfs
