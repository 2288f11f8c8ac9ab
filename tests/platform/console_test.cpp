// console_test.cpp - the console's two ways of meeting the user, on a pseudo-terminal and a
// pipe of the test's own: the one-key read at quit (a child process makes the terminal its
// controlling one) and the notices on standard error (cut to one line, one write each).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/console_key.h"
#include "platform/notice.h"
#include "tests/platform/open_fds.h"

namespace {

// --- The key read --------------------------------------------------------------------------

// A child process in a session of its own whose controlling terminal is the slave of a new
// pseudo-terminal; the test holds the master. The child exits with what ConsoleKeyRead
// returned plus 2 (so -2..255 fit an exit status), or dies of a signal.
struct KeyChild {
    pid_t pid = -1;
    int master = -1;
};

bool SlaveEcho(int master) {
    termios t;
    return tcgetattr(master, &t) == 0 && (t.c_lflag & ECHO) != 0;
}

// Waits until the child has switched the terminal's echo to `on` (the read is waiting).
bool WaitForEcho(int master, bool on) {
    for (int waited = 0; waited < 5000; waited += 5) {
        if (SlaveEcho(master) == on) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

volatile sig_atomic_t Handled = 0;
void CountSignal(int) {
    Handled = Handled + 1;
}

// The terminal's calls failing on request: the test binary is linked with --wrap for
// tcgetattr, tcsetattr, poll and read, and a child sets the fault before it reads a key.
enum class Fault {
    None,
    SettingsUnreadable,
    RawModeRefused,
    PollFails,
    ReadInterrupted,
    ReadFails
};
Fault Injected = Fault::None;

}  // namespace

extern "C" {
int __real_tcgetattr(int, termios*);
int __real_tcsetattr(int, int, const termios*);
int __real_poll(pollfd*, nfds_t, int);
ssize_t __real_read(int, void*, size_t);

int __wrap_tcgetattr(int fd, termios* settings) {
    if (Injected == Fault::SettingsUnreadable) {
        errno = EIO;
        return -1;
    }
    return __real_tcgetattr(fd, settings);
}
int __wrap_tcsetattr(int fd, int when, const termios* settings) {
    if (Injected == Fault::RawModeRefused && (settings->c_lflag & ECHO) == 0) {
        errno = EIO;
        return -1;
    }
    return __real_tcsetattr(fd, when, settings);
}
int __wrap_poll(pollfd* fds, nfds_t count, int timeoutMs) {
    if (Injected == Fault::PollFails) {
        errno = ENOMEM;
        return -1;
    }
    return __real_poll(fds, count, timeoutMs);
}
ssize_t __wrap_read(int fd, void* data, size_t size) {
    if (Injected == Fault::ReadFails || Injected == Fault::ReadInterrupted) {
        errno = Injected == Fault::ReadFails ? EIO : EINTR;
        Injected = Fault::None;  // once
        return -1;
    }
    return __real_read(fd, data, size);
}
}

namespace {

enum class Child { Read, ReadWithWake, ReadHandlingSignal, ReadIgnoringHangup, NoTerminal };

// What a child returns when the read left a descriptor open or a signal's action changed.
constexpr int LeftAnFdOpen = 240, LeftASignalChanged = 241;

KeyChild StartChild(Child kind, int wakeFd = -1, Fault fault = Fault::None) {
    KeyChild c;
    int slave = -1;
    if (openpty(&c.master, &slave, nullptr, nullptr, nullptr) != 0) return c;
    c.pid = fork();
    if (c.pid == 0) {
        close(c.master);
        setsid();
        if (kind != Child::NoTerminal) ioctl(slave, TIOCSCTTY, 0);
        close(slave);
        if (kind == Child::ReadHandlingSignal) {
            struct sigaction counting = {};
            counting.sa_handler = CountSignal;  // no SA_RESTART: the wait sees EINTR
            sigaction(SIGUSR1, &counting, nullptr);
            sigaction(SIGTERM, &counting, nullptr);
        }
        if (kind == Child::ReadIgnoringHangup) signal(SIGHUP, SIG_IGN);  // as under nohup
        int fds = OpenFds();
        struct sigaction term, hangup;
        sigaction(SIGTERM, nullptr, &term);
        sigaction(SIGHUP, nullptr, &hangup);
        Injected = fault;
        int key = ConsoleKeyRead(wakeFd);
        Injected = Fault::None;
        struct sigaction termAfter, hangupAfter;
        sigaction(SIGTERM, nullptr, &termAfter);
        sigaction(SIGHUP, nullptr, &hangupAfter);
        if (kind == Child::ReadHandlingSignal && Handled == 0) key = 1000;
        if (termAfter.sa_handler != term.sa_handler || hangupAfter.sa_handler != hangup.sa_handler)
            key = LeftASignalChanged;
        if (OpenFds() != fds) key = LeftAnFdOpen;
        exit(key + 2);  // exit, not _exit: the process's own end-of-run work runs
    }
    close(slave);
    return c;
}

// The child's result: its exit status less 2, or -100 - signal when a signal ended it.
int Finish(KeyChild* c) {
    int status = 0;
    if (waitpid(c->pid, &status, 0) != c->pid) return -1000;
    if (c->master >= 0) close(c->master);
    c->master = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) - 2 : -100 - WTERMSIG(status);
}

TEST(ConsoleKey, ReadsOneKeyWithoutEchoAndPutsTheTerminalBack) {
    KeyChild c = StartChild(Child::Read);
    ASSERT_GT(c.pid, 0);
    ASSERT_TRUE(WaitForEcho(c.master, false)) << "echo stayed on";
    termios raw;
    ASSERT_EQ(tcgetattr(c.master, &raw), 0);
    EXPECT_EQ(raw.c_lflag & (ICANON | ISIG), 0u);
    ASSERT_EQ(write(c.master, "\x03z", 2), 2);  // Ctrl-C comes as a key, not as a signal
    termios after;
    ASSERT_TRUE(WaitForEcho(c.master, true));
    ASSERT_EQ(tcgetattr(c.master, &after), 0);
    EXPECT_EQ(Finish(&c), 3);
    EXPECT_EQ(after.c_lflag & (ECHO | ICANON | ISIG), tcflag_t(ECHO | ICANON | ISIG));
}

TEST(ConsoleKey, WakeEndsTheWaitAndAHandledSignalDoesNot) {
    int wake[2];
    ASSERT_EQ(pipe(wake), 0);
    KeyChild c = StartChild(Child::ReadWithWake, wake[0]);
    ASSERT_GT(c.pid, 0);
    ASSERT_TRUE(WaitForEcho(c.master, false));
    ASSERT_EQ(write(wake[1], "w", 1), 1);
    EXPECT_EQ(Finish(&c), ConsoleKeyWoken);
    close(wake[0]);
    close(wake[1]);

    // SIGTERM with a handler of the program's own reaches that handler; the wait goes on
    // (interrupted, not ended) until the key comes.
    c = StartChild(Child::ReadHandlingSignal);
    ASSERT_GT(c.pid, 0);
    ASSERT_TRUE(WaitForEcho(c.master, false));
    ASSERT_EQ(kill(c.pid, SIGTERM), 0);
    ASSERT_EQ(kill(c.pid, SIGUSR1), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(SlaveEcho(c.master)) << "the signal ended the wait";
    ASSERT_EQ(write(c.master, "k", 1), 1);
    EXPECT_EQ(Finish(&c), 'k');
}

TEST(ConsoleKey, DefaultSignalRestoresTheTerminalAndHangupAndNoTerminalEndTheRead) {
    KeyChild c = StartChild(Child::Read);
    ASSERT_GT(c.pid, 0);
    ASSERT_TRUE(WaitForEcho(c.master, false));
    ASSERT_EQ(kill(c.pid, SIGHUP), 0);
    ASSERT_TRUE(WaitForEcho(c.master, true)) << "the terminal was left without echo";
    EXPECT_EQ(Finish(&c), -100 - SIGHUP);

    // The terminal goes away while the read waits (its hangup signal ignored): the read ends
    // with -1, no hang.
    c = StartChild(Child::ReadIgnoringHangup);
    ASSERT_GT(c.pid, 0);
    ASSERT_TRUE(WaitForEcho(c.master, false));
    close(c.master);
    c.master = -1;
    EXPECT_EQ(Finish(&c), -1);

    c = StartChild(Child::NoTerminal);
    ASSERT_GT(c.pid, 0);
    EXPECT_EQ(Finish(&c), -1);
}

// The terminal's own calls failing: the read ends with -1 at once, with the terminal's
// settings, the signals' actions and the descriptors as they were; an interrupted read of
// the key is tried again.
TEST(ConsoleKey, FailingTerminalCallsEndTheReadAndLeaveEverythingAsItWas) {
    for (Fault fault : {Fault::SettingsUnreadable, Fault::RawModeRefused, Fault::PollFails}) {
        SCOPED_TRACE(int(fault));
        KeyChild c = StartChild(Child::Read, -1, fault);
        ASSERT_GT(c.pid, 0);
        int master = dup(c.master);  // the terminal stays to be looked at after the child
        EXPECT_EQ(Finish(&c), -1);
        termios after;
        ASSERT_EQ(tcgetattr(master, &after), 0);
        close(master);
        EXPECT_EQ(after.c_lflag & (ECHO | ICANON | ISIG), tcflag_t(ECHO | ICANON | ISIG));
    }
    for (Fault fault : {Fault::ReadInterrupted, Fault::ReadFails}) {
        SCOPED_TRACE(int(fault));
        KeyChild c = StartChild(Child::Read, -1, fault);
        ASSERT_GT(c.pid, 0);
        ASSERT_TRUE(WaitForEcho(c.master, false));
        ASSERT_EQ(write(c.master, "k", 1), 1);
        ASSERT_TRUE(WaitForEcho(c.master, true));
        EXPECT_EQ(Finish(&c), fault == Fault::ReadFails ? -1 : 'k');
    }
}

// --- Notices -------------------------------------------------------------------------------

// Runs one notice with standard error on a pipe and returns what it wrote.
template <typename... Args>
std::string NoticeText(const char* prefix, const char* format, Args... args) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return "no pipe";
    int savedErr = dup(2);
    dup2(pipeFds[1], 2);
    const char* savedPrefix = NoticePrefix;
    NoticePrefix = prefix;
    Notice(format, args...);
    NoticePrefix = savedPrefix;
    dup2(savedErr, 2);
    close(savedErr);
    close(pipeFds[1]);
    std::string text;
    char buffer[512];
    for (ssize_t got; (got = read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, got);
    close(pipeFds[0]);
    return text;
}

TEST(Notice, OneLineWithItsPrefixCutToSizeAndNeverOverrun) {
    EXPECT_EQ(NoticeText("oplbench: ", "device %s lost (%d)", "hw:0", 19),
              "oplbench: device hw:0 lost (19)\n");
    EXPECT_EQ(NoticeText("p: ", "%s", ""), "p: \n");  // nothing to say still ends the line
    std::string longPrefix(100, 'p');
    std::string longText(400, 't');
    // The prefix keeps at most 64 bytes, the line at most 255 plus its end.
    EXPECT_EQ(NoticeText(longPrefix.c_str(), "%s", "x"), std::string(64, 'p') + "x\n");
    std::string cut = NoticeText("", "%s", longText.c_str());
    EXPECT_EQ(cut, std::string(254, 't') + "\n");
    cut = NoticeText(longPrefix.c_str(), "%s", longText.c_str());
    EXPECT_EQ(cut, std::string(64, 'p') + std::string(190, 't') + "\n");
}

}  // namespace
