// threads.cpp - the thread calls on POSIX threads. A thread record carries the suspension gate
// and the end mark that WaitForSingleObject waits on, so a wait with a time-out needs no
// pthread extension and establishes the order between the thread's writes and the waiter.
#include "platform/threads.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <new>
#include <thread>

#include "platform/rtkit.h"

namespace {

struct PosixThread {
    pthread_t thread;
    LPTHREAD_START_ROUTINE routine;
    void* parameter;
    std::mutex lock;
    std::condition_variable changed;
    pid_t tid = 0;  // kernel id, known before CreateThread returns
    bool suspended = false;
    bool ended = false;
    bool closed = false;  // its handle was closed while it ran: it frees the record itself
};

PosixThread* Thread(HANDLE handle) {
    return reinterpret_cast<PosixThread*>(handle);
}

void* ThreadMain(void* argument) {
    PosixThread* self = static_cast<PosixThread*>(argument);
    {
        std::unique_lock<std::mutex> held(self->lock);
        self->tid = static_cast<pid_t>(syscall(SYS_gettid));
        self->changed.notify_all();
        self->changed.wait(held, [self] { return !self->suspended; });
    }
    self->routine(self->parameter);
    bool orphaned;
    {
        std::lock_guard<std::mutex> hold(self->lock);
        self->ended = true;
        orphaned = self->closed;
        self->changed.notify_all();
    }
    if (orphaned) delete self;
    return nullptr;
}

HANDLE PosixCreate(LPTHREAD_START_ROUTINE routine, void* parameter, bool suspended,
                   uint32_t* threadId) {
    PosixThread* record = new (std::nothrow) PosixThread;
    if (record == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    record->routine = routine;
    record->parameter = parameter;
    record->suspended = suspended;
    // The new thread starts with the signals that end a session blocked, so that they reach
    // the main thread, whose blocking reads they are meant to cut short.
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) sigaddset(&blocked, sig);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    int created = pthread_create(&record->thread, nullptr, ThreadMain, record);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (created != 0) {
        delete record;
        errno = created;
        return nullptr;
    }
    std::unique_lock<std::mutex> held(record->lock);
    record->changed.wait(held, [record] { return record->tid != 0; });
    if (threadId != nullptr) *threadId = static_cast<uint32_t>(record->tid);
    return reinterpret_cast<HANDLE>(record);
}

char RealtimeRefusal[256] = "RLIMIT_RTPRIO is 0?";  // why the last request was refused

// Real-time first (SCHED_FIFO, else from RealtimeKit where the program asks it: RtkitUse);
// where both refuse, the lowest nice value the limits allow.
int PosixSetPriority(HANDLE handle, int priority) {
    PosixThread* record = Thread(handle);
    int top = sched_get_priority_max(SCHED_FIFO);
    sched_param param{};
    if (priority == THREAD_PRIORITY_TIME_CRITICAL) {
        param.sched_priority = top;
    } else if (priority == THREAD_PRIORITY_HIGHEST) {
        param.sched_priority = top / 2;
    } else {
        return 0;
    }
    if (pthread_setschedparam(record->thread, SCHED_FIFO, &param) == 0) return 1;
    // Refused by the limits: a desktop grants real time through RealtimeKit instead.
    std::string why;
    if (ThreadRealtimeGrant == nullptr) {
        std::snprintf(RealtimeRefusal, sizeof RealtimeRefusal,
                      "RLIMIT_RTPRIO is 0 and RealtimeKit was not asked");
    } else if (ThreadRealtimeGrant(record->tid, param.sched_priority, &why)) {
        return 1;
    } else {
        std::snprintf(RealtimeRefusal, sizeof RealtimeRefusal,
                      "RLIMIT_RTPRIO is 0 and RealtimeKit refused: %s", why.c_str());
    }
    if (priority == THREAD_PRIORITY_TIME_CRITICAL) return 0;
    for (int nice = -20; nice < 0; ++nice)
        if (setpriority(PRIO_PROCESS, static_cast<id_t>(record->tid), nice) == 0) return 1;
    return 1;  // the default nice value is already as high as this process may go
}

}  // namespace

bool (*ThreadRealtimeGrant)(pid_t tid, int priority, std::string* why) = nullptr;
const ThreadBackend ThreadPosixBackend = {PosixCreate, PosixSetPriority};
const ThreadBackend* ThreadActiveBackend = &ThreadPosixBackend;

HANDLE CreateThread(void* attributes, size_t stackSize, LPTHREAD_START_ROUTINE routine,
                    void* parameter, uint32_t creationFlags, uint32_t* threadId) {
    if (attributes != nullptr || stackSize != 0 || routine == nullptr) return nullptr;
    return ThreadActiveBackend->Create(routine, parameter, (creationFlags & CREATE_SUSPENDED) != 0,
                                       threadId);
}

const char* ThreadRealtimeRefusal() {
    return RealtimeRefusal;
}

int SetThreadPriority(HANDLE thread, int priority) {
    return thread ? ThreadActiveBackend->SetPriority(thread, priority) : 0;
}

uintptr_t SetThreadAffinityMask(HANDLE handle, uintptr_t mask) {
    PosixThread* record = Thread(handle);
    if (record == nullptr || mask == 0) return 0;
    cpu_set_t previous, wanted;
    CPU_ZERO(&wanted);
    for (int cpu = 0; cpu < int(8 * sizeof mask) && cpu < CPU_SETSIZE; ++cpu)
        if (mask >> cpu & 1) CPU_SET(cpu, &wanted);
    if (pthread_getaffinity_np(record->thread, sizeof previous, &previous) != 0 ||
        pthread_setaffinity_np(record->thread, sizeof wanted, &wanted) != 0)
        return 0;
    uintptr_t old = 0;
    for (int cpu = 0; cpu < int(8 * sizeof old) && cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &previous)) old |= uintptr_t(1) << cpu;
    return old;
}

uint32_t ResumeThread(HANDLE handle) {
    PosixThread* record = Thread(handle);
    std::lock_guard<std::mutex> hold(record->lock);
    uint32_t previous = record->suspended ? 1 : 0;
    record->suspended = false;
    record->changed.notify_all();
    return previous;
}

uint32_t WaitForSingleObject(HANDLE handle, uint32_t milliseconds) {
    PosixThread* record = Thread(handle);
    std::unique_lock<std::mutex> held(record->lock);
    auto ended = [record] { return record->ended; };
    if (milliseconds == INFINITE) {
        record->changed.wait(held, ended);
        return WAIT_OBJECT_0;
    }
    bool done = record->changed.wait_for(held, std::chrono::milliseconds(milliseconds), ended);
    return done ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

int CloseHandle(HANDLE handle) {
    PosixThread* record = Thread(handle);
    if (record == nullptr) return 0;
    {
        // A thread still running keeps using its record: it is detached and frees the
        // record when its routine returns.
        std::lock_guard<std::mutex> hold(record->lock);
        if (!record->ended) {
            record->closed = true;
            pthread_detach(record->thread);
            return 1;
        }
    }
    pthread_join(record->thread, nullptr);
    delete record;
    return 1;
}

void Sleep(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
