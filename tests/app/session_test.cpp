// session_test.cpp - the built oplbench run as a user runs it, against the real audio path:
// the transcript of a session from the driver line to "Done.", line ends and long lines on
// standard input, the sound on a PulseAudio null sink while music and an effect play and
// after the music stops, and the way the program ends without a terminal.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/app_test_files.h"
#include "tests/app/bench_process.h"
#include "tools/vgmwriter/vgmwriter.h"

namespace {

const std::string SessionStart =
    std::string("Using driver WinMM.\nOpening Device 0 ...\n") + HelpTextPrinted;

// A null sink of the test's own, so that other tests playing meanwhile are not recorded.
struct PrivateSink {
    std::string name;
    std::string module;
};

bool PrivateSinkLoad(PrivateSink* sink) {
    sink->name = "oplbench_app_" + std::to_string(getpid());
    std::string cmd = "pactl load-module module-null-sink sink_name=" + sink->name + " 2>/dev/null";
    FILE* f = popen(cmd.c_str(), "r");
    if (f == nullptr) return false;
    char buf[64] = {};
    bool ok = fgets(buf, sizeof(buf), f) != nullptr;
    int status = pclose(f);
    sink->module = std::string(buf);
    while (!sink->module.empty() && sink->module.back() == '\n') sink->module.pop_back();
    if (!ok || status != 0) sink->module.clear();
    return !sink->module.empty();
}

void PrivateSinkUnload(const PrivateSink& sink) {
    std::string cmd = "pactl unload-module " + sink.module + " 2>/dev/null";
    EXPECT_EQ(system(cmd.c_str()), 0);
}

// parec recording mono 16-bit samples at 44100 Hz from a PulseAudio source.
struct Recorder {
    pid_t pid = -1;
    int fd = -1;
};

bool RecorderStart(Recorder* r, const std::string& source) {
    int out[2];
    if (pipe(out) != 0) return false;
    r->pid = fork();
    if (r->pid < 0) return false;
    if (r->pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        std::string device = "--device=" + source;
        execlp("parec", "parec", device.c_str(), "--format=s16le", "--rate=44100", "--channels=1",
               "--raw", "--latency-msec=20", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    r->fd = out[0];
    return true;
}

// The next count samples of the recording (fewer if it ends).
std::vector<int16_t> RecorderRead(Recorder* r, size_t count) {
    std::vector<int16_t> samples(count);
    size_t bytes = 0;
    while (bytes < count * 2) {
        ssize_t got =
            read(r->fd, reinterpret_cast<char*>(samples.data()) + bytes, count * 2 - bytes);
        if (got <= 0) break;
        bytes += static_cast<size_t>(got);
    }
    samples.resize(bytes / 2);
    return samples;
}

void RecorderStop(Recorder* r) {
    if (r->pid > 0) {
        kill(r->pid, SIGTERM);
        waitpid(r->pid, nullptr, 0);
        close(r->fd);
    }
    r->pid = r->fd = -1;
}

double Rms(const std::vector<int16_t>& s) {
    double sum = 0;
    for (int16_t v : s) sum += static_cast<double>(v) * v;
    return s.empty() ? 0 : std::sqrt(sum / static_cast<double>(s.size()));
}

// Amplitude of the component at hz (Goertzel over the whole recording).
double AmplitudeAt(const std::vector<int16_t>& s, double hz) {
    double w = 2 * M_PI * hz / 44100.0, c = 2 * std::cos(w), s1 = 0, s2 = 0;
    for (int16_t v : s) {
        double s0 = v + c * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    double power = s1 * s1 + s2 * s2 - c * s1 * s2;
    return s.empty() ? 0 : 2 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(s.size());
}

// One window of the recording: its level and the amplitudes of the two tones.
struct Phase {
    double rms = 0, low = 0, high = 0;
};

// Listens in windows of 100 ms until one satisfies wanted (returned) or timeoutMs of sound
// has gone by (the last window is returned). Waiting on the sound itself, not on a clock,
// keeps the test independent of the output's start-up time and latency.
template <typename Wanted>
Phase ListenFor(Recorder* r, Wanted wanted, int timeoutMs) {
    Phase last;
    for (int heard = 0; heard < timeoutMs; heard += 100) {
        std::vector<int16_t> s = RecorderRead(r, 4410);
        if (s.size() < 4410) break;
        last = {Rms(s), AmplitudeAt(s, ToneHz(LowTone)), AmplitudeAt(s, ToneHz(HighTone))};
        if (wanted(last)) break;
    }
    return last;
}

class SessionTest : public testing::Test {
   protected:
    void SetUp() override {
        if (!NullSinkAvailable())
            GTEST_SKIP() << "no private sound server with the null sink oplbench_null";
        dir = ScratchDirMake();
        ASSERT_FALSE(dir.empty());
        ASSERT_TRUE(WriteToneVgm(Path("low.vgm"), LowTone));
        ASSERT_TRUE(WriteToneVgm(Path("high.vgm"), HighTone));
    }
    void TearDown() override {
        BenchClose(&p);
        RecorderStop(&recorder);
        if (!sink.module.empty()) PrivateSinkUnload(sink);
        ScratchDirRemove(dir);
    }
    std::string Path(const char* name) const { return dir + "/" + name; }
    std::string dir;
    BenchProcess p;     // a session the test drives step by step
    PrivateSink sink;   // loaded by the tests that record
    Recorder recorder;  // parec on the sink's monitor
};

constexpr size_t CommandLineLimit = 65536;  // the longest line the console runs

std::vector<uint8_t> GzipBytes(const std::vector<uint8_t>& data) {
    uLongf size = compressBound(uLong(data.size())) + 32;
    std::vector<uint8_t> out(size);
    z_stream zs{};
    deflateInit2(&zs, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    zs.next_in = const_cast<uint8_t*>(data.data());
    zs.avail_in = uInt(data.size());
    zs.next_out = out.data();
    zs.avail_out = uInt(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

bool ExitedWithZero(int status) {
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(SessionTest, TranscriptFromDriverToDone) {
    BenchResult r = BenchRunScript("L0 " + Path("low.vgm") +
                                   "\n"
                                   "l1 " +
                                   Path("missing.vgm") +
                                   "\n"
                                   "L4 " +
                                   Path("low.vgm") +
                                   "\n"
                                   "pm0\n"
                                   "PX0\n"
                                   "P04\n"
                                   "P70\n"
                                   "Q\n"
                                   "S\n"
                                   "E\n"
                                   "R\n"
                                   "L0\n"
                                   "\n"
                                   "Unknown lines after the quit are not read\n");
    EXPECT_EQ(r.printed, SessionStart +
                             "VGM loaded into slot 0.\n"
                             "Load Error 0xFF\n"
                             "Wrong File Slot!\n"
                             "Wrong Channel!\n"
                             "Wrong File Slot!\n"
                             "Unknown Command!\n"
                             "Load Error 0xFF\n"
                             "Quit.\n"
                             "Done.\n");
    EXPECT_TRUE(ExitedWithZero(r.status)) << "status " << r.status;
}

TEST_F(SessionTest, EndOfInputQuitsAndLineEndsAreKeptApart) {
    // CR LF lines, a line of 300 characters and one of exactly 255 (each one line, the
    // second leaving no empty line behind to quit), and a last line without a line end
    // whose last character is part of the name.
    BenchResult r = BenchRunScript("L1 " + Path("low.vgm") + "\r\n" + std::string(300, 'q') + "\n" +
                                   std::string(255, 'q') +
                                   "\n"
                                   "L2 " +
                                   Path("high.vgm"));
    EXPECT_EQ(r.printed, SessionStart +
                             "VGM loaded into slot 1.\n"
                             "Unknown Command!\n"
                             "Unknown Command!\n"
                             "VGM loaded into slot 2.\n"
                             "Quit.\n"
                             "Done.\n");
    EXPECT_TRUE(ExitedWithZero(r.status)) << "status " << r.status;
}

TEST_F(SessionTest, LongLinesRunWholeAndLoadFailuresSayWhy) {
    // A path of 4,000 characters loads; a line of 5,000 with command letters and line-sized
    // pieces inside fails as one load (the name is too long for the system); a line over the
    // limit is one unknown command.
    std::string longPath;
    while (longPath.size() < 4000) longPath += "./";
    longPath = dir + "/" + longPath + "low.vgm";
    std::string tooLong = Path("") + std::string(255, 'E') + "/P21/S/" + std::string(255, 'R');
    while (tooLong.size() < 4997) tooLong += "/E" + std::string(200, 'P');
    tooLong.resize(4997);
    std::vector<uint8_t> notVgm(100, 'x'), oldVersion;
    ASSERT_TRUE(VgmSaveBytes(Path("text.vgm").c_str(), notVgm));
    FILE* f = fopen(Path("low.vgm").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    for (int c; (c = fgetc(f)) != EOF;) oldVersion.push_back(uint8_t(c));
    fclose(f);
    std::vector<uint8_t> damaged = GzipBytes(oldVersion);
    damaged.resize(damaged.size() / 2);  // the stream breaks off
    ASSERT_TRUE(VgmSaveBytes(Path("cut.vgz").c_str(), damaged));
    oldVersion[8] = 0x10;  // version 1.10
    oldVersion[9] = 0x01;
    ASSERT_TRUE(VgmSaveBytes(Path("old.vgm").c_str(), oldVersion));

    BenchResult r = BenchRunScript("L0 " + longPath + "\nL1 " + tooLong + "\n" +
                                   std::string(CommandLineLimit + 10, 'L') + "\nL2 " +
                                   Path("missing.vgm") + "\nL2 " + Path("text.vgm") + "\nL2 " +
                                   Path("old.vgm") + "\nL2 " + Path("cut.vgz") + "\nL3\n");
    EXPECT_EQ(r.printed, SessionStart +
                             "VGM loaded into slot 0.\n"
                             "Load Error 0xFF\n"
                             "Unknown Command!\n"
                             "Load Error 0xFF\n"
                             "Load Error 0x80\n"
                             "Load Error 0x81\n"
                             "Load Error 0xFE\n"
                             "Load Error 0xFF\n"
                             "Quit.\n"
                             "Done.\n");
    EXPECT_EQ(r.errors, "oplbench: " + tooLong + ": File name too long\n" +  //
                            "oplbench: " + Path("missing.vgm") + ": No such file or directory\n" +
                            "oplbench: " + Path("text.vgm") + ": not a VGM file\n" + "oplbench: " +
                            Path("old.vgm") + ": version 1.10, needs 1.50 or later\n" +
                            "oplbench: " + Path("cut.vgz") + ": damaged gzip stream\n" +
                            "oplbench: no file name given\n");
    EXPECT_TRUE(ExitedWithZero(r.status)) << "status " << r.status;
}

TEST_F(SessionTest, ClosedOutputEndsTheSessionWithStatusOne) {
    // As under "| head -1": the reader goes away after the first line.
    ASSERT_TRUE(BenchStart(&p, false));
    ASSERT_TRUE(BenchWaitFor(&p, "Using driver WinMM.\n", 5000)) << p.printed;
    close(p.output);
    p.output = -1;
    BenchSend(&p, "E\nR\nX\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int status = BenchFinish(&p, 5000);
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 1)
        << "status " << status;
}

TEST_F(SessionTest, ArgumentsGetTheUsageLine) {
    BenchResult r = BenchRunScript("", {}, {"--no-such-option"});
    EXPECT_EQ(r.printed, "");
    ASSERT_NE(r.status, -1);
    EXPECT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 2);
}

// --- Sound on the sink -------------------------------------------------------------------

TEST_F(SessionTest, MusicAndEffectAreHeardAndStopSilences) {
    ASSERT_TRUE(PrivateSinkLoad(&sink)) << "cannot load a null sink of the test's own";
    ASSERT_TRUE(RecorderStart(&recorder, sink.name + ".monitor"));
    ASSERT_TRUE(BenchStart(&p, false, {{"PULSE_SINK", sink.name}}));
    BenchSend(&p, "L0 " + Path("low.vgm") + "\nL1 " + Path("high.vgm") + "\n");
    ASSERT_TRUE(BenchWaitFor(&p, "VGM loaded into slot 1.\n", 5000)) << p.printed;

    BenchSend(&p, "PM0\n");  // the looping low tone as music
    Phase onset = ListenFor(
        &recorder, [](const Phase& w) { return w.low > 300; }, 5000);
    EXPECT_GT(onset.low, 300) << "music is not heard";
    // The window in which the music starts holds silence and the attack as well; its level
    // is measured in the next, steady one.
    Phase music = ListenFor(
        &recorder, [](const Phase&) { return true; }, 100);
    EXPECT_GT(music.low, 0.5 * music.rms);
    EXPECT_LT(music.high, music.low / 30);

    BenchSend(&p, "P31\n");  // the high tone as an effect on SFX track 3, over the music
    Phase both = ListenFor(
        &recorder, [&](const Phase& w) { return w.high > 0.5 * music.low; }, 5000);
    EXPECT_GT(both.high, 0.5 * music.low) << "the effect is not heard";
    EXPECT_GT(both.low, 0.5 * music.low) << "the music is not heard with the effect";

    BenchSend(&p, "S\nSM\n");
    Phase stopped = ListenFor(
        &recorder, [&](const Phase& w) { return w.rms < music.rms / 100; }, 5000);
    EXPECT_LT(stopped.rms, music.rms / 100) << "not silent after the stops";
    // Silent for good: the next half second holds nothing either.
    Phase after = ListenFor(
        &recorder, [&](const Phase& w) { return w.rms >= music.rms / 100; }, 500);
    EXPECT_LT(after.rms, music.rms / 100) << "sound came back after the stops";

    BenchSend(&p, "\n");
    int status = BenchFinish(&p, 5000);
    EXPECT_TRUE(ExitedWithZero(status)) << "status " << status;
    EXPECT_NE(p.printed.find("Quit.\nDone.\n"), std::string::npos) << p.printed;
}

}  // namespace
