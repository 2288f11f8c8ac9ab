// terminal_test.cpp - the quit on a real console: oplbench on a pseudo-terminal waits after
// "Quit." for exactly one key, which it reads without echo, and leaves the terminal as it
// found it, also when Ctrl-C is the key or a signal ends the wait.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/app/bench_process.h"

namespace {

const char* const LastHelpLine = "Slots: M, 0-3 (M equals slot 0)\r\n";

// Waits until the program has turned the terminal's echo off (or back on).
bool WaitForEcho(const BenchProcess& p, bool on, int timeoutMs) {
    for (int waited = 0; waited <= timeoutMs; waited += 10) {
        termios t;
        if (tcgetattr(p.terminal, &t) == 0 && ((t.c_lflag & ECHO) != 0) == on) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

bool LineModeWithEcho(const BenchProcess& p) {
    termios t;
    return tcgetattr(p.terminal, &t) == 0 &&
           (t.c_lflag & (ECHO | ICANON | ISIG)) == (ECHO | ICANON | ISIG);
}

class TerminalTest : public testing::Test {
   protected:
    void SetUp() override {
        if (!NullSinkAvailable())
            GTEST_SKIP() << "no private sound server with the null sink oplbench_null";
        ASSERT_TRUE(BenchStart(&p, true));
        ASSERT_TRUE(LineModeWithEcho(p));
        ASSERT_TRUE(BenchWaitFor(&p, LastHelpLine, 5000)) << p.printed;
        BenchSend(&p, "\n");  // the empty line: quit
        ASSERT_TRUE(BenchWaitFor(&p, "Quit.\r\n", 5000)) << p.printed;
        ASSERT_TRUE(WaitForEcho(p, false, 5000)) << "echo is still on at the key wait";
    }
    void TearDown() override { BenchClose(&p); }
    // What the program printed after "Quit.".
    std::string AfterQuit() const {
        size_t at = p.printed.find("Quit.\r\n");
        return at == std::string::npos ? p.printed : p.printed.substr(at + 7);
    }
    BenchProcess p;
};

TEST_F(TerminalTest, QuitWaitsForOneKeyAndDoesNotEchoIt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(BenchRunning(&p)) << "ended without a key";
    EXPECT_EQ(AfterQuit(), "");
    BenchSend(&p, "k");
    ASSERT_TRUE(BenchWaitFor(&p, "Done.\r\n", 5000)) << p.printed;
    termios after;
    ASSERT_EQ(tcgetattr(p.terminal, &after), 0);
    int status = BenchFinish(&p, 5000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_EQ(AfterQuit(), "Done.\r\n") << "the key was echoed";
    EXPECT_EQ(after.c_lflag & (ECHO | ICANON | ISIG), tcflag_t(ECHO | ICANON | ISIG));
}

TEST_F(TerminalTest, CtrlCIsTheKeyAndTheRunEndsInOrder) {
    BenchSend(&p, "\x03");
    ASSERT_TRUE(BenchWaitFor(&p, "Done.\r\n", 5000)) << p.printed;
    EXPECT_TRUE(WaitForEcho(p, true, 2000));
    EXPECT_TRUE(LineModeWithEcho(p));
    int status = BenchFinish(&p, 5000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_EQ(AfterQuit(), "Done.\r\n");
}

TEST_F(TerminalTest, SignalDuringTheWaitRestoresTheTerminal) {
    kill(p.pid, SIGTERM);
    int status = BenchFinish(&p, 5000);
    ASSERT_NE(status, -1);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
    EXPECT_TRUE(LineModeWithEcho(p)) << "the terminal was left without echo";
}

}  // namespace
