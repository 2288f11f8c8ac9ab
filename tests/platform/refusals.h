// refusals.h - the system's refusals on request, for the platform tests: the test binary is
// linked with --wrap=pthread_create,--wrap=pthread_setschedparam,--wrap=setpriority, so the
// stand-ins' calls pass through these wrappers, which refuse while a flag says so.
#pragma once

#include <atomic>

extern std::atomic<bool> RefuseThreads;   // pthread_create answers EAGAIN
extern std::atomic<bool> RefuseRealTime;  // pthread_setschedparam to SCHED_FIFO answers EPERM
extern std::atomic<bool> RefuseNice;      // setpriority fails with EACCES
extern std::atomic<int> NiceAsked;        // the last nice value asked for
extern std::atomic<int> NiceGiven;        // the last one the system gave
