// stall_watch.h - how late the machine lets a thread at the sound path's priority run: a
// watcher thread on each processor (kept there, at real-time priority where the system gives
// it) asks to wake every 5 ms and keeps the worst lateness. A hypervisor may stop one virtual
// processor alone, with the sound thread on it, so each processor has a watcher of its own.
// For the tools and tests that tell the machine's stalls from the program's own faults.
#pragma once

struct StallWatch;

// Called on a watcher's thread for each wake-up at least the reporting margin late: when
// (CLOCK_MONOTONIC seconds), how late (ms), and on which processor. A stall is reported once,
// not as the wake-ups it made the watcher miss.
typedef void StallReport(void* context, double at, double lateMs, int cpu);

// Starts the watchers; report (may be null) hears of every wake-up reportMs or more late.
// Null when no thread can be had. `realtime` (may be null) is set when every watcher got
// real-time priority.
StallWatch* StallWatchStart(double reportMs, StallReport* report, void* context, bool* realtime);
// Ends the watchers and frees the watch: the worst lateness seen (ms) and, when wakeups is
// not null, how many wake-ups there were on all processors.
double StallWatchStop(StallWatch* watch, long* wakeups);
