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
    // Finishes a buffer every 10 ms, as a device playing in real time would, until done()
    // holds; false if it does not within ten seconds. The feeder's pace is the machine's, so
    // the tests wait for what they look for rather than for a fixed time.
    template <typename Done>
    bool PlayUntil(Done done) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            WaveOutDoubleFinish(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
};

TEST_F(WinmmLoss, OneFailedWriteIsALostDeviceThatComesBack) {
    auto start = std::chrono::steady_clock::now();
    StartWithWritesFailingAt(15, false);
    ASSERT_TRUE(PlayUntil([] { return WaveOutDoubleGetStats().closes == 1; }))
        << "the 15th write fails and the lost device is closed";
    int rendersWhenLost = Renders.load();
    EXPECT_EQ(WaveOutDoubleGetStats().opens, 1u);
    // Renders read before the open count: while the device is not back, none was made.
    bool renderedWithoutDevice = false;
    ASSERT_TRUE(PlayUntil([&] {
        int renders = Renders.load();
        if (WaveOutDoubleGetStats().opens >= 2) return true;
        renderedWithoutDevice = renderedWithoutDevice || renders != rendersWhenLost;
        return false;
    }));
    EXPECT_FALSE(renderedWithoutDevice) << "nothing is rendered without a device";
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1))
        << "reopened a second after the loss";
    EXPECT_TRUE(PlayUntil([&] { return Renders.load() > rendersWhenLost + 10; }))
        << "playing again";
    EXPECT_EQ(WinmmOk, WinmmDriver.Stop(stream));
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(errors.find("sound device lost"), 0u) << errors;
    EXPECT_NE(errors.find("sound device back, playing again\n"), std::string::npos) << errors;
}

TEST_F(WinmmLoss, WritesFailingForGoodNeitherSpinNorRenderAndStopEndsAtOnce) {
    auto start = std::chrono::steady_clock::now();
    StartWithWritesFailingAt(1, true);
    ASSERT_TRUE(PlayUntil([] { return WaveOutDoubleGetStats().opens >= 3; }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(2))
        << "two reopens, a second apart";
    // One buffer rendered at the start and one at each of the two reopens: the driver's clock
    // moves by a buffer a second at most.
    EXPECT_LE(Renders.load(), 3);
    // The third open has just failed its write: the next try is a second away, and a stop
    // that waited for it would take about that long.
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(WinmmOk, WinmmDriver.Stop(stream));
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(600));
    EXPECT_EQ(WaveOutDoubleGetStats().queued, 0u);
    std::string errors = testing::internal::GetCapturedStderr();
    size_t first = errors.find("sound device lost");
    EXPECT_NE(first, std::string::npos) << errors;
    EXPECT_EQ(errors.find("sound device", first + 1), std::string::npos) << "said once: " << errors;
}

}  // namespace
