// worker.cpp - the kept thread of worker.h: it sleeps on a condition until a job or the end
// is handed over; the job's end is published through a flag the caller reads without a lock.
#include "platform/worker.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>

#include "platform/threads.h"

struct Worker {
    HANDLE thread = nullptr;
    std::mutex lock;
    std::condition_variable changed;
    WorkerJob* job = nullptr;  // the job handed over and not yet ended
    void* parameter = nullptr;
    bool ending = false;
    std::atomic<bool> idle{true};
};

namespace {

uint32_t WorkerMain(void* argument) {
    Worker* w = static_cast<Worker*>(argument);
    std::unique_lock<std::mutex> held(w->lock);
    for (;;) {
        w->changed.wait(held, [w] { return w->job != nullptr || w->ending; });
        if (w->job == nullptr) return 0;
        WorkerJob* job = w->job;
        void* parameter = w->parameter;
        held.unlock();
        job(parameter);
        held.lock();
        w->job = nullptr;
        w->idle.store(true, std::memory_order_release);
        w->changed.notify_all();
    }
}

}  // namespace

Worker* WorkerCreate() {
    Worker* w = new (std::nothrow) Worker;
    if (w == nullptr) return nullptr;
    w->thread = CreateThread(nullptr, 0, WorkerMain, w, 0, nullptr);
    if (w->thread == nullptr) {
        delete w;
        return nullptr;
    }
    return w;
}

void WorkerPost(Worker* w, WorkerJob* job, void* parameter) {
    {
        std::lock_guard<std::mutex> hold(w->lock);
        w->job = job;
        w->parameter = parameter;
        w->idle.store(false, std::memory_order_relaxed);
    }
    w->changed.notify_all();
}

bool WorkerIdle(const Worker* w) {
    return w->idle.load(std::memory_order_acquire);
}

void WorkerWait(Worker* w) {
    std::unique_lock<std::mutex> held(w->lock);
    w->changed.wait(held, [w] { return w->job == nullptr; });
}

void WorkerDestroy(Worker* w) {
    if (w == nullptr) return;
    {
        std::lock_guard<std::mutex> hold(w->lock);
        w->ending = true;
    }
    w->changed.notify_all();
    WaitForSingleObject(w->thread, INFINITE);
    CloseHandle(w->thread);
    delete w;
}
