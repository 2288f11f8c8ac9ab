// threads.h - the thread calls the WinMM driver makes, standing in for the Windows ones on
// POSIX threads: create suspended, set priority, resume, wait with a time-out, close, sleep.
// There is no TerminateThread: forcing a POSIX thread to end could leave a lock held.
#pragma once

#include <cstddef>
#include <cstdint>

typedef struct HANDLE__* HANDLE;
typedef uint32_t (*LPTHREAD_START_ROUTINE)(void* parameter);

constexpr uint32_t CREATE_SUSPENDED = 0x00000004;
constexpr int THREAD_PRIORITY_HIGHEST = 2;
constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;
constexpr uint32_t WAIT_OBJECT_0 = 0;
constexpr uint32_t WAIT_TIMEOUT = 0x00000102;
constexpr uint32_t INFINITE = 0xFFFFFFFFu;

// All of these run on the controlling thread, except Sleep, which any thread may call.

// Starts routine(parameter) on a new thread; with CREATE_SUSPENDED it waits for ResumeThread
// before the routine runs. attributes must be null; stackSize 0 is the default. Null on failure,
// with errno saying why (EAGAIN: the system has no thread to give).
HANDLE CreateThread(void* attributes, size_t stackSize, LPTHREAD_START_ROUTINE routine,
                    void* parameter, uint32_t creationFlags, uint32_t* threadId);
// TIME_CRITICAL asks for the highest real-time priority, HIGHEST for a lower real-time one,
// falling back to the lowest nice value the process may set. Nonzero on success.
int SetThreadPriority(HANDLE thread, int priority);
// Keeps the thread on the processors of mask (bit n: processor n). The previous mask, or 0
// when the system refused.
uintptr_t SetThreadAffinityMask(HANDLE thread, uintptr_t mask);
// Why real time was refused, for a message: the limits and RealtimeKit's answer.
const char* ThreadRealtimeRefusal();
// Lets a suspended thread run; returns the previous suspend count (0 or 1).
uint32_t ResumeThread(HANDLE thread);
// WAIT_OBJECT_0 once the thread's routine has returned, WAIT_TIMEOUT after milliseconds.
uint32_t WaitForSingleObject(HANDLE thread, uint32_t milliseconds);
// Releases the handle: joins a thread that has ended, detaches one still running.
int CloseHandle(HANDLE thread);
void Sleep(uint32_t milliseconds);

// --- Backend -------------------------------------------------------------------------------
// CreateThread and SetThreadPriority forward to ThreadActiveBackend so that tests can make
// them fail; the POSIX versions are exported for a double to fall back on.
typedef HANDLE ThreadCreateFunction(LPTHREAD_START_ROUTINE routine, void* parameter, bool suspended,
                                    uint32_t* threadId);
struct ThreadBackend {
    ThreadCreateFunction* Create;
    int (*SetPriority)(HANDLE thread, int priority);
};

extern const ThreadBackend ThreadPosixBackend;
extern const ThreadBackend* ThreadActiveBackend;
