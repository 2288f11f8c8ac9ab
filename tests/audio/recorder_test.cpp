// recorder_test.cpp - the session recorder under faults: its header is kept current while it
// runs (a reader opens the file mid-recording), a write that fails (disk full, a short write,
// a header that cannot be rewritten, a file removed) is reported once and fails the recording
// while the feeding goes on, a stalled disk loses frames the feeder never waits for and says
// how many, and a writer thread or memory that cannot be had leaves no stream and no file.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio.h"
#include "audio/wavfile/wavfile.h"
#include "platform/threads.h"
#include "tests/audio/alloc_probe.h"

namespace {

const AudioDriver* const Drivers[] = {&WavFileDriver, nullptr};

std::atomic<int> WritesLeft{0};  // writes that still succeed before the fault
int FaultErrno = 0;              // the fault: -1 with this errno, or (0) half a write, then 0

ssize_t FailingWrite(int fd, const void* data, size_t bytes) {
    if (WritesLeft.fetch_sub(1) > 0) return write(fd, data, bytes);
    if (FaultErrno != 0) {
        errno = FaultErrno;
        return -1;
    }
    static bool halfDone = false;
    halfDone = !halfDone;
    return halfDone ? write(fd, data, bytes / 2) : 0;
}

// Fails the writes that go to the start of the file (the header) while armed.
std::atomic<bool> HeaderFails{false};
ssize_t HeaderFailingWrite(int fd, const void* data, size_t bytes) {
    if (HeaderFails.load() && lseek(fd, 0, SEEK_CUR) == 0) {
        errno = EIO;
        return -1;
    }
    return write(fd, data, bytes);
}

// Holds every write while the disk is stalled.
std::atomic<bool> Stalled{false};
ssize_t StallingWrite(int fd, const void* data, size_t bytes) {
    while (Stalled.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return write(fd, data, bytes);
}

// Polls until done() holds, for at most five seconds (the writer thread's pace is the
// machine's, so a test waits for what it looks for instead of for a fixed time).
template <typename Done>
bool WaitFor(Done done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

HANDLE NoThread(LPTHREAD_START_ROUTINE, void*, bool, uint32_t*) {
    return nullptr;
}
const ThreadBackend NoThreads = {NoThread, ThreadPosixBackend.SetPriority};

// Frames a reader finds in the file now (-1: it does not open).
long FramesInFile(const std::string& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (f == nullptr) return -1;
    sf_close(f);
    return long(info.frames);
}

class Recorder : public ::testing::Test {
   protected:
    void SetUp() override {
        char name[] = "/tmp/oplbench-recorder-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
        path = dir + "/rec.wav";
        ASSERT_EQ(AudioInit(Drivers), 0);
        ASSERT_EQ(AudioStreamOpen(), 0);
        main = AudioCurrentStream;
        main->options.channels = 1;  // 44100 Hz mono 16-bit
    }
    void TearDown() override {
        WavFileWriteCall = write;
        ThreadActiveBackend = &ThreadPosixBackend;
        AudioDeinit();
        std::string cmd = "rm -rf " + dir;
        EXPECT_EQ(system(cmd.c_str()), 0);
    }
    AudioStream* Listener() const { return main->listeners ? main->listeners->stream : nullptr; }
    uint64_t FramesWritten() const { return WavFileFramesWritten(Listener()->instance); }
    // Feeds blocks of 441 frames of a ramp that goes on from call to call, as the feeder would;
    // returns the last WriteData result.
    uint8_t FeedRamp(int blocks) {
        int16_t buffer[441];
        uint8_t last = 0;
        for (int i = 0; i < blocks; ++i) {
            for (int16_t& sample : buffer) sample = int16_t(ramp++);
            AudioStream* l = Listener();
            last = l->driver->WriteData(l->instance, sizeof buffer, buffer);
        }
        return last;
    }
    // Feeds 10 ms at a time until the recorder says it failed (true), for at most 5 s.
    bool FeedUntilFailed() {
        return WaitFor([this] { return Feed(0.01) == WavFileWriteFailed; });
    }
    uint32_t ramp = 0;
    // Feeds seconds of a ramp through the recorder as the feeder would, 10 ms at a time.
    uint8_t Feed(double seconds) {
        std::vector<int16_t> buffer(441);
        uint8_t last = 0;
        for (int i = 0; i < int(seconds * 100); ++i) {
            for (size_t k = 0; k < buffer.size(); ++k) buffer[k] = int16_t(k * 50);
            AudioStream* l = Listener();
            last = l->driver->WriteData(l->instance, uint32_t(buffer.size() * 2), buffer.data());
        }
        return last;
    }
    std::string dir, path;
    AudioStream* main = nullptr;
};

TEST_F(Recorder, HeaderIsCurrentWhileRecordingAndWholeAfter) {
    ASSERT_EQ(WavFileRecordStream(main, path.c_str()), 0);
    ASSERT_EQ(Feed(1.0), 0);
    EXPECT_TRUE(WaitFor([this] { return FramesInFile(path) == 44100; }))
        << "a reader mid-recording sees what was fed, " << FramesInFile(path) << " frames";
    ASSERT_EQ(Feed(0.5), 0);
    AudioStream* l = Listener();
    EXPECT_EQ(l->driver->Stop(l->instance), WavFileOk);
    EXPECT_EQ(FramesInFile(path), 66150);
}

TEST_F(Recorder, DiskFullIsReportedOnceAndFailsTheRecording) {
    ASSERT_EQ(WavFileRecordStream(main, path.c_str()), 0);
    WritesLeft = 1;
    FaultErrno = ENOSPC;
    WavFileWriteCall = FailingWrite;
    testing::internal::CaptureStderr();
    Feed(0.5);
    EXPECT_TRUE(FeedUntilFailed()) << "the feeder learns it without waiting";
    AudioStream* l = Listener();
    EXPECT_EQ(l->driver->Stop(l->instance), WavFileWriteFailed);
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(errors, "recording to " + path +
                          " failed: No space left on device; the session goes on without it\n");
    EXPECT_LT(FramesInFile(path), 44100);
}

TEST_F(Recorder, ShortWriteIsReportedOnce) {
    ASSERT_EQ(WavFileRecordStream(main, path.c_str()), 0);
    WritesLeft = 0;
    FaultErrno = 0;
    WavFileWriteCall = FailingWrite;
    testing::internal::CaptureStderr();
    Feed(0.5);
    AudioStream* l = Listener();
    EXPECT_EQ(l->driver->Stop(l->instance), WavFileWriteFailed);
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(errors, "recording to " + path +
                          " failed: the file took a short write; the session goes on without it\n");
}

TEST_F(Recorder, AHeaderThatCannotBeRewrittenOrARemovedFileIsReportedOnce) {
    WavFileWriteCall = HeaderFailingWrite;
    HeaderFails = false;
    ASSERT_EQ(WavFileRecordStream(main, path.c_str()), 0);
    testing::internal::CaptureStderr();
    Feed(0.1);
    ASSERT_TRUE(WaitFor([this] { return FramesWritten() == 4410; }));
    HeaderFails = true;  // the frames still go out; the next header update does not
    EXPECT_TRUE(FeedUntilFailed());
    AudioStream* l = Listener();
    EXPECT_EQ(l->driver->Stop(l->instance), WavFileWriteFailed);
    HeaderFails = false;
    EXPECT_EQ(
        testing::internal::GetCapturedStderr(),
        "recording to " + path + " failed: Input/output error; the session goes on without it\n");

    ASSERT_EQ(l->driver->Start(l->instance, 0, &main->options, nullptr), 0);
    testing::internal::CaptureStderr();
    Feed(0.1);
    ASSERT_EQ(unlink(path.c_str()), 0);
    EXPECT_TRUE(FeedUntilFailed());
    EXPECT_EQ(l->driver->Stop(l->instance), WavFileWriteFailed);
    EXPECT_EQ(
        testing::internal::GetCapturedStderr(),
        "recording to " + path + " failed: the file was removed; the session goes on without it\n");
}

// The ring holds about six seconds at 44100 Hz; frames that pass its end come out in order.
TEST_F(Recorder, EveryFrameComesOutInOrderPastTheRingsEnd) {
    ASSERT_EQ(WavFileRecordStream(main, path.c_str()), 0);
    for (int round = 1; round <= 2; ++round) {
        ASSERT_EQ(FeedRamp(300), 0);  // 3 s
        ASSERT_TRUE(WaitFor([&] { return FramesWritten() == uint64_t(round) * 300 * 441; }))
            << FramesWritten();
    }
    AudioStream* l = Listener();
    ASSERT_EQ(l->driver->Stop(l->instance), WavFileOk);
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    std::vector<int16_t> samples(size_t(info.frames));
    EXPECT_EQ(sf_read_short(f, samples.data(), sf_count_t(samples.size())), 600 * 441);
    sf_close(f);
    size_t wrong = 0;
    for (size_t i = 0; i < samples.size(); ++i) wrong += samples[i] != int16_t(i);
    EXPECT_EQ(wrong, 0u);
}

// While the disk stalls, the feeder never waits: what does not fit the ring is lost, and
// the recorder says how much once the disk takes writes again. 594 blocks of 441 frames fit
// the ring of 262,144 frames; the other 206 (90,846 frames) are lost.
TEST_F(Recorder, AStalledDiskLosesWhatTheRingCannotHoldAndSaysHowMuch) {
    WavFileWriteCall = StallingWrite;
    ASSERT_EQ(WavFileRecordStream(main, path.c_str()), 0);  // its header goes out now
    Stalled = true;
    testing::internal::CaptureStderr();
    EXPECT_EQ(FeedRamp(800), 0);
    Stalled = false;
    AudioStream* l = Listener();
    EXPECT_EQ(l->driver->Stop(l->instance), WavFileOk) << "what was kept is written whole";
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "recording to " + path + " lost 2060 ms: the file system kept it waiting\n");
    EXPECT_EQ(FramesInFile(path), 594 * 441);
}

// Memory refused at any point of starting a recorder: no listener, no stream, no file.
TEST_F(Recorder, RefusedMemoryAnywhereLeavesNothingBehind) {
    int failures = 0;
    for (int n = 1; n < 20; ++n) {
        SCOPED_TRACE(n);
        AllocProbeFailNth(n);
        uint8_t r = WavFileRecordStream(main, path.c_str());
        AllocProbeFailNth(0);
        if (r == 0) break;
        ++failures;
        EXPECT_TRUE(r == WavFileNoMemory || r == AudioNoMemory) << int(r);
        EXPECT_EQ(Listener(), nullptr);
        EXPECT_EQ(AudioCurrentStream, main);
        EXPECT_NE(access(path.c_str(), F_OK), 0) << "no file is left";
    }
    EXPECT_GE(failures, 4) << "instance, ring, writer thread and listener";
    ASSERT_NE(Listener(), nullptr);
    EXPECT_EQ(Feed(0.1), 0);
}

TEST_F(Recorder, NoWriterThreadLeavesNothingBehind) {
    ThreadActiveBackend = &NoThreads;
    EXPECT_EQ(WavFileRecordStream(main, path.c_str()), WavFileNoMemory);
    EXPECT_STREQ(WavFileLastError(), "no thread for the file writer");
    EXPECT_EQ(Listener(), nullptr);
    EXPECT_EQ(AudioCurrentStream, main);
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "the empty file is removed";
    ThreadActiveBackend = &ThreadPosixBackend;
    EXPECT_EQ(WavFileRecordStream(main, path.c_str()), 0) << "and a later try works";
}

}  // namespace
