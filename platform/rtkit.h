// rtkit.h - real-time priority from the desktop's RealtimeKit service over the system D-Bus:
// how a desktop grants it to a user whose limits (RLIMIT_RTPRIO 0) refuse SCHED_FIFO.
#pragma once

#include <sys/types.h>

#include <string>

// Asks the service to run thread tid of this process under SCHED_RR at priority (lowered to
// the most the service grants). The service grants it only to a process whose RLIMIT_RTTIME
// bounds how long a real-time thread may run without sleeping: the limit is set to the
// service's bound first where it is higher. False with *why when there is no service, it
// refuses, or it does not answer within a second. Blocks for the call; not for the render
// path.
bool RtkitMakeThreadRealtime(pid_t tid, int priority, std::string* why);

// From now on SetThreadPriority puts a real-time request the limits refuse to the service.
// Programs that want real time on a desktop call it once (waveOutOpen does); the others never
// link the D-Bus client and its libraries, which cost a few milliseconds of start-up.
// Controlling thread only.
void RtkitUse();
// What SetThreadPriority asks when SCHED_FIFO is refused: null (nothing) until RtkitUse.
extern bool (*ThreadRealtimeGrant)(pid_t tid, int priority, std::string* why);
