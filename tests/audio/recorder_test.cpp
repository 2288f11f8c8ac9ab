// recorder_test.cpp - the session recorder under faults: its header is kept current while it
// runs (a reader opens the file mid-recording), a write that fails (disk full, a short write)
// is reported once and fails the recording while the feeding goes on, and a writer thread
// that cannot be created leaves no stream and no file behind.
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
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(FramesInFile(path), 44100) << "a reader mid-recording sees all but the last moment";
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
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Feed(0.5);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(Feed(0.5), WavFileWriteFailed) << "the feeder learns it without waiting";
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
