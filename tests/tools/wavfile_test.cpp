// wavfile_test.cpp - the WavFile output driver through its operation table and through the
// registry: its codes and states, the PCM it writes read back exactly, and the recorder
// attached as a listener receiving what the chain renders.
#include "audio/wavfile/wavfile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "tests/tools/tool_run.h"

namespace {

const AudioDriver& D = WavFileDriver;

class WavFile : public ::testing::Test {
   protected:
    void SetUp() override {
        dir_ = ToolScratchDir("wavfile");
        ASSERT_EQ(D.Create(&instance_), 0);
    }
    void TearDown() override { D.Destroy(instance_); }
    std::string Path(const char* name) const { return dir_ + "/" + name; }
    std::string dir_;
    void* instance_ = nullptr;
};

TEST_F(WavFile, CodesFollowTheStates) {
    AudioOptions mono = {22050, 1, 16, 10000, 0};
    int16_t samples[4] = {1, 2, 3, 4};
    EXPECT_EQ(D.Start(instance_, 0, &mono, nullptr), WavFileOpenFailed) << "no path yet";
    EXPECT_EQ(D.WriteData(instance_, sizeof samples, samples), WavFileNotRunning);
    EXPECT_EQ(D.Stop(instance_), WavFileNotRunning);
    EXPECT_EQ(D.Pause(instance_), WavFileNoFile);
    ASSERT_EQ(WavFileSetPath(instance_, Path("a.wav").c_str()), 0);
    EXPECT_EQ(D.Start(instance_, 1, &mono, nullptr), WavFileNoDevice);
    AudioOptions odd = {22050, 1, 24, 10000, 0};
    EXPECT_EQ(D.Start(instance_, 0, &odd, nullptr), WavFileOpenFailed);
    ASSERT_EQ(D.Start(instance_, 0, &mono, nullptr), 0);
    EXPECT_EQ(D.Start(instance_, 0, &mono, nullptr), WavFileRunning);
    EXPECT_EQ(WavFileSetPath(instance_, Path("b.wav").c_str()), WavFileRunning);
    EXPECT_EQ(D.IsBusy(instance_), 0);
    EXPECT_EQ(D.GetLatency(instance_), 0u);
    EXPECT_EQ(D.Stop(instance_), 0);
    EXPECT_EQ(D.Stop(instance_), WavFileNotRunning);
    WavFileSetPath(instance_, "/nonexistent/dir/c.wav");
    EXPECT_EQ(D.Start(instance_, 0, &mono, nullptr), WavFileOpenFailed);
    EXPECT_STREQ(WavFileLastError(), "No such file or directory");
    WavFileSetPath(instance_, nullptr);
    EXPECT_EQ(D.Start(instance_, 0, &mono, nullptr), WavFileOpenFailed);
    WavFileSetPath(instance_, Path("d.wav").c_str());
    for (AudioOptions bad :
         {AudioOptions{22050, 0, 16, 10000, 0}, AudioOptions{22050, 9, 16, 10000, 0},
          AudioOptions{0, 1, 16, 10000, 0}}) {
        EXPECT_EQ(D.Start(instance_, 0, &bad, nullptr), WavFileOpenFailed);
        EXPECT_STREQ(WavFileLastError(), "unsupported format");
    }
    EXPECT_EQ(D.Resume(instance_), WavFileNoFile);
    EXPECT_EQ(D.SetCallback(instance_, [](void*, uint32_t, void*) { return 0u; }), 0);
    EXPECT_EQ(D.IsBusy(instance_), 0x81);
    EXPECT_EQ(D.Init(), 0);
    EXPECT_EQ(D.Init(), 0x18) << "already initialised";
    EXPECT_EQ(D.Deinit(), 0);
    EXPECT_EQ(D.Deinit(), 0x18);
    // No options: the driver's own (44100 Hz mono 16-bit).
    ASSERT_EQ(D.Start(instance_, 0, nullptr, nullptr), 0);
    EXPECT_EQ(D.WriteData(instance_, 1, samples), 0) << "less than a frame writes nothing";
    EXPECT_EQ(D.Stop(instance_), 0);
    WavData w = ToolReadWav(Path("d.wav"));
    ASSERT_TRUE(w.ok);
    EXPECT_EQ(w.rate, 44100);
    EXPECT_EQ(w.channels, 1);
    EXPECT_TRUE(w.samples.empty());
}

TEST_F(WavFile, EightBitSamplesAreStoredAsTheyCome) {
    AudioOptions u8 = {8000, 1, 8, 10000, 0};
    WavFileSetPath(instance_, Path("u8.wav").c_str());
    ASSERT_EQ(D.Start(instance_, 0, &u8, nullptr), 0);
    uint8_t bytes[] = {0, 1, 127, 128, 129, 255};
    ASSERT_EQ(D.WriteData(instance_, sizeof bytes, bytes), 0);
    ASSERT_EQ(D.Stop(instance_), 0);
    WavData w = ToolReadWav(Path("u8.wav"));
    ASSERT_TRUE(w.ok);
    std::vector<int16_t> expected;
    for (uint8_t b : bytes) expected.push_back(int16_t((b - 128) * 256));
    EXPECT_EQ(w.samples, expected);
}

// --- Faults on the way to the disk (a stream written directly, as the renderer writes) ---------

int Calls = 0;           // writes asked of the system through the hook
int FailFrom = 0;        // this call (1-based) and every later one fails; 0: none
int FailErrno = 0;       // with this errno, or (0) as a short write of nothing
bool Interrupt = false;  // the next call is interrupted before it writes anything

ssize_t FaultyWrite(int fd, const void* data, size_t bytes) {
    ++Calls;
    if (Interrupt) {
        Interrupt = false;
        errno = EINTR;
        return -1;
    }
    if (FailFrom == 0 || Calls < FailFrom) return write(fd, data, bytes);
    if (FailErrno == 0) return 0;
    errno = FailErrno;
    return -1;
}

class WavFileFaults : public WavFile {
   protected:
    void SetUp() override {
        WavFile::SetUp();
        Calls = FailFrom = FailErrno = 0;
        Interrupt = false;
        WavFileWriteCall = FaultyWrite;
        WavFileSetPath(instance_, Path("f.wav").c_str());
    }
    void TearDown() override {
        WavFileWriteCall = write;
        WavFile::TearDown();
    }
    AudioOptions mono = {22050, 1, 16, 10000, 0};
    int16_t samples[64] = {};
};

// A disk full from the start: the header goes out with the first frames, so the start
// succeeds and the first frames and the close fail.
TEST_F(WavFileFaults, AFullDiskFromTheStartFailsTheFirstFramesAndTheClose) {
    FailFrom = 1;
    FailErrno = ENOSPC;
    ASSERT_EQ(D.Start(instance_, 0, &mono, nullptr), 0);
    EXPECT_EQ(D.WriteData(instance_, sizeof samples, samples), WavFileWriteFailed);
    EXPECT_EQ(D.Stop(instance_), WavFileWriteFailed);
    EXPECT_EQ(WavFileFramesWritten(instance_), 0u);
}

TEST_F(WavFileFaults, AFailedWriteFailsTheRestWithoutAnotherTry) {
    ASSERT_EQ(D.Start(instance_, 0, &mono, nullptr), 0);
    ASSERT_EQ(D.WriteData(instance_, sizeof samples, samples), 0);
    FailFrom = Calls + 1;
    FailErrno = ENOSPC;
    EXPECT_EQ(D.WriteData(instance_, sizeof samples, samples), WavFileWriteFailed);
    int callsAfterFailure = Calls;
    EXPECT_EQ(D.WriteData(instance_, sizeof samples, samples), WavFileWriteFailed);
    EXPECT_EQ(Calls, callsAfterFailure) << "nothing more is written once a write failed";
    EXPECT_EQ(D.Stop(instance_), WavFileWriteFailed);
    EXPECT_EQ(WavFileFramesWritten(instance_), 64u);
}

TEST_F(WavFileFaults, AnInterruptedWriteIsRetriedAndAFailedCloseIsReported) {
    ASSERT_EQ(D.Start(instance_, 0, &mono, nullptr), 0);
    for (int i = 0; i < 64; ++i) samples[i] = int16_t(i * 300 - 9000);
    Interrupt = true;
    ASSERT_EQ(D.WriteData(instance_, sizeof samples, samples), 0);
    EXPECT_FALSE(Interrupt) << "the write went through the hook";
    ASSERT_EQ(D.Stop(instance_), 0);
    WavData w = ToolReadWav(Path("f.wav"));
    ASSERT_TRUE(w.ok);
    EXPECT_EQ(w.samples, std::vector<int16_t>(samples, samples + 64));

    // Every frame went out, but the header that makes the file whole cannot be written.
    ASSERT_EQ(D.Start(instance_, 0, &mono, nullptr), 0);
    ASSERT_EQ(D.WriteData(instance_, sizeof samples, samples), 0);
    FailFrom = Calls + 1;
    FailErrno = EIO;
    EXPECT_EQ(D.Stop(instance_), WavFileWriteFailed);
}

TEST_F(WavFile, WritesWholeFramesAndDropsThemWhilePaused) {
    AudioOptions stereo = {48000, 2, 16, 10000, 0};
    WavFileSetPath(instance_, Path("s.wav").c_str());
    ASSERT_EQ(D.Start(instance_, 0, &stereo, nullptr), 0);
    std::vector<int16_t> written;
    int16_t block[7];
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 7; ++i) block[i] = int16_t(-32768 + 9000 * i + round);
        if (round == 1) {
            ASSERT_EQ(D.Pause(instance_), 0);
        }
        if (round == 2) {
            ASSERT_EQ(D.Resume(instance_), 0);
        }
        // 14 bytes: three whole stereo frames and half of a fourth
        ASSERT_EQ(D.WriteData(instance_, sizeof block, block), 0);
        if (round != 1) written.insert(written.end(), block, block + 6);
    }
    EXPECT_EQ(WavFileFramesWritten(instance_), 6u);
    ASSERT_EQ(D.Stop(instance_), 0);
    WavData w = ToolReadWav(Path("s.wav"));
    ASSERT_TRUE(w.ok);
    EXPECT_EQ(w.rate, 48000);
    EXPECT_EQ(w.channels, 2);
    EXPECT_EQ(w.samples, written);
}

