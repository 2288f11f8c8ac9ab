// session_signals.cpp - the signal handlers of the bench session and their self-pipe. The
// handler is async-signal-safe: it stores the signal number and writes one byte.
#include "app/session_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

constexpr int EndingSignals[] = {SIGINT, SIGTERM, SIGHUP};
int WakePipe[2] = {-1, -1};
volatile sig_atomic_t EndSignal = 0;

void OnEndingSignal(int sig) {
    int saved = errno;
    if (EndSignal == 0) EndSignal = sig;
    ssize_t ignored = write(WakePipe[1], "", 1);  // a full pipe is readable already
    (void)ignored;
    errno = saved;
}

}  // namespace

bool SessionSignalsCatch() {
    if (WakePipe[0] < 0 && pipe2(WakePipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction action = {};
    action.sa_handler = OnEndingSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : EndingSignals) sigaction(sig, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return true;
}

int SessionWakeFd() {
    return WakePipe[0];
}

int SessionEndSignal() {
    return EndSignal;
}

void SessionSignalReraise() {
    int sig = EndSignal;
    if (sig == 0) return;
    fflush(nullptr);  // what the run printed last ("Done.") is not lost with the process
    signal(sig, SIG_DFL);
    raise(sig);
}
