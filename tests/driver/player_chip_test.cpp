// player_chip_test.cpp - the driver on the real chip: the tick clock that Timer 1 gives
// (first tick on the first sample, then 883 or 884 samples apart), that no music data can
// retune, stop or mask it, calls that end on a tick, and clipping of a loud chip sum.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/driver/driver_test_files.h"

namespace {

// Sample index at each interrupt acknowledge, seen through the before-write hook.
std::vector<uint32_t> AckSamples;
uint32_t CurrentSample;

void RecordingHook(void* param) {
    FmChip* chip = *static_cast<FmChip**>(param);
    if (chip->addressLatch == 0x04) AckSamples.push_back(CurrentSample);
    FmChipSettleAttacks(chip);
}

class PlayerChipTest : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_TRUE(PlayerBringUp(44100));
        PlayerChip->beforeWriteHook = RecordingHook;
        AckSamples.clear();
    }
    void TearDown() override { PlayerBringDown(); }
    // Renders count samples one call each, so every acknowledge is seen at its sample.
    std::vector<int16_t> RenderSingly(uint32_t count) {
        std::vector<int16_t> out(count);
        for (CurrentSample = 0; CurrentSample < count; ++CurrentSample)
            PlayerRender(nullptr, 2, &out[CurrentSample]);
        return out;
    }
    void ExpectTicksEvery883Or884() {
        ASSERT_GE(AckSamples.size(), 40u);
        EXPECT_EQ(AckSamples[0], 0u);  // Timer 1 starts at count 0 and overflows at once
        for (size_t i = 1; i < AckSamples.size(); ++i) {
            uint32_t gap = AckSamples[i] - AckSamples[i - 1];
            EXPECT_TRUE(gap == 883 || gap == 884) << "tick " << i << " gap " << gap;
        }
    }
};

TEST_F(PlayerChipTest, ResetLeavesTimer1RunningWithPreset7AndWaveformSelectOn) {
    EXPECT_EQ(PlayerChip->timerPeriod[0], (256u - 7) * 4);
    EXPECT_TRUE(PlayerChip->timerRunning[0]);
    EXPECT_FALSE(PlayerChip->timerRunning[1]);
    EXPECT_TRUE(PlayerChip->irqEnableMask & FmStatusTimer1);
    EXPECT_EQ(PlayerChip->statusReg, 0);
    EXPECT_EQ(PlayerChip->waveSelectEnable, 0x20);
}

TEST_F(PlayerChipTest, FirstTickOnTheFirstSampleThen883Or884Apart) {
    RenderSingly(44100);
    ExpectTicksEvery883Or884();
    EXPECT_NEAR(double(AckSamples.back()) / double(AckSamples.size() - 1), 883.5, 0.5);
}

TEST_F(PlayerChipTest, MusicDataCannotRetuneStopOrMaskTimer1) {
    // A looping music that programs the timers the way a game's own driver would.
    VgmWriter w = NewVgm();
    VgmWriterMarkLoop(&w);
    for (auto [reg, value] : {std::pair{0x02, 0xFF},
                              {0x03, 0x00},
                              {0x04, 0x40},
                              {0x04, 0x00},
                              {0x04, 0x60},
                              {0x04, 0x03},
                              {0x04, 0x80},
                              {0x02, 0x00}}) {
        VgmWriterOpl2(&w, uint8_t(reg), uint8_t(value));
        VgmWriterWait(&w, 300);
    }
    VgmWriterEnd(&w);
    ASSERT_EQ(LoadVgm(0, &w), VgmLoadOk);
    {
        PlayerLockGuard lock;
        StartOn(&MusicTrack, 0);
    }
    RenderSingly(44100);
    ExpectTicksEvery883Or884();
    EXPECT_EQ(MusicTrack.playState, TrackPlaying);
    EXPECT_GT(MusicTrack.loopCount, 10u);
}

TEST_F(PlayerChipTest, LoudSumsAreClippedTo32767) {
    // Nine channels, both operators added at full level: the sum passes 16 bits.
    VgmWriter w = NewVgm();
    VgmWriterOpl2(&w, 0x01, 0x20);
    for (int ch = 0; ch < 9; ++ch) {
        VgmWriterOpl2Voice(&w, ch, 0);
        VgmWriterOpl2(&w, uint8_t(0xC0 + ch), 0x01);  // additive
        VgmWriterOpl2Note(&w, ch, 0x200, 4, true);
    }
    VgmWriterWait(&w, 60000);
    VgmWriterEnd(&w);
    ASSERT_EQ(LoadVgm(0, &w), VgmLoadOk);
    {
        PlayerLockGuard lock;
        StartOn(&MusicTrack, 0);
    }
    std::vector<int16_t> out = RenderSingly(8000);
    EXPECT_EQ(*std::max_element(out.begin(), out.end()), 32767);
    EXPECT_EQ(*std::min_element(out.begin(), out.end()), -32767);
}

TEST_F(PlayerChipTest, RenderToTickEndsOnEveryTickWithTheSamplesOfPlayerRender) {
    // A note that changes on every tick or so, then its key-off and a new pitch.
    VgmWriter w = NewVgm();
    VgmWriterOpl2Voice(&w, 0, 0);
    for (int k = 0; k < 40; ++k) {
        VgmWriterOpl2Note(&w, 0, 0x150 + 8 * k, 4, k % 3 != 2);
        VgmWriterWait(&w, 700);
    }
    VgmWriterEnd(&w);
    auto start = [&w] {
        ASSERT_EQ(LoadVgm(0, &w), VgmLoadOk);
        PlayerLockGuard lock;
        StartOn(&MusicTrack, 0);
    };
    start();
    const uint32_t count = 20000;
    std::vector<int16_t> singly = RenderSingly(count);
    std::vector<uint32_t> ticks = AckSamples;
    ASSERT_GE(ticks.size(), 20u);
    ASSERT_TRUE(std::any_of(singly.begin(), singly.end(), [](int16_t v) { return v != 0; }));

    PlayerBringDown();
    ASSERT_TRUE(PlayerBringUp(44100));
    start();
    std::vector<int16_t> out(count);
    std::vector<uint32_t> ends;
    for (uint32_t at = 0; at < count;) {
        uint32_t got = PlayerRenderToTick(std::min(4096u, count - at), &out[at]);
        ASSERT_GT(got, 0u);
        at += got;
        ends.push_back(at);
    }
    EXPECT_EQ(out, singly);
    // Each call ends on the sample after a tick's, the last where the count ends.
    std::vector<uint32_t> expected;
    for (uint32_t t : ticks) expected.push_back(t + 1);
    if (expected.back() != count) expected.push_back(count);
    EXPECT_EQ(ends, expected);
    EXPECT_EQ(PlayerRenderToTick(0, out.data()), 0u);
}

}  // namespace
