// winmm_loss_test.cpp - the WinMM stream when its device goes away, on the waveOut double: a
// write that fails once is a lost device (one notice, no rendering while it is gone, a reopen
// within about a second, playing on after); writes that fail from then on never make the feeder
// spin or the driver's clock race, and a stop while the device is gone ends at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "audio/winmm/winmm.h"
#include "tests/audio/winmm_fixture.h"

namespace {

AudioOptions Options{44100, 1, 16, 10000, 10};
std::atomic<int> Renders{0};

uint32_t CountingRender(void*, uint32_t byteCount, void*) {
    Renders.fetch_add(1);
    return byteCount;
}

class WinmmLoss : public WinmmOnDouble {
   protected:
    void StartWithWritesFailingAt(uint32_t write, bool onward) {
        config.failWriteAt = write;
        config.failWritesOnward = onward;
        Begin();
        Renders.store(0);
        testing::internal::CaptureStderr();
        WinmmDriver.SetCallback(stream, CountingRender);
        ASSERT_EQ(WinmmOk, WinmmDriver.Start(stream, 0, &Options, nullptr));
    }
    // Finishes buffers as a device playing in real time would, for ms milliseconds.
    void Play(int ms) {
        for (int t = 0; t < ms; t += 10) {
            WaveOutDoubleFinish(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
};

TEST_F(WinmmLoss, OneFailedWriteIsALostDeviceThatComesBack) {
    StartWithWritesFailingAt(15, false);
    Play(300);  // the 15th write fails
    int rendersWhenLost = Renders.load();
    uint32_t opensWhenLost = WaveOutDoubleGetStats().opens;
    EXPECT_EQ(opensWhenLost, 1u);
    EXPECT_EQ(WaveOutDoubleGetStats().closes, 1u) << "the lost device is closed";
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(Renders.load(), rendersWhenLost) << "nothing is rendered without a device";
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_EQ(WaveOutDoubleGetStats().opens, 2u) << "reopened about a second later";
    Play(200);
    EXPECT_GT(Renders.load(), rendersWhenLost + 10) << "playing again";
    EXPECT_EQ(WinmmOk, WinmmDriver.Stop(stream));
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(errors.find("sound device lost"), 0u) << errors;
    EXPECT_NE(errors.find("sound device back, playing again\n"), std::string::npos) << errors;
}

TEST_F(WinmmLoss, WritesFailingForGoodNeitherSpinNorRenderAndStopEndsAtOnce) {
    StartWithWritesFailingAt(1, true);
    std::this_thread::sleep_for(std::chrono::milliseconds(2600));
    // One buffer rendered at the start and one at each of the two reopens: the driver's clock
    // moves by a buffer a second at most.
    EXPECT_LE(Renders.load(), 3);
    EXPECT_EQ(WaveOutDoubleGetStats().opens, 3u);
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(WinmmOk, WinmmDriver.Stop(stream));
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(300));
    EXPECT_EQ(WaveOutDoubleGetStats().queued, 0u);
    std::string errors = testing::internal::GetCapturedStderr();
    size_t first = errors.find("sound device lost");
    EXPECT_NE(first, std::string::npos) << errors;
    EXPECT_EQ(errors.find("sound device", first + 1), std::string::npos) << "said once: " << errors;
}

}  // namespace
