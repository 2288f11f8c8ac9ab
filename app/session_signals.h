// session_signals.h - how SIGINT, SIGTERM and SIGHUP end a bench session in order: the
// handler only notes the signal and makes a self-pipe readable; the command loop and the key
// wait watch that pipe and end, and the run takes everything down as at a quit.
#pragma once

// Installs the handlers (no SA_RESTART, so a blocked read returns early) and ignores SIGPIPE,
// so that a closed standard output shows as a failed write. Main thread, before the device
// starts; threads made later block these signals (platform/threads), so the main thread or
// a library thread takes them, and either way the pipe wakes the main thread.
bool SessionSignalsCatch();
// Readable once one of the signals has come; -1 before SessionSignalsCatch.
int SessionWakeFd();
// The first signal that came, or 0.
int SessionEndSignal();
// Gives the signal its default action and raises it, so that the parent sees the process
// ended by it (after the run has ended in order). Returns only when no signal came.
void SessionSignalReraise();
