// view_test.cpp - oplbench --view end to end in a terminal of its own (a private tmux
// server on a socket in the test's scratch directory): the channel rows show the effect
// taking chip channel 2 and giving it back, and the terminal is put back (normal screen,
// line mode with echo) after the quit and after SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "tests/app/app_test_files.h"
#include "tests/app/bench_process.h"

namespace {

class ViewTest : public testing::Test {
   protected:
    void SetUp() override {
        if (!NullSinkAvailable()) GTEST_SKIP() << "no PulseAudio null sink oplbench_null";
        if (system("command -v tmux >/dev/null 2>&1") != 0) GTEST_SKIP() << "no tmux";
        dir = ScratchDirMake();
        ASSERT_FALSE(dir.empty());
        ASSERT_TRUE(WriteToneVgm(dir + "/music.vgm", LowTone));
        ASSERT_TRUE(WriteToneVgm(dir + "/effect.vgm", HighTone));
        // The shell stays after the program, to show how it left the terminal.
        std::ofstream(dir + "/run.sh") << "exec 2>&1\n"
                                       << BenchPath() << " --view\n"
                                       << "echo \"view-exit $?\"\nstty -a\nsleep 60\n";
        ASSERT_EQ(Tmux("new-session -d -x 110 -y 36 'sh " + dir + "/run.sh'", nullptr), 0);
        ASSERT_TRUE(ScreenShows("Slots: M, 0-3")) << Screen();
    }
    void TearDown() override {
        if (dir.empty()) return;
        Tmux("kill-server", nullptr);
        ScratchDirRemove(dir);
    }
    int Tmux(const std::string& args, std::string* out) {
        std::string command = "tmux -S " + dir + "/tmux.sock -f /dev/null " + args;
        FILE* p = popen(command.c_str(), "r");
        if (!p) return -1;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            if (out) out->append(buf, n);
        return pclose(p);
    }
    std::string Screen() {
        std::string s;
        Tmux("capture-pane -p", &s);
        return s;
    }
    bool ScreenShows(const std::string& text, int timeoutMs = 5000) {
        for (int waited = 0; waited < timeoutMs; waited += 50) {
            if (Screen().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    void Type(const std::string& line) {
        Tmux("send-keys -l '" + line + "'\\; send-keys Enter", nullptr);
    }
    std::string Format(const char* format) {
        std::string s;
        Tmux(std::string("display -p '") + format + "'", &s);
        return s;
    }
    // The owner column of chip channel c's row, once the screen shows want there.
    bool OwnerIs(int c, const std::string& want) {
        return ScreenShows("\n " + std::to_string(c) + " " + want + " ", 3000);
    }
    // The view has left and the shell says how: normal screen, line mode, echo.
    void ExpectTerminalRestored(const std::string& exit) {
        ASSERT_TRUE(ScreenShows("view-exit " + exit)) << Screen();
        std::string screen = Screen();
        EXPECT_EQ(Format("#{alternate_on}"), "0\n") << "still on the view's screen";
        std::istringstream words(screen.substr(screen.find("view-exit")));
        bool icanon = false, echo = false;
        for (std::string w; words >> w;) {
            icanon |= w == "icanon";
            echo |= w == "echo";
        }
        EXPECT_TRUE(icanon && echo) << screen;
        EXPECT_NE(screen.find("Quit."), std::string::npos) << screen;
        EXPECT_NE(screen.find("Done."), std::string::npos) << screen;
    }
    std::string dir;
};

TEST_F(ViewTest, EffectTakesChannelTwoAndGivesItBackThenQuitRestoresTheTerminal) {
    EXPECT_EQ(Format("#{alternate_on}"), "1\n");
    Type("LM " + dir + "/music.vgm");
    Type("L1 " + dir + "/effect.vgm");
    Type("PMM");
    Type("P21");
    ASSERT_TRUE(OwnerIs(2, "SFX 2")) << Screen();
    for (int c : {0, 1, 3, 4, 5, 6, 7, 8}) EXPECT_TRUE(OwnerIs(c, "music")) << c << Screen();
    EXPECT_TRUE(ScreenShows("VGM loaded into slot 1.")) << "the message log";
    Type("S2");
    EXPECT_TRUE(OwnerIs(2, "music")) << Screen();
    Type("");
    ExpectTerminalRestored("0");
}

TEST_F(ViewTest, SigtermEndsTheViewAndRestoresTheTerminal) {
    Type("LM " + dir + "/music.vgm");
    Type("PMM");
    ASSERT_TRUE(OwnerIs(0, "music")) << Screen();
    std::string shell = Format("#{pane_pid}");
    std::ifstream children("/proc/" + std::to_string(std::stoi(shell)) + "/task/" +
                           std::to_string(std::stoi(shell)) + "/children");
    int bench = 0;
    ASSERT_TRUE(children >> bench);
    ASSERT_EQ(kill(bench, SIGTERM), 0);
    ExpectTerminalRestored(std::to_string(128 + SIGTERM));  // ended in order, then by the signal
}

}  // namespace
