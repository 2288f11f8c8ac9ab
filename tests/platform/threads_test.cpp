// threads_test.cpp - the POSIX stand-ins for the thread calls: a suspended thread waits for
// ResumeThread, a wait with a time-out times out and a later wait sees the end, priorities,
// the system's refusals (no thread, no memory, no real time), and the kept worker.
#include "platform/threads.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <set>

#include "platform/stall_watch.h"
#include "platform/worker.h"
#include "tests/audio/alloc_probe.h"
#include "tests/platform/refusals.h"

namespace {

std::atomic<int> Runs{0};
std::atomic<bool> Release{false};

uint32_t CountRun(void*) {
    Runs.fetch_add(1);
    return 0;
}

uint32_t WaitForRelease(void* parameter) {
    while (!Release.load()) Sleep(1);
    *static_cast<int*>(parameter) = 42;  // read by the test after the wait
    return 0;
}

TEST(Threads, SuspendedThreadRunsOnlyAfterResume) {
    Runs.store(0);
    uint32_t id = 0;
    HANDLE thread = CreateThread(nullptr, 0, CountRun, nullptr, CREATE_SUSPENDED, &id);
    ASSERT_NE(nullptr, thread);
    EXPECT_NE(0u, id);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 30));
    EXPECT_EQ(0, Runs.load());
    EXPECT_EQ(1u, ResumeThread(thread));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, INFINITE));
    EXPECT_EQ(1, Runs.load());
    EXPECT_EQ(0u, ResumeThread(thread));  // no longer suspended
    EXPECT_NE(0, CloseHandle(thread));

    HANDLE running = CreateThread(nullptr, 0, CountRun, nullptr, 0, nullptr);
    ASSERT_NE(nullptr, running);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(running, 1000));
    EXPECT_EQ(2, Runs.load());
    CloseHandle(running);
    EXPECT_EQ(nullptr, CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr));
    int attributes = 0;  // neither attributes nor a stack size of the caller's are supported
    EXPECT_EQ(nullptr, CreateThread(&attributes, 0, CountRun, nullptr, 0, nullptr));
    EXPECT_EQ(nullptr, CreateThread(nullptr, 65536, CountRun, nullptr, 0, nullptr));
    EXPECT_EQ(2, Runs.load());
}

TEST(Threads, RefusedCreationSaysWhyAndLeavesNothingRunning) {
    Runs.store(0);
    RefuseThreads.store(true);
    errno = 0;
    EXPECT_EQ(nullptr, CreateThread(nullptr, 0, CountRun, nullptr, 0, nullptr));
    EXPECT_EQ(EAGAIN, errno);
    RefuseThreads.store(false);
    AllocProbeFailNth(1);  // the thread's own record
    errno = 0;
    EXPECT_EQ(nullptr, CreateThread(nullptr, 0, CountRun, nullptr, 0, nullptr));
    EXPECT_EQ(ENOMEM, errno);
    AllocProbeFailNth(0);
    Sleep(20);
    EXPECT_EQ(0, Runs.load());
    HANDLE thread = CreateThread(nullptr, 0, CountRun, nullptr, 0, nullptr);  // and then one is had
    ASSERT_NE(nullptr, thread);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, INFINITE));
    EXPECT_EQ(1, Runs.load());
    EXPECT_NE(0, CloseHandle(thread));
}

uint32_t CountRunOnRelease(void*) {
    while (!Release.load()) Sleep(1);
    Runs.fetch_add(1);
    return 0;
}

