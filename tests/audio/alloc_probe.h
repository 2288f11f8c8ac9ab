// alloc_probe.h - replaces the global allocation functions for a test binary: the Nth
// non-throwing allocation from now can be made to fail, and allocations made on threads that
// asked to be watched are counted (the feeder's render path must make none).
#pragma once

#include <atomic>

// The nth (1-based) std::nothrow allocation from now returns null; 0 disarms.
void AllocProbeFailNth(int n);
// From now on, allocations on the calling thread are counted.
void AllocProbeWatchThisThread();
extern std::atomic<int> AllocProbeWatchedAllocations;
