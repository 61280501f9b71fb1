#include "block/parked_blocks.h"

namespace zrfs {
namespace {

struct ParkedBlock {
  int32_t disk;  // -1: an empty place
  uint32_t type;
  uint32_t chan;
  int32_t blk;
};

// Enough for the channels a recorder process records at once; a channel
// whose hint was pushed out only strands one block's room.
constexpr int kPlaces = 64;
ParkedBlock g_parked[kPlaces] = {};
bool g_ready = false;  // places start empty on first use
int g_nextVictim = 0;

ParkedBlock *Find(int32_t disk, uint32_t type, uint32_t chan) {
  if (!g_ready) {
    for (ParkedBlock &place : g_parked) place.disk = -1;
    g_ready = true;
  }
  for (ParkedBlock &place : g_parked)
    if (place.disk == disk && place.type == type && place.chan == chan) return &place;
  return nullptr;
}

}  // namespace

void ParkBlock(int32_t disk, uint32_t type, uint32_t chan, int32_t blk) {
  ParkedBlock *place = Find(disk, type, chan);
  if (place == nullptr) {
    for (ParkedBlock &candidate : g_parked) {
      if (candidate.disk < 0) {
        place = &candidate;
        break;
      }
    }
  }
  if (place == nullptr) {
    place = &g_parked[g_nextVictim];
    g_nextVictim = (g_nextVictim + 1) % kPlaces;
  }
  *place = ParkedBlock{disk, type, chan, blk};
}

int32_t TakeParkedBlock(int32_t disk, uint32_t type, uint32_t chan) {
  ParkedBlock *place = Find(disk, type, chan);
  if (place == nullptr) return -1;
  int32_t blk = place->blk;
  place->disk = -1;
  return blk;
}

}  // namespace zrfs
