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
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/app_test_files.h"
#include "tests/app/bench_process.h"
#include "tests/app/private_server.h"
#include "tests/app/tone_server_test.h"

namespace {

const char* const LastHelpLine = "Slots: M, 0-3 (M equals slot 0)\n";

// The WAV file's own account of itself, in frames: what its data chunk declares and what
// follows the chunk's start on disk (both -1: no fmt or data chunk found). A complete file
// declares exactly what it holds.
struct WavAccount {
    int64_t declared = -1;
    int64_t onDisk = -1;
    uint32_t rate = 0;
};

WavAccount WavAccountOf(const std::string& path) {
    WavAccount account;
    std::vector<uint8_t> bytes;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        uint8_t block[65536];
        for (size_t n; (n = fread(block, 1, sizeof block, f)) > 0;)
            bytes.insert(bytes.end(), block, block + n);
        fclose(f);
    }
    auto le32 = [&](size_t at) {
        return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
               uint32_t(bytes[at + 3]) << 24;
    };
    if (bytes.size() < 12 || memcmp(bytes.data(), "RIFF", 4) != 0 ||
        memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        return account;
    uint32_t blockAlign = 0;
    for (size_t at = 12; at + 8 <= bytes.size();) {
        uint32_t size = le32(at + 4);
        if (memcmp(bytes.data() + at, "fmt ", 4) == 0 && at + 24 <= bytes.size()) {
            account.rate = le32(at + 12);
            blockAlign = uint32_t(bytes[at + 20]) | uint32_t(bytes[at + 21]) << 8;
        } else if (memcmp(bytes.data() + at, "data", 4) == 0) {
            if (account.rate == 0 || blockAlign == 0) return account;
            account.declared = size / blockAlign;
            account.onDisk = int64_t(bytes.size() - (at + 8)) / blockAlign;
            return account;
        }
        at += 8 + size + (size & 1);
    }
    return account;
}

// Frames in the WAV file as libsndfile reads it (-1: it does not open).
int64_t SndfileFrames(const std::string& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (f == nullptr) return -1;
    sf_close(f);
    return info.frames;
}

// The same through Python's wave module (-1: it does not open; -2: no Python here).
int64_t PythonWaveFrames(const std::string& path) {
    std::string cmd =
        "python3 -c \"import wave; print(wave.open('" + path + "').getnframes())\" 2>/dev/null";
    if (system("python3 -c 'import wave' 2>/dev/null") != 0) return -2;
    FILE* f = popen(cmd.c_str(), "r");
    long long frames = -1;
    if (f == nullptr || fscanf(f, "%lld", &frames) != 1) frames = -1;
    if (f != nullptr) pclose(f);
    return frames;
}

class RecordTest : public ToneServerTest {
   protected:
    void TearDown() override {
        BenchClose(&p);
        if (mounted) umount((dir + "/full").c_str());
        ToneServerTest::TearDown();
    }
    // Starts a recording session playing the looping tone and, unless told not to, waits
    // until its file (as a reader sees it) holds half a second: the sound flows. Returns the
    // frames then in the file.
    int64_t StartPlaying(const std::string& wav, bool waitForFlow = true) {
        EXPECT_TRUE(BenchStart(&p, false, server.env, {"--record", wav}));
        EXPECT_TRUE(BenchWaitFor(&p, LastHelpLine, 5000)) << p.printed;
        BenchSend(&p, "L0 " + dir + "/low.vgm\nPM0\n");
        EXPECT_TRUE(BenchWaitFor(&p, "VGM loaded into slot 0.\n", 5000)) << p.printed;
        for (int waited = 0; waitForFlow && waited < 10000; waited += 20) {
            WavAccount now = WavAccountOf(wav);
            if (now.rate != 0 && now.declared >= now.rate / 2) return now.declared;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (waitForFlow) ADD_FAILURE() << "the recording does not grow";
        return 0;
    }
    BenchProcess p;
    bool mounted = false;
};

// The file grows at the device's pace, which is the sound server's clock and not ours, so
// what the session had written is read from the file itself just before the signal: after
// the session ends the header declares every byte of data on disk, none of that is lost, and
// every reader sees it all.
TEST_F(RecordTest, EndingSignalsLeaveACompleteFile) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        std::string wav = dir + "/" + std::to_string(sig) + ".wav";
        int64_t flowing = StartPlaying(wav);
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        int64_t written = WavAccountOf(wav).onDisk;
        EXPECT_GT(written, flowing) << "the recording kept growing";
        kill(p.pid, sig);
        int status = BenchFinish(&p, 5000);
        EXPECT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == sig)
            << "status " << status;
        EXPECT_NE(p.printed.find("Quit.\nDone.\n"), std::string::npos) << p.printed;
        EXPECT_NE(p.errors.find("session ended\n"), std::string::npos) << p.errors;
        WavAccount after = WavAccountOf(wav);
        EXPECT_EQ(after.declared, after.onDisk) << "the header declares all the data";
        EXPECT_GE(after.onDisk, written);
        EXPECT_EQ(SndfileFrames(wav), after.declared);
        int64_t python = PythonWaveFrames(wav);
        if (python != -2) {
            EXPECT_EQ(python, after.declared);
        }
        BenchClose(&p);
        p = BenchProcess();
    }
}

// After SIGKILL the header was last brought up to date at most half a second (and one look
// at the ring) before the last data reached the disk: every reader opens the file and sees
// all of it but at most its last second.
TEST_F(RecordTest, KilledSessionLeavesAllButTheLastSecond) {
    std::string wav = dir + "/killed.wav";
    StartPlaying(wav);
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    kill(p.pid, SIGKILL);
    BenchFinish(&p, 5000);
    WavAccount after = WavAccountOf(wav);
    ASSERT_GT(after.rate, 0u);
    EXPECT_GT(after.onDisk, after.rate / 2);
    EXPECT_GE(SndfileFrames(wav), after.onDisk - after.rate);
    int64_t python = PythonWaveFrames(wav);
    if (python != -2) {
        EXPECT_GE(python, after.onDisk - after.rate);
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
    WavAccount fitted = WavAccountOf(wav);
    EXPECT_GT(fitted.declared, fitted.rate / 2) << "what fitted is a readable file";
    EXPECT_EQ(SndfileFrames(wav), fitted.declared);
}

}  // namespace
