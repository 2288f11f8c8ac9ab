// stallprobe.cpp - how late the machine lets a thread at the sound path's priority run: a
// thread on each processor asks to wake every 5 ms (with the feeder's real-time priority where
// the system gives it) and, until its standard input ends, prints each wake-up 4 ms late or
// more, then the count and the worst. A hypervisor may stop one virtual processor alone, with
// the sound thread that runs on it, so each processor has a probe of its own. The dropout
// check runs it beside the bench to tell the machine's stalls from the bench's own faults.
//   stallprobe < pipe   lines "late MS at T on CPU" (T: CLOCK_MONOTONIC seconds), then
//                       "wakeups N max MS" (all processors)
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "platform/rtkit.h"
#include "platform/threads.h"

namespace {

std::atomic<bool> Ending{false};
std::atomic<long> Wakeups{0};
std::atomic<int64_t> WorstUs{0};

double Seconds(const timespec& t) {
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Wakes every 5 ms on processor *cpu until the end; each wake-up 4 ms late or more is printed
// (a whole line at once, so that the probes' lines do not mix).
uint32_t Probe(void* parameter) {
    int cpu = *static_cast<const int*>(parameter);
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
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
        Wakeups.fetch_add(1);
        int64_t us = int64_t(late * 1000), worst = WorstUs.load();
        while (us > worst && !WorstUs.compare_exchange_weak(worst, us)) {
        }
        if (late >= 4) {
            std::printf("late %.1f at %.3f on %d\n", late, Seconds(now), cpu);
            std::fflush(stdout);
            next = now;  // a stall is counted once, not as the wake-ups it skipped
        }
    }
    return 0;
}

}  // namespace

int main() {
    RtkitUse();  // the probes ask for the priority the bench's sound threads get
    // One probe per processor this process may use, each kept on its own.
    cpu_set_t usable;
    CPU_ZERO(&usable);
    sched_getaffinity(0, sizeof usable, &usable);
    int cpus[64];
    HANDLE probes[64];
    int count = 0;
    for (int cpu = 0; cpu < 64; ++cpu) {
        if (!CPU_ISSET(cpu, &usable)) continue;
        cpus[count] = cpu;
        probes[count] = CreateThread(nullptr, 0, Probe, &cpus[count], CREATE_SUSPENDED, nullptr);
        if (probes[count] == nullptr) {
            std::perror("stallprobe: no thread");
            return 1;
        }
        if (SetThreadAffinityMask(probes[count], uintptr_t(1) << cpu) == 0)
            std::fprintf(stderr, "stallprobe: the probe for processor %d may move\n", cpu);
        if (!SetThreadPriority(probes[count], THREAD_PRIORITY_TIME_CRITICAL) && count == 0)
            std::fprintf(stderr, "stallprobe: no real-time priority (%s)\n",
                         ThreadRealtimeRefusal());
        ResumeThread(probes[count]);
        ++count;
    }
    char c;
    while (read(STDIN_FILENO, &c, 1) > 0) {
    }
    Ending.store(true);
    for (int k = 0; k < count; ++k) {
        WaitForSingleObject(probes[k], INFINITE);
        CloseHandle(probes[k]);
    }
    std::printf("wakeups %ld max %.1f\n", Wakeups.load(), double(WorstUs.load()) / 1000.0);
    return 0;
}
