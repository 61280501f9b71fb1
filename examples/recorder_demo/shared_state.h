// Counters the demo's processes share.  The parent maps them (anonymous,
// shared) before it forks, so recorders, the reader and the parent all see
// the same memory; the parent reads them for the status line and the report.
#pragma once

#include <atomic>
#include <cstdint>

namespace demo {

inline constexpr int kMaxStreams = 1024;  // live channels and older recordings

enum Phase : int { kSetup = 0, kRecording = 1, kStopping = 2, kRecordersDone = 3, kAbort = -1 };

struct StreamCounters {
  std::atomic<uint64_t> bytes;         // stream bytes stored so far
  std::atomic<uint32_t> filesCreated;  // recordings made for the stream
  std::atomic<uint32_t> spaceWaits;    // creations that found the disk full
};

struct SharedState {
  std::atomic<int> phase;
  std::atomic<int64_t> startNanos;  // CLOCK_MONOTONIC when recording began
  std::atomic<int> errorCount;
  std::atomic<int> errorTextTaken;
  char firstError[256];
  std::atomic<uint64_t> filesDeleted;  // by the space reclaimer
  std::atomic<uint64_t> blocksFreed;
  std::atomic<uint64_t> diskFullEvents;
  std::atomic<uint64_t> rollovers;
  std::atomic<uint64_t> readerBytes;  // checked by the live reader
  std::atomic<uint64_t> readerFiles;
  std::atomic<uint64_t> readerMaxLag;  // bytes the reader was behind, at most
  std::atomic<int> dumpTaken;
  char debugDump[4096];  // zrfs_GetDebugInfo of a recorder while it records
  StreamCounters streams[kMaxStreams];
};

// Maps a zeroed SharedState shared with every process forked afterwards.
SharedState *MapSharedState();

// Counts an error and keeps the text of the first one.
void ReportError(SharedState *state, const char *format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace demo
