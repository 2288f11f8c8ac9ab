// stallprobe.cpp - how late the machine lets a thread at the sound path's priority run: a
// thread asks to wake every 5 ms (with the feeder's real-time priority where the system gives
// it) and, until its standard input ends, prints each wake-up 4 ms late or more, then the count
// and the worst. The dropout check runs it beside the bench to tell the machine's stalls from
// the bench's own faults.
//   stallprobe < pipe   lines "late MS at T" (T: CLOCK_MONOTONIC seconds), then "wakeups N max MS"
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "platform/threads.h"

namespace {

std::atomic<bool> Ending{false};

double Seconds(const timespec& t) {
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

uint32_t Probe(void*) {
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    long wakeups = 0;
    double worst = 0;
    while (!Ending.load()) {
        next.tv_nsec += 5000000;
        if (next.tv_nsec >= 1000000000) {
            next.tv_nsec -= 1000000000;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        double late = (Seconds(now) - Seconds(next)) * 1000;
        ++wakeups;
        if (late > worst) worst = late;
        if (late >= 4) {
            std::printf("late %.1f at %.3f\n", late, Seconds(now));
            std::fflush(stdout);
            next = now;  // a stall is counted once, not as the wake-ups it skipped
        }
    }
    std::printf("wakeups %ld max %.1f\n", wakeups, worst);
    return 0;
}

}  // namespace

int main() {
    HANDLE probe = CreateThread(nullptr, 0, Probe, nullptr, 0, nullptr);
    if (probe == nullptr) {
        std::perror("stallprobe: no thread");
        return 1;
    }
    if (!SetThreadPriority(probe, THREAD_PRIORITY_TIME_CRITICAL))
        std::fprintf(stderr, "stallprobe: no real-time priority (%s)\n", ThreadRealtimeRefusal());
    char c;
    while (read(STDIN_FILENO, &c, 1) > 0) {
    }
    Ending.store(true);
    WaitForSingleObject(probe, INFINITE);
    CloseHandle(probe);
    return 0;
}