// The handle of a running thread can be closed: the thread runs to its end and then frees
// what it holds (the address sanitizer's leak check sees the rest).
TEST(Threads, ClosingARunningThreadLetsItFinish) {
    EXPECT_EQ(0, CloseHandle(nullptr));
    Runs.store(0);
    Release.store(false);
    HANDLE thread = CreateThread(nullptr, 0, CountRunOnRelease, nullptr, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    EXPECT_NE(0, CloseHandle(thread));
    Release.store(true);
    for (int waited = 0; waited < 5000 && Runs.load() == 0; ++waited) Sleep(1);
    EXPECT_EQ(1, Runs.load());
}

// A thread kept on one processor runs only there (the first usable one, then the last); the
// call answers the mask it had, and a mask without processors is refused.
TEST(Threads, AffinityKeepsAThreadOnItsProcessor) {
    cpu_set_t usable;
    ASSERT_EQ(0, sched_getaffinity(0, sizeof usable, &usable));
    int first = 0, last = CPU_SETSIZE - 1;
    while (first < last && !CPU_ISSET(first, &usable)) ++first;
    while (last > first && !CPU_ISSET(last, &usable)) --last;
    static std::atomic<int> wanted, wrongPlaces;
    auto spin = [](void*) -> uint32_t {
        for (int k = 0; k < 2000; ++k) {
            wrongPlaces += sched_getcpu() != wanted.load();
            if (k % 100 == 0) sched_yield();
        }
        return 0;
    };
    for (int cpu : {first, last}) {
        wanted.store(cpu);
        wrongPlaces.store(0);
        HANDLE thread = CreateThread(nullptr, 0, spin, nullptr, CREATE_SUSPENDED, nullptr);
        ASSERT_NE(nullptr, thread);
        EXPECT_EQ(0u, SetThreadAffinityMask(thread, 0));
        uintptr_t previous = SetThreadAffinityMask(thread, uintptr_t(1) << cpu);
        EXPECT_TRUE(previous >> cpu & 1) << "the mask it had holds the processor it may use";
        ResumeThread(thread);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, INFINITE));
        CloseHandle(thread);
        EXPECT_EQ(0, wrongPlaces.load()) << "on processor " << cpu;
    }
}

// The stall watch: a watcher wakes on every usable processor, each wake-up at least the margin
// late is reported with its processor, and the worst it returns is no less than any of them.
TEST(Threads, StallWatchWatchesEveryProcessor) {
    cpu_set_t usable;
    ASSERT_EQ(0, sched_getaffinity(0, sizeof usable, &usable));
    struct Seen {
        std::mutex lock;
        std::set<int> cpus;
        double latest = 0, least = 1e9;
    } seen;
    auto report = [](void* context, double, double lateMs, int cpu) {
        Seen* s = static_cast<Seen*>(context);
        std::lock_guard<std::mutex> hold(s->lock);
        s->cpus.insert(cpu);
        s->latest = std::max(s->latest, lateMs);
        s->least = std::min(s->least, lateMs);
    };
    StallWatch* watch = StallWatchStart(0, report, &seen, nullptr);
    ASSERT_NE(nullptr, watch);
    Sleep(60);
    long wakeups = 0;
    double worst = StallWatchStop(watch, &wakeups);
    std::set<int> expected;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &usable)) expected.insert(cpu);
    EXPECT_EQ(expected, seen.cpus);
    EXPECT_GE(wakeups, long(expected.size()));
    EXPECT_GE(seen.least, 0.0);
    EXPECT_GE(worst, seen.latest);
    // A margin no wake-up reaches reports nothing.
    Seen none;
    watch = StallWatchStart(1e6, report, &none, nullptr);
    ASSERT_NE(nullptr, watch);
    Sleep(20);
    StallWatchStop(watch, nullptr);
    EXPECT_TRUE(none.cpus.empty());
}

TEST(Threads, WaitTimesOutThenSeesTheEnd) {
    Release.store(false);
    int result = 0;
    HANDLE thread = CreateThread(nullptr, 0, WaitForRelease, &result, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 100));
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(100));
    Release.store(true);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 2000));
    EXPECT_EQ(42, result);  // the thread's writes are visible after the wait
    EXPECT_NE(0, CloseHandle(thread));
}

// What a thread finds itself running with.
struct SeenPriority {
    int policy = -1;
    int nice = 99;
};

uint32_t RecordPriority(void* parameter) {
    SeenPriority* seen = static_cast<SeenPriority*>(parameter);
    sched_param param{};
    pthread_getschedparam(pthread_self(), &seen->policy, &param);
    seen->nice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
    return 0;
}

