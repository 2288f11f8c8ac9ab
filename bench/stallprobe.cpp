// stallprobe.cpp - how late the machine lets a thread at the sound path's priority run: a
// watcher on each processor (platform/stall_watch.h) asks to wake every 5 ms, with the feeder's
// real-time priority where the system gives it, and until standard input ends every wake-up
// 4 ms late or more is printed, then the count and the worst. The dropout check runs it beside
// the bench to tell the machine's stalls from the bench's own faults.
//   stallprobe < pipe   lines "late MS at T on CPU" (T: CLOCK_MONOTONIC seconds), then
//                       "wakeups N max MS" (all processors)
#include <unistd.h>

#include <cstdio>

#include "platform/rtkit.h"
#include "platform/stall_watch.h"
#include "platform/threads.h"

namespace {

// A whole line at once, so that the watchers' lines do not mix.
void PrintStall(void*, double at, double lateMs, int cpu) {
    std::printf("late %.1f at %.3f on %d\n", lateMs, at, cpu);
    std::fflush(stdout);
}

}  // namespace

int main() {
    RtkitUse();  // the watchers ask for the priority the bench's sound threads get
    bool realtime = false;
    StallWatch* watch = StallWatchStart(4, PrintStall, nullptr, &realtime);
    if (watch == nullptr) {
        std::perror("stallprobe: no thread");
        return 1;
    }
    if (!realtime)
        std::fprintf(stderr, "stallprobe: no real-time priority (%s)\n", ThreadRealtimeRefusal());
    char c;
    while (read(STDIN_FILENO, &c, 1) > 0) {
    }
    long wakeups = 0;
    double worst = StallWatchStop(watch, &wakeups);
    std::printf("wakeups %ld max %.1f\n", wakeups, worst);
    return 0;
}
