// worker.h - a thread kept for jobs that run beside the caller's own work (files written, a
// picture drawn while a render runs). The caller hands it one job at a time and never waits
// for a thread to start, which on a busy machine can take a whole time slice.
#pragma once

struct Worker;
typedef void WorkerJob(void* parameter);

// Starts the thread; null when the system has no thread to give (the caller then runs its
// jobs itself).
Worker* WorkerCreate();
// Hands job(parameter) to the thread. The last job must have ended (WorkerIdle, WorkerWait).
void WorkerPost(Worker* worker, WorkerJob* job, void* parameter);
// True once the last job handed over has ended, whose writes the caller then sees. Takes no
// lock and makes no system call: for a render loop to ask often.
bool WorkerIdle(const Worker* worker);
// Waits until the last job handed over has ended.
void WorkerWait(Worker* worker);
// Waits for the last job, ends the thread and frees the worker; null is let be.
void WorkerDestroy(Worker* worker);