uint32_t Ramp(void*, uint32_t byteCount, void* buffer) {
    static int16_t next = 0;
    int16_t* s = static_cast<int16_t*>(buffer);
    for (uint32_t i = 0; i < byteCount / 2; ++i) s[i] = next++;
    return byteCount / 2 * 2;
}

// The recorder opened on the registry's WavFile entry listens to a stream: what the chain
// renders lands in the file, and the stream stays the current one.
TEST_F(WavFile, RecorderListensToAStream) {
    static const AudioDriver* const List[] = {&WavFileDriver, nullptr};
    ASSERT_EQ(AudioInit(List), 0);
    ASSERT_EQ(AudioStreamOpen(), 0);
    AudioStream* main = AudioCurrentStream;
    main->options.channels = 1;
    ASSERT_EQ(WavFileRecordStream(main, Path("rec.wav").c_str()), 0);
    EXPECT_EQ(AudioCurrentStream, main);
    AudioStreamSetCallback(main, Ramp);
    std::vector<int16_t> expected(300), buffer(100);
    for (int call = 0; call < 3; ++call) {
        ASSERT_EQ(AudioStreamRenderChain(main, 200, buffer.data()), 200u);
        std::copy(buffer.begin(), buffer.end(), expected.begin() + 100 * call);
    }
    EXPECT_EQ(WavFileRecordStream(main, "/nonexistent/dir/x.wav"), WavFileOpenFailed);
    EXPECT_EQ(AudioCurrentStream, main) << "a failed recorder leaves the stream current";
    AudioStreamClose();
    AudioDeinit();  // stops the recorder, which closes its file
    WavData w = ToolReadWav(Path("rec.wav"));
    ASSERT_TRUE(w.ok);
    EXPECT_EQ(w.samples, expected);
}

}  // namespace
