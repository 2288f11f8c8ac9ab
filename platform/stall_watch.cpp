// stall_watch.cpp - the watchers of stall_watch.h: one thread per usable processor on the
// thread stand-in, each kept on its processor (SetThreadAffinityMask) and sleeping to absolute
// 5 ms deadlines, so that its lateness is the machine's alone.
#include "platform/stall_watch.h"

#include <sched.h>
#include <time.h>

#include <atomic>
#include <new>

#include "platform/threads.h"

namespace {

constexpr int MaxWatchers = 64;

struct Watcher {
    StallWatch* watch;
    int cpu;
    HANDLE thread;
};

}  // namespace

struct StallWatch {
    double reportMs;
    StallReport* report;
    void* context;
    std::atomic<bool> ending{false};
    std::atomic<long> wakeups{0};
    std::atomic<int64_t> worstUs{0};
    Watcher watchers[MaxWatchers];
    int count = 0;
};

namespace {

double Seconds(const timespec& t) {
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

uint32_t Watch(void* parameter) {
    const Watcher* self = static_cast<const Watcher*>(parameter);
    StallWatch* w = self->watch;
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    while (!w->ending.load()) {
        next.tv_nsec += 5000000;
        if (next.tv_nsec >= 1000000000) {
            next.tv_nsec -= 1000000000;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        // Whole microseconds, as the worst is kept.
        int64_t us = int64_t((Seconds(now) - Seconds(next)) * 1e6), worst = w->worstUs.load();
        double late = double(us) / 1000.0;
        w->wakeups.fetch_add(1);
        while (us > worst && !w->worstUs.compare_exchange_weak(worst, us)) {
        }
        if (late >= w->reportMs) {
            if (w->report) w->report(w->context, Seconds(now), late, self->cpu);
            next = now;  // the deadlines it missed are not counted again
        }
    }
    return 0;
}

}  // namespace

StallWatch* StallWatchStart(double reportMs, StallReport* report, void* context, bool* realtime) {
    StallWatch* w = new (std::nothrow) StallWatch;
    if (w == nullptr) return nullptr;
    w->reportMs = reportMs;
    w->report = report;
    w->context = context;
    cpu_set_t usable;
    CPU_ZERO(&usable);
    sched_getaffinity(0, sizeof usable, &usable);
    bool allRealtime = true;
    for (int cpu = 0; cpu < MaxWatchers && cpu < CPU_SETSIZE; ++cpu) {
        if (!CPU_ISSET(cpu, &usable)) continue;
        Watcher* watcher = &w->watchers[w->count];
        *watcher = {w, cpu, nullptr};
        watcher->thread = CreateThread(nullptr, 0, Watch, watcher, CREATE_SUSPENDED, nullptr);
        if (watcher->thread == nullptr) {
            StallWatchStop(w, nullptr);
            return nullptr;
        }
        ++w->count;
        SetThreadAffinityMask(watcher->thread, uintptr_t(1) << cpu);
        allRealtime =
            SetThreadPriority(watcher->thread, THREAD_PRIORITY_TIME_CRITICAL) && allRealtime;
        ResumeThread(watcher->thread);
    }
    if (realtime) *realtime = allRealtime;
    return w;
}

double StallWatchStop(StallWatch* w, long* wakeups) {
    w->ending.store(true);
    for (int k = 0; k < w->count; ++k) {
        // A watcher created but not resumed (a later one failed) is let go here.
        ResumeThread(w->watchers[k].thread);
        WaitForSingleObject(w->watchers[k].thread, INFINITE);
        CloseHandle(w->watchers[k].thread);
    }
    double worst = double(w->worstUs.load()) / 1000.0;
    if (wakeups) *wakeups = w->wakeups.load();
    delete w;
    return worst;
}
