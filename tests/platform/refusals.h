// refusals.h - the system's refusals on request, for the platform tests: the test binary is
// linked with --wrap for pthread_create, pthread_setschedparam, setpriority, getrlimit,
// setrlimit and dbus_message_new_method_call, so the stand-ins' calls pass through these
// wrappers, which refuse while a flag says so.
#pragma once

#include <atomic>

extern std::atomic<bool> RefuseThreads;    // pthread_create answers EAGAIN
extern std::atomic<bool> RefuseRealTime;   // pthread_setschedparam to SCHED_FIFO answers EPERM
extern std::atomic<bool> RefuseNice;       // setpriority fails with EACCES
extern std::atomic<int> NiceAsked;         // the last nice value asked for
extern std::atomic<int> NiceGiven;         // the last one the system gave
extern std::atomic<bool> RefuseGetRlimit;  // getrlimit fails with EPERM
extern std::atomic<bool> RefuseSetRlimit;  // setrlimit fails with EPERM
// The Nth dbus_message_new_method_call from the platform code from now on answers nullptr, as
// libdbus does without memory (0: none); counted down by each call.
extern std::atomic<int> FailDbusCallNth;