TEST(Threads, PriorityRequests) {
    SeenPriority seen;
    HANDLE thread = CreateThread(nullptr, 0, RecordPriority, &seen, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(nullptr, thread);
    int inheritedNice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
    // Time-critical may be refused where real-time scheduling is not permitted; highest then
    // falls back to the best nice value and never fails.
    SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL);
    EXPECT_NE(0, SetThreadPriority(thread, THREAD_PRIORITY_HIGHEST));
    EXPECT_EQ(0, SetThreadPriority(thread, 7));  // not a priority this stand-in knows
    EXPECT_EQ(0, SetThreadPriority(nullptr, THREAD_PRIORITY_HIGHEST));
    ResumeThread(thread);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 2000));
    CloseHandle(thread);
    // The request took effect: real-time scheduling, or else the lowest negative nice value
    // the limit allows (20 - RLIMIT_NICE), or the inherited one where none is allowed.
    if (seen.policy != SCHED_FIFO) {
        rlimit limit{};
        ASSERT_EQ(0, getrlimit(RLIMIT_NICE, &limit));
        int best = limit.rlim_cur == RLIM_INFINITY ? -20 : std::max(-20, 20 - int(limit.rlim_cur));
        EXPECT_EQ(best < 0 ? best : inheritedNice, seen.nice) << "policy " << seen.policy;
    }
}

// Where real time is refused, time-critical fails and highest takes the best nice value the
// system gives, trying from -20 up; where none is given it still succeeds at the default.
TEST(Threads, RefusedRealTimeFallsBackToTheBestNiceValue) {
    // No RealtimeKit either: the system bus is one that is not there.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/oplbench-test-bus", 1);
    RefuseRealTime.store(true);
    SeenPriority seen;
    HANDLE thread = CreateThread(nullptr, 0, RecordPriority, &seen, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(nullptr, thread);
    EXPECT_EQ(0, SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL));
    RefuseNice.store(true);
    NiceAsked.store(99);
    EXPECT_NE(0, SetThreadPriority(thread, THREAD_PRIORITY_HIGHEST));
    EXPECT_EQ(-1, NiceAsked.load()) << "every value up to -1 was tried";
    RefuseNice.store(false);
    int inheritedNice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
    NiceGiven.store(inheritedNice);
    EXPECT_NE(0, SetThreadPriority(thread, THREAD_PRIORITY_HIGHEST));
    ResumeThread(thread);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, INFINITE));
    CloseHandle(thread);
    RefuseRealTime.store(false);
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    EXPECT_NE(SCHED_FIFO, seen.policy);
    // The first value the system accepted (none: the inherited one) is the one it runs with.
    EXPECT_EQ(NiceGiven.load(), seen.nice);
    EXPECT_LE(seen.nice, inheritedNice);
}

}  // namespace

// The kept worker: each job handed over runs on the one thread in its turn, the owner sees it
// busy until the job has ended and then sees its writes; the end waits for the last job; with
// no thread to be had there is no worker.
TEST(Threads, WorkerRunsEachJobAndSaysWhenItHasEnded) {
    RefuseThreads.store(true);
    EXPECT_EQ(nullptr, WorkerCreate());
    RefuseThreads.store(false);
    Worker* worker = WorkerCreate();
    ASSERT_NE(nullptr, worker);
    EXPECT_TRUE(WorkerIdle(worker));
    Release.store(false);
    int seen[3] = {};
    auto job = [](void* slot) {
        while (!Release.load()) Sleep(1);
        *static_cast<int*>(slot) = int(syscall(SYS_gettid));
    };
    WorkerPost(worker, job, &seen[0]);
    Sleep(20);
    EXPECT_FALSE(WorkerIdle(worker)) << "busy while the job waits";
    Release.store(true);
    WorkerWait(worker);
    EXPECT_TRUE(WorkerIdle(worker));
    EXPECT_NE(0, seen[0]);
    EXPECT_NE(int(syscall(SYS_gettid)), seen[0]);
    WorkerPost(worker, job, &seen[1]);
    while (!WorkerIdle(worker)) Sleep(1);
    EXPECT_EQ(seen[0], seen[1]) << "one thread for every job";
    Release.store(false);
    WorkerPost(worker, job, &seen[2]);
    auto release = [](void*) -> uint32_t {
        Sleep(20);
        Release.store(true);
        return 0;
    };
    HANDLE releaser = CreateThread(nullptr, 0, release, nullptr, 0, nullptr);
    WorkerDestroy(worker);
    EXPECT_EQ(seen[0], seen[2]) << "the last job ran before the worker ended";
    WaitForSingleObject(releaser, INFINITE);
    CloseHandle(releaser);
    WorkerDestroy(nullptr);
}
