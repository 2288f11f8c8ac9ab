// refusals.cpp - the wrappers behind refusals.h, between the platform code and the C library.
#include "tests/platform/refusals.h"

#include <dbus/dbus.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <cerrno>

std::atomic<bool> RefuseThreads{false}, RefuseRealTime{false}, RefuseNice{false};
std::atomic<int> NiceAsked{99};
std::atomic<int> NiceGiven{99};
std::atomic<bool> RefuseGetRlimit{false}, RefuseSetRlimit{false};
std::atomic<int> FailDbusCallNth{0};

extern "C" {
int __real_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
int __real_pthread_setschedparam(pthread_t, int, const sched_param*);
int __real_setpriority(int, id_t, int);
int __real_getrlimit(int, rlimit*);
int __real_setrlimit(int, const rlimit*);
DBusMessage* __real_dbus_message_new_method_call(const char*, const char*, const char*,
                                                 const char*);

int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                          void* (*routine)(void*), void* parameter) {
    if (RefuseThreads.load()) return EAGAIN;
    return __real_pthread_create(thread, attributes, routine, parameter);
}
int __wrap_pthread_setschedparam(pthread_t thread, int policy, const sched_param* param) {
    if (RefuseRealTime.load() && policy == SCHED_FIFO) return EPERM;
    return __real_pthread_setschedparam(thread, policy, param);
}
int __wrap_setpriority(int which, id_t who, int nice) {
    NiceAsked.store(nice);
    if (RefuseNice.load()) {
        errno = EACCES;
        return -1;
    }
    int result = __real_setpriority(which, who, nice);
    if (result == 0) NiceGiven.store(nice);
    return result;
}
int __wrap_getrlimit(int resource, rlimit* limit) {
    if (RefuseGetRlimit.load()) {
        errno = EPERM;
        return -1;
    }
    return __real_getrlimit(resource, limit);
}
int __wrap_setrlimit(int resource, const rlimit* limit) {
    if (RefuseSetRlimit.load()) {
        errno = EPERM;
        return -1;
    }
    return __real_setrlimit(resource, limit);
}
DBusMessage* __wrap_dbus_message_new_method_call(const char* destination, const char* path,
                                                 const char* interface, const char* method) {
    if (FailDbusCallNth.load() > 0 && FailDbusCallNth.fetch_sub(1) == 1) return nullptr;
    return __real_dbus_message_new_method_call(destination, path, interface, method);
}
}
