// Internal side of the shared pool (the exported side is zrfs/fsc.h).
#pragma once

#include <cstdint>

namespace zrfs {

// Attaches the segment with this key, creating it (zero-filled) when missing.
// An existing segment of another size is refused: it was left by a build
// with other entry sizes, and using it would corrupt both sides.
void *fsc_ShmAttach(int key, uint32_t size);

// Detaches this process's attachment of an own-segment entry; the last
// holder also frees its list slot and removes the segment.
void fsc_ShmRelease(void *entry, int slot, bool last);

// Detaches the file list and the pool and forgets the cached keys, so the
// next fsc_ShareInit attaches the objects of the current root directory.
void fsc_ResetProcessState();

}  // namespace zrfs
