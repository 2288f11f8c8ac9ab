// record_test.cpp - `oplbench --record` ended every way a session ends: SIGINT, SIGTERM and
// SIGHUP end it in order with a complete file, SIGKILL leaves a file every reader opens with
// all but the last second, and a full disk is reported once and makes the exit status 1 while
// the session plays on. Each test runs its own sound server, kept busy by a silent stream.
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>

#include "tests/app/app_test_files.h"
#include "tests/app/bench_process.h"
#include "tests/app/private_server.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const LastHelpLine = "Slots: M, 0-3 (M equals slot 0)\n";

// The file grows by whole 10 ms buffers at the device's pace, which is the sound server's
// clock, not ours: three buffers of slack, far below a lost second. Sanitizer builds render
// several times slower and their timing says nothing of the program's; there the file need
// only hold all but the last second, as after SIGKILL.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double SignalSlack = 1.0;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr double SignalSlack = 1.0;
#else
constexpr double SignalSlack = 0.030;
#endif
#else
constexpr double SignalSlack = 0.030;
#endif

// Seconds of sound in the WAV file as libsndfile reads it (-1: it does not open).
double SndfileSeconds(const std::string& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (f == nullptr) return -1;
    sf_close(f);
    return double(info.frames) / info.samplerate;
}

// The same through Python's wave module (-1: it does not open; -2: no Python here).
double PythonWaveSeconds(const std::string& path) {
    std::string cmd = "python3 -c \"import wave; w = wave.open('" + path +
                      "'); print(w.getnframes() / w.getframerate())\" 2>/dev/null";
    if (system("python3 -c 'import wave' 2>/dev/null") != 0) return -2;
    FILE* f = popen(cmd.c_str(), "r");
    double seconds = -1;
    if (f == nullptr || fscanf(f, "%lf", &seconds) != 1) seconds = -1;
    if (f != nullptr) pclose(f);
    return seconds;
}

class RecordTest : public testing::Test {
   protected:
    void SetUp() override {
        dir = ScratchDirMake();
        ASSERT_FALSE(dir.empty());
        ASSERT_TRUE(WriteToneVgm(dir + "/low.vgm", LowTone));
        ASSERT_EQ(mkdir((dir + "/server").c_str(), 0700), 0);
        if (!PrivateServerStart(&server, dir + "/server"))
            GTEST_SKIP() << "no sound server of the test's own could be started";
        ASSERT_TRUE(PrivateServerKeepBusy(&server));
    }
    void TearDown() override {
        BenchClose(&p);
        PrivateServerStop(&server);
        if (mounted) umount((dir + "/full").c_str());
        ScratchDirRemove(dir);
    }
    // Starts a recording session playing the looping tone and waits until its file (as a
    // reader sees it) holds half a second: the sound flows. Returns that moment and the
    // seconds then in the file; the file holds at least that much more by every later moment.
    std::pair<Clock::time_point, double> StartPlaying(const std::string& wav,
                                                      bool waitForFlow = true) {
        EXPECT_TRUE(BenchStart(&p, false, server.env, {"--record", wav}));
        EXPECT_TRUE(BenchWaitFor(&p, LastHelpLine, 5000)) << p.printed;
        BenchSend(&p, "L0 " + dir + "/low.vgm\nPM0\n");
        EXPECT_TRUE(BenchWaitFor(&p, "VGM loaded into slot 0.\n", 5000)) << p.printed;
        for (int waited = 0; waitForFlow && waited < 10000; waited += 20) {
            double seconds = SndfileSeconds(wav);
            if (seconds >= 0.5) return {Clock::now(), seconds};
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (waitForFlow) ADD_FAILURE() << "the recording does not grow";
        return {Clock::now(), 0};
    }
    // Seconds the file must hold now: what it held at `at`, plus the time since.
    static double PlayedSince(const std::pair<Clock::time_point, double>& at) {
        return at.second + std::chrono::duration<double>(Clock::now() - at.first).count();
    }
    std::string dir;
    PrivateServer server;
    BenchProcess p;
    bool mounted = false;
};

TEST_F(RecordTest, EndingSignalsLeaveACompleteFile) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        std::string wav = dir + "/" + std::to_string(sig) + ".wav";
        auto flowing = StartPlaying(wav);
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        double played = PlayedSince(flowing);
        kill(p.pid, sig);
        int status = BenchFinish(&p, 5000);
        EXPECT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == sig)
            << "status " << status;
        EXPECT_NE(p.printed.find("Quit.\nDone.\n"), std::string::npos) << p.printed;
        EXPECT_NE(p.errors.find("session ended\n"), std::string::npos) << p.errors;
        EXPECT_GE(SndfileSeconds(wav), played - SignalSlack) << p.errors;
        double python = PythonWaveSeconds(wav);
        if (python != -2) {
            EXPECT_GE(python, played - SignalSlack);
        }
        BenchClose(&p);
        p = BenchProcess();
    }
}

TEST_F(RecordTest, KilledSessionLeavesAllButTheLastSecond) {
    std::string wav = dir + "/killed.wav";
    auto flowing = StartPlaying(wav);
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    double played = PlayedSince(flowing);
    kill(p.pid, SIGKILL);
    BenchFinish(&p, 5000);
    EXPECT_GE(SndfileSeconds(wav), played - 1.0);
    double python = PythonWaveSeconds(wav);
    if (python != -2) {
        EXPECT_GE(python, played - 1.0);
    }
}

TEST_F(RecordTest, FullDiskIsReportedOnceAndTheExitStatusIsOne) {
    std::string full = dir + "/full";
    ASSERT_EQ(mkdir(full.c_str(), 0700), 0);
    if (mount("tmpfs", full.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
    mounted = true;
    std::string wav = full + "/session.wav";
    StartPlaying(wav, false);  // 64 KiB hold about 0.7 s
    const std::string message =
        "oplbench: recording to " + wav +
        " failed: No space left on device; the session goes on without it\n";
    for (int waited = 0; waited < 5000 && p.errors.find(message) == std::string::npos;
         waited += 100)
        BenchWaitFor(&p, "never printed", 100);
    // Other notices (an underrun on a busy machine) may come too; this one comes once.
    size_t at = p.errors.find(message);
    EXPECT_NE(at, std::string::npos) << p.errors;
    EXPECT_EQ(p.errors.find("recording to", at + message.size()), std::string::npos) << p.errors;
    BenchSend(&p, "S\n\n");  // the session still takes commands, and quits
    int status = BenchFinish(&p, 5000);
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 1)
        << "status " << status;
    EXPECT_NE(p.printed.find("Quit.\nDone.\n"), std::string::npos) << p.printed;
    EXPECT_GT(SndfileSeconds(wav), 0.5) << "what fitted is a readable file";
}

}  // namespace
