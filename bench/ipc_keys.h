// Removing the System V objects keyed by a root directory's key files, the
// way the library derives the keys (ftok on the files in ROOT/dvr/zrfs).
#pragma once

#include <string>

namespace bench {

int RemoveIpcObjects(const std::string &root);

}  // namespace bench
