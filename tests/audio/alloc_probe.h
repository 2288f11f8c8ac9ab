// alloc_probe.h - replaces the global allocation functions for a test binary: the Nth
// non-throwing allocation from now can be made to fail, and allocations made on threads that
// asked to be watched are counted (the feeder's render path must make none).
#pragma once

#include <atomic>
#include <cstddef>

// The nth (1-based) std::nothrow allocation from now returns null; 0 disarms.
void AllocProbeFailNth(int n);
// From now on, allocations on the calling thread are counted.
void AllocProbeWatchThisThread();
extern std::atomic<int> AllocProbeWatchedAllocations;

// alloc_probe_c.cpp adds the C allocator, for a binary linked with -Wl,--wrap=malloc,
// --wrap=calloc,--wrap=realloc: malloc, calloc and realloc called from the program's own
// code (not from inside shared libraries) count toward AllocProbeFailNth too, and the
// largest size they were asked for is kept.
extern std::atomic<size_t> AllocProbeLargestRequest;
// True when the armed countdown says this allocation fails. Used by both halves of the probe.
bool AllocProbeFailsNow();
