// console_key.cpp - one key from /dev/tty without echo. The terminal is switched to
// non-canonical mode without echo and without signal keys for the read only; the saved
// settings are put back on return and from the handlers of the signals that end a process.
#include "platform/console_key.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

// Shared with the signal handler, which is installed only while they hold the terminal and
// the settings to put back.
int TtyFd = -1;
termios SavedTermios;

constexpr int RestoredSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int RestoredSignalCount = sizeof(RestoredSignals) / sizeof(RestoredSignals[0]);

// Async-signal-safe: puts the terminal back, then lets the signal act as if unhandled.
void RestoreAndReraise(int sig) {
    tcsetattr(TtyFd, TCSANOW, &SavedTermios);
    signal(sig, SIG_DFL);
    raise(sig);
}

// Reads one byte from fd, giving up when wakeFd becomes readable first.
int ReadKey(int fd, int wakeFd) {
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (poll(fds, wakeFd >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) return -1;
        if (fds[1].revents != 0) return ConsoleKeyWoken;
        if (fds[0].revents == 0) continue;
        unsigned char byte;
        ssize_t got = read(fd, &byte, 1);
        if (got == 1) return byte;
        if (got == 0 || errno != EINTR) return -1;
    }
}

}  // namespace

int ConsoleKeyRead(int wakeFd) {
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;  // no controlling terminal
    termios raw;
    if (tcgetattr(fd, &raw) != 0) {
        close(fd);
        return -1;
    }
    TtyFd = fd;
    SavedTermios = raw;

    struct sigaction restoring = {};
    restoring.sa_handler = RestoreAndReraise;
    sigemptyset(&restoring.sa_mask);
    struct sigaction previous[RestoredSignalCount];
    bool replaced[RestoredSignalCount] = {};
    for (int i = 0; i < RestoredSignalCount; ++i) {
        sigaction(RestoredSignals[i], nullptr, &previous[i]);
        replaced[i] = previous[i].sa_handler == SIG_DFL;
        if (replaced[i]) sigaction(RestoredSignals[i], &restoring, nullptr);
    }

    raw.c_lflag &= ~(ICANON | ECHO | ISIG);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    int key = -1;
    if (tcsetattr(fd, TCSANOW, &raw) == 0) key = ReadKey(fd, wakeFd);

    tcsetattr(fd, TCSANOW, &SavedTermios);
    for (int i = 0; i < RestoredSignalCount; ++i)
        if (replaced[i]) sigaction(RestoredSignals[i], &previous[i], nullptr);
    TtyFd = -1;
    close(fd);
    return key;
}
