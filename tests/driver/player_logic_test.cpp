// player_logic_test.cpp - the driver against the recording chip: reset, track start, the
// interpreter's commands, routing, stop/restore sequences, pause and resume, slot changes
// and the render callback. Every chip write is checked in order.
//
// Index
//   Reset and start ............. reset state and writes, the chip-write path, SFX start
//   Interpreter ................. waits, skips, ends, waveform rule, filtering, loops, bounds
//   Routing ..................... held channels, timer registers, SFX channel moves
//   Stopping, pausing ........... key-offs, channel give-back, pause/resume, shutdown
//   Slots while tracks play ..... free and reload
//   Render callback ............. sample count, clipping, interrupts
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "tests/driver/driver_test_files.h"
#include "tests/driver/fake_chip.h"

namespace {

using Writes = std::vector<FakeWrite>;

class PlayerTest : public ::testing::Test {
   protected:
    // The test body holds the driver lock, as the driver's callers must; the calls that take
    // it themselves go through Render, Free and Reload.
    void SetUp() override {
        PlayerChip = FmChipCreate(44100);
        FmChipReset(PlayerChip);
        PlayerLock();
        PlayerReset();
        FakeChipClearLog();
    }
    void TearDown() override {
        PlayerReset();  // every track idle before the slots go
        PlayerUnlock();
        FreeSlots();
        FmChipDestroy(PlayerChip);
        PlayerChip = nullptr;
        FakeChipOutput = 0;
        FakeChipTimerSamples = 883;
    }
    uint32_t Render(uint32_t byteCount, void* buffer) {
        PlayerUnlock();
        uint32_t written = PlayerRender(nullptr, byteCount, buffer);
        PlayerLock();
        return written;
    }
    void Free(int slot) {
        PlayerUnlock();
        PlayerSlotFree(slot);
        PlayerLock();
    }
    uint8_t Reload(int slot, const char* path) {
        PlayerUnlock();
        uint8_t code = PlayerSlotReload(slot, path);
        PlayerLock();
        return code;
    }
    // Loads a file of raw commands (after a 0x80 header) into slot and starts track on it.
    void Play(Track* track, int slot, const std::vector<uint8_t>& commands) {
        VgmWriter w = NewVgm();
        VgmWriterRaw(&w, commands);
        ASSERT_EQ(LoadVgm(slot, &w), VgmLoadOk);
        StartOn(track, slot);
        ASSERT_EQ(track->playState, TrackPlaying);
    }
    // The music track plays the writes in its first tick and then waits: its register
    // image holds them and it stays playing.
    void MusicWith(const std::vector<uint8_t>& commands) {
        std::vector<uint8_t> c = commands;
        c.insert(c.end(), {0x61, 0xFF, 0xFF, 0x61, 0xFF, 0xFF, 0x66});
        Play(&MusicTrack, 3, c);
        TrackTick(&MusicTrack);
        FakeChipClearLog();
    }
};

// --- Reset and start ---------------------------------------------------------------------

TEST_F(PlayerTest, ResetClearsTracksAndProgramsTimer1) {
    MusicTrack.playState = TrackPlaying;
    SfxTracks[3].playState = TrackStopped;
    ReservedChannelMask = 0x3F;
    MusicRegs[0x40] = 9;
    SfxRegs[5][3] = 9;
    PlayerReset();
    EXPECT_EQ(MusicTrack.kind, TrackMusic);
    EXPECT_EQ(MusicTrack.playState, TrackIdle);
    EXPECT_EQ(MusicTrack.regs, MusicRegs);
    EXPECT_EQ(ReservedChannelMask, 0);
    EXPECT_EQ(MusicRegs[0x40], 0);
    for (int i = 0; i < SfxTrackCount; ++i) {
        EXPECT_EQ(SfxTracks[i].kind, TrackSfx);
        EXPECT_EQ(SfxTracks[i].playState, TrackIdle);
        EXPECT_EQ(SfxTracks[i].channel, i);
        EXPECT_EQ(SfxTracks[i].regs, SfxRegs[i]);
    }
    EXPECT_EQ(SfxRegs[5][3], 0);
    Writes expected;
    for (int reg = 0xFF; reg >= 0x20; --reg) expected.push_back({uint8_t(reg), 0});
    expected.insert(expected.end(), {{0x02, 0x07}, {0x04, 0x01}, {0x04, 0x80}, {0x01, 0x20}});
    EXPECT_EQ(FakeChipWrites, expected);
    EXPECT_TRUE(PlayerChip->timerRunning[0]);
    EXPECT_TRUE(PlayerChip->irqEnableMask & FmStatusTimer1);
}

TEST_F(PlayerTest, ChipWriteLatchesTheRegisterAndRunsTheHookFirst) {
    static std::vector<std::pair<uint8_t, size_t>> seen;  // latch, writes done so far
    seen.clear();
    PlayerChip->beforeWriteHook = [](void* param) {
        FmChip* chip = *static_cast<FmChip**>(param);
        seen.push_back({chip->addressLatch, FakeChipWrites.size()});
    };
    PlayerChip->beforeWriteParam = &PlayerChip;
    PlayerChipWrite(0xA3, 0x44);
    PlayerChipWrite(0x20, 0x01);
    PlayerChip->beforeWriteHook = nullptr;
    PlayerChipWrite(0x21, 0x02);
    EXPECT_EQ(seen, (std::vector<std::pair<uint8_t, size_t>>{{0xA3, 0}, {0x20, 1}}));
    EXPECT_EQ(FakeChipWrites, (Writes{{0xA3, 0x44}, {0x20, 0x01}, {0x21, 0x02}}));
}

TEST_F(PlayerTest, SfxStartKeysOffTheMusicNoteOnTheChipOnlyAndReservesTheChannel) {
    MusicWith({0x5A, 0xB2, 0x31, 0x5A, 0xB4, 0x11});  // 0xB4 has no key-on bit
    Play(&SfxTracks[2], 0, {0x66});
    EXPECT_EQ(FakeChipWrites, (Writes{{0xB2, 0x11}}));
    EXPECT_EQ(MusicRegs[0xB2], 0x31);
    EXPECT_EQ(ReservedChannelMask, 1 << 2);
    FakeChipClearLog();
    Play(&SfxTracks[4], 1, {0x66});  // channel 4 is silent: no write, still reserved
    EXPECT_TRUE(FakeChipWrites.empty());
    EXPECT_EQ(ReservedChannelMask, (1 << 2) | (1 << 4));
    // Starting the music never changes the mask.
    StartOn(&MusicTrack, 3);
    EXPECT_EQ(ReservedChannelMask, (1 << 2) | (1 << 4));
}

TEST_F(PlayerTest, StartOnAnEmptyOrFailedSlotLeavesTheTrackIdle) {
    StartOn(&SfxTracks[1], 2);
    EXPECT_EQ(SfxTracks[1].playState, TrackIdle);
    EXPECT_EQ(LoadBytes(2, {1, 2, 3}), VgmLoadShortHeader);
    SfxTracks[1].playState = TrackStopped;
    StartOn(&SfxTracks[1], 2);
    EXPECT_EQ(SfxTracks[1].playState, TrackIdle);
    EXPECT_EQ(ReservedChannelMask, 0);
    SfxTracks[1].slot = nullptr;
    TrackStart(&SfxTracks[1]);
    EXPECT_EQ(SfxTracks[1].playState, TrackIdle);
    int16_t buf[2000];
    Render(sizeof buf, buf);  // two ticks, nothing but the acknowledges
    EXPECT_EQ(FakeChipWrites, (Writes{{0x04, 0x80}, {0x04, 0x80}, {0x04, 0x80}}));
}

// --- Interpreter -------------------------------------------------------------------------

TEST_F(PlayerTest, WaitOf880ThenEndStopsInTheSecondTick) {
    Play(&MusicTrack, 0, {0x61, 0x70, 0x03, 0x66});
    TrackTick(&MusicTrack);
    EXPECT_EQ(MusicTrack.sampleTime, 880u);
    EXPECT_EQ(MusicTrack.playState, TrackPlaying);
    TrackTick(&MusicTrack);
    EXPECT_EQ(MusicTrack.playState, TrackStopped);
    EXPECT_EQ(MusicTrack.readPos, 0x83u);  // on the 0x66
}

TEST_F(PlayerTest, EveryWaitCommandAdvancesItsTime) {
    struct Case {
        std::vector<uint8_t> waits;
        uint32_t time;
    };
    const Case cases[] = {
        {{0x7F, 0x61, 0xE8, 0x03}, 16 + 1000},
        {{0x70, 0x80, 0x8F, 0x61, 0xE8, 0x03}, 1 + 0 + 15 + 1000},
        {{0x62, 0x62}, 1470},
        {{0x63}, 882},
        {{0x85, 0x61, 0x00, 0x00, 0x61, 0x6B, 0x03}, 5 + 875},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> cmds = c.waits;
        cmds.insert(cmds.end(), {0x62, 0x66});
        Play(&MusicTrack, 0, cmds);
        TrackTick(&MusicTrack);
        EXPECT_EQ(MusicTrack.sampleTime, c.time) << int(c.waits[0]);
        EXPECT_EQ(MusicTrack.playState, TrackPlaying);
    }
}

TEST_F(PlayerTest, LongWaitCarriesIntoTheNextTick) {
    Play(&MusicTrack, 0, {0x61, 0xE8, 0x03, 0x5A, 0x48, 0x3F, 0x61, 0xFF, 0x7F, 0x66});
    TrackTick(&MusicTrack);
    EXPECT_EQ(MusicTrack.sampleTime, 1000u);
    EXPECT_EQ(MusicTrack.targetTime, 880u);
    EXPECT_TRUE(FakeChipWrites.empty());
    TrackTick(&MusicTrack);
    EXPECT_EQ(FakeChipWrites, (Writes{{0x48, 0x3F}}));
    EXPECT_EQ(MusicTrack.targetTime, 1760u);
}

TEST_F(PlayerTest, FileEndingInAWaitStopsInTheTickThatRunsIt) {
    Play(&MusicTrack, 0, {0x5A, 0xB7, 0x25, 0x61, 0x10, 0x00});
    TrackTick(&MusicTrack);
    EXPECT_EQ(MusicTrack.playState, TrackStopped);
    EXPECT_EQ(FakeChipWrites, (Writes{{0xB7, 0x25}, {0xB7, 0x05}}));  // played, then keyed off
}

TEST_F(PlayerTest, OtherChipsCommandsAreSkippedByTheirLength) {
    // Operand bytes are 0x5A so that a misparsed length shows up as a stray write.
    const uint8_t F = 0x5A;
    std::vector<uint8_t> cmds = {
        0x30, F,    0x3F, F, 0x40, F, F,    0x4E, F,    F,    0x4F, F,    0x50, F,    0x51, F,
        F,    0x59, F,    F, 0x5D, F, F,    0x5F, F,    F,    0x67, 0x66, 0x00, 0x03, 0x00, 0x00,
        0x80, F,    F,    F,  // top bit cleared
        0x68, F,    F,    F, F,    F, F,    F,    F,    F,    F,    F,    0x90, F,    F,    F,
        F,    0x91, F,    F, F,    F, 0x95, F,    F,    F,    F,    0x92, F,    F,    F,    F,
        F,    0x93, F,    F, F,    F, F,    F,    F,    F,    F,    F,    0x94, F,    0xA0, F,
        F,    0xBF, F,    F, 0xC0, F, F,    F,    0xDF, F,    F,    F,    0xE0, F,    F,    F,
        F,    0xFF, F,    F, F,    F, 0x5A, 0x48, 0x3F, 0x61, 0x00, 0x10, 0x66};
    Play(&MusicTrack, 0, cmds);
    TrackTick(&MusicTrack);
    EXPECT_EQ(FakeChipWrites, (Writes{{0x48, 0x3F}}));
    EXPECT_EQ(MusicTrack.playState, TrackPlaying);
    EXPECT_EQ(MusicTrack.sampleTime, 0x1000u);
}

TEST_F(PlayerTest, UnrecognisedCommandsEndTheTrackWhereTheyStand) {
    for (uint8_t cmd : {0x00, 0x20, 0x2F, 0x60, 0x64, 0x65, 0x69, 0x6F, 0x96, 0x9F}) {
        MusicWith({0x5A, 0xB7, 0x25});
        Play(&SfxTracks[1], 0, {0x5A, 0xB0, 0x22, cmd, 0x62, 0x66});
        TrackTick(&SfxTracks[1]);
        EXPECT_EQ(SfxTracks[1].playState, TrackStopped) << int(cmd);
        EXPECT_EQ(SfxTracks[1].readPos, 0x83u);
        // Note played, keyed off, and the channel given back to the playing music.
        ASSERT_EQ(FakeChipWrites.size(), 2u + 13u);
        EXPECT_EQ(FakeChipWrites[1], (FakeWrite{0xB1, 0x02}));
        EXPECT_EQ(ReservedChannelMask, 0);
    }
}

TEST_F(PlayerTest, WaveformWritesCountOnlyAfterTheTracksOwnEnable) {
    Play(&MusicTrack, 0,
         {0x5A, 0xE3, 0x02, 0x5A, 0x01, 0x20, 0x5A, 0xE3, 0x02, 0x5A, 0x01, 0x00, 0x5A, 0xF5, 0x03,
          0x62, 0x66});
    TrackTick(&MusicTrack);
    EXPECT_EQ(FakeChipWrites,
              (Writes{{0xE3, 0}, {0x01, 0x20}, {0xE3, 2}, {0x01, 0x20}, {0xF5, 0}}));
    EXPECT_EQ(MusicRegs[0x01], 0x20);
}

TEST_F(PlayerTest, OplWritesAreFilteredForTheYm3812) {
    Play(&MusicTrack, 0, {0x5A, 0x01, 0x20,  // enable for this track
                          0x5C, 0x08, 0x4F, 0x5C, 0x10, 0x77, 0x5C, 0x07, 0x01, 0x5C, 0x1F,
                          0x01, 0x5B, 0xF0, 0x03, 0x5B, 0x09, 0x01, 0x5B, 0x20, 0x21, 0x5C,
                          0x06, 0x05, 0x5B, 0x01, 0x00, 0x5A, 0xE0, 0x01, 0x62, 0x66});
    TrackTick(&MusicTrack);
    EXPECT_EQ(FakeChipWrites, (Writes{{0x01, 0x20},
                                      {0x08, 0x40},
                                      {0xF0, 0},
                                      {0x20, 0x21},
                                      {0x06, 0x05},
                                      {0x01, 0x20},
                                      {0xE0, 1}}));
}

TEST_F(PlayerTest, LoopJumpsBackWithinTheTickAndKeepsTheBudget) {
    VgmWriter w = NewVgm();
    VgmWriterWait(&w, 100);
    VgmWriterMarkLoop(&w);
    VgmWriterOpl2(&w, 0x48, 0x01);
    VgmWriterWait(&w, 300);
    VgmWriterEnd(&w);
    ASSERT_EQ(LoadVgm(0, &w), VgmLoadOk);
    StartOn(&MusicTrack, 0);
    TrackTick(&MusicTrack);
    // 100 + 300 = 400, loop (-300) = 100, +300 = 400, loop = 100, +300 = 400, loop, ... until
    // time reaches 880 - k * 300.
    EXPECT_EQ(MusicTrack.loopCount, 2u);
    EXPECT_EQ(MusicTrack.targetTime, 880u - 2 * 300);
    EXPECT_EQ(MusicTrack.sampleTime, 400u);
    EXPECT_EQ(FakeChipWrites.size(), 3u);
    EXPECT_EQ(MusicTrack.playState, TrackPlaying);
}

TEST_F(PlayerTest, LoopWithoutTimeEndsTheTrack) {
    VgmWriter w = NewVgm();
    VgmWriterWait(&w, 10);
    VgmWriterMarkLoop(&w);
    VgmWriterOpl2(&w, 0x48, 0x01);
    VgmWriterEnd(&w);
    ASSERT_EQ(LoadVgm(0, &w), VgmLoadOk);
    StartOn(&MusicTrack, 0);
    TrackTick(&MusicTrack);
    EXPECT_EQ(MusicTrack.playState, TrackStopped);
    EXPECT_EQ(MusicTrack.loopCount, 1u);
    EXPECT_EQ(MusicTrack.readPos, w.bytes.size() - 1);  // on the 0x66
    EXPECT_EQ(FakeChipWrites, (Writes{{0x48, 0x01}, {0x48, 0x01}}));
}

TEST_F(PlayerTest, LoopLengthLargerThanThePlayedTimeDoesNotFreezeTheTrack) {
    // 1000 samples are played in the first tick; the second tick loops with a length of
    // 1500, which takes the time below zero. The loop part must still play.
    VgmWriter w = NewVgm();
    VgmWriterMarkLoop(&w);
    VgmWriterOpl2(&w, 0x48, 0x01);
    VgmWriterWait(&w, 1000);
    VgmWriterEnd(&w);
    VgmWriterFinish(&w);
    VgmWriterPatchU32(&w, VgmHdrLoopLength, 1500);
    ASSERT_EQ(LoadBytes(0, w.bytes), VgmLoadOk);
    StartOn(&MusicTrack, 0);
    for (int i = 0; i < 4; ++i) TrackTick(&MusicTrack);
    EXPECT_EQ(MusicTrack.playState, TrackPlaying);
    EXPECT_GE(FakeChipWrites.size(), 4u);
    EXPECT_GE(MusicTrack.loopCount, 3u);
}

TEST_F(PlayerTest, CommandsRunningPastTheImageEndTheTrackWithoutReadingOn) {
    struct Case {
        std::vector<uint8_t> tail;  // the last bytes of the image
        size_t writes;
    };
    const Case cases[] = {
        {{0x5A, 0x48}, 0},  // operand cut off
        {{0x61, 0x10}, 0},
        {{0x67, 0x66, 0x00, 0x10}, 0},                    // size cut off
        {{0x67, 0x66, 0x00, 0x10, 0x00, 0x00, 0x00}, 0},  // data cut off
        {{0xE0, 0, 0, 0}, 0},
        {{0x5A, 0x48, 0x01}, 1},  // ends exactly at the end: played
    };
    for (const Case& c : cases) {
        FakeChipClearLog();
        Play(&MusicTrack, 0, c.tail);  // the image is exactly header + tail
        TrackTick(&MusicTrack);
        EXPECT_EQ(MusicTrack.playState, TrackStopped);
        EXPECT_EQ(FakeChipWrites.size(), c.writes);
    }
}

TEST_F(PlayerTest, DataOrLoopOffsetPastTheEndEndsTheTrack) {
    std::vector<uint8_t> bytes;
    {
        VgmWriter w = NewVgm();
        VgmWriterMarkLoop(&w);
        VgmWriterOpl2(&w, 0x48, 0x01);
        VgmWriterWait(&w, 10);
        VgmWriterEnd(&w);
        VgmWriterFinish(&w);
        bytes = w.bytes;
    }
    std::vector<uint8_t> dataPast = bytes;
    dataPast[VgmHdrDataOffset] = 0xF0;  // data at 0x124, past the end
    ASSERT_EQ(LoadBytes(0, dataPast), VgmLoadOk);
    StartOn(&MusicTrack, 0);
    TrackTick(&MusicTrack);
    EXPECT_EQ(MusicTrack.playState, TrackStopped);
    EXPECT_TRUE(FakeChipWrites.empty());

    std::vector<uint8_t> loopPast = bytes;
    loopPast[VgmHdrLoopOffset] = 0xF0;
    ASSERT_EQ(LoadBytes(0, loopPast), VgmLoadOk);
    StartOn(&MusicTrack, 0);
    TrackTick(&MusicTrack);
    EXPECT_EQ(MusicTrack.playState, TrackStopped);
    EXPECT_EQ(MusicTrack.loopCount, 1u);
}

TEST_F(PlayerTest, TinyStatedSizeEndsAtOnce) {
    std::vector<uint8_t> bytes;
    {
        VgmWriter w = NewVgm();
        VgmWriterOpl2(&w, 0x48, 0x01);
        VgmWriterEnd(&w);
        VgmWriterFinish(&w);
        VgmWriterPatchU32(&w, VgmHdrEof, 0x1C);  // 32 bytes
        bytes = w.bytes;
    }
    ASSERT_EQ(LoadBytes(0, bytes), VgmLoadOk);
    StartOn(&MusicTrack, 0);
    TrackTick(&MusicTrack);
    EXPECT_EQ(MusicTrack.playState, TrackStopped);
    EXPECT_TRUE(FakeChipWrites.empty());
}

// --- Routing -----------------------------------------------------------------------------

TEST_F(PlayerTest, HeldChannelGetsNoMusicWrites) {
    // Invariant: a channel held by an SFX gets no music writes; they land in MusicRegs.
    ReservedChannelMask = 1 << 2;
    const uint8_t held[] = {0x22, 0x25, 0x42, 0x45, 0x62, 0x85, 0xE2, 0xE5, 0xA2, 0xB2, 0xC2};
    for (uint8_t reg : held) PlayerRouteWrite(&MusicTrack, reg, uint8_t(reg ^ 0x5A));
    EXPECT_TRUE(FakeChipWrites.empty());
    for (uint8_t reg : held) EXPECT_EQ(MusicRegs[reg], uint8_t(reg ^ 0x5A)) << int(reg);
    const uint8_t sent[] = {0x48, 0xBD, 0xA3, 0xB8, 0xC6, 0x26, 0x3F, 0xA9, 0xCF, 0x08, 0xD2};
    for (uint8_t reg : sent) PlayerRouteWrite(&MusicTrack, reg, 0x11);
    ASSERT_EQ(FakeChipWrites.size(), std::size(sent));
    for (size_t i = 0; i < std::size(sent); ++i)
        EXPECT_EQ(FakeChipWrites[i], (FakeWrite{sent[i], 0x11}));
}

TEST_F(PlayerTest, MusicRegister1KeepsWaveformSelectOn) {
    PlayerRouteWrite(&MusicTrack, 0x01, 0x00);
    EXPECT_EQ(FakeChipWrites, (Writes{{0x01, 0x20}}));
    EXPECT_EQ(MusicRegs[0x01], 0x20);
}

TEST_F(PlayerTest, MusicTimerWritesAreRecordedButNeverSent) {
    ReservedChannelMask = 0;
    PlayerRouteWrite(&MusicTrack, 0x02, 0xFF);
    PlayerRouteWrite(&MusicTrack, 0x03, 0x10);
    PlayerRouteWrite(&MusicTrack, 0x04, 0x40);
    EXPECT_TRUE(FakeChipWrites.empty());
    EXPECT_EQ(MusicRegs[0x02], 0xFF);
    EXPECT_EQ(MusicRegs[0x03], 0x10);
    EXPECT_EQ(MusicRegs[0x04], 0x40);
}

TEST_F(PlayerTest, SfxWritesMoveOntoTheTracksChannel) {
    struct Case {
        int track;
        uint8_t reg;
        int image;       // SfxRegs index stored
        uint8_t target;  // chip register written
    };
    const Case cases[] = {
        {2, 0x49, 2, 0x42}, {2, 0x4C, 3, 0x45},  {5, 0x23, 1, 0x2D},  {5, 0xE0, 8, 0xEA},
        {0, 0x35, 1, 0x23}, {2, 0xA4, 11, 0xA2}, {2, 0xB0, 12, 0xB2}, {2, 0xC8, 10, 0xC2},
        {3, 0x92, 6, 0x88}, {4, 0xF3, 9, 0xEC},  {1, 0x62, 4, 0x61},  {1, 0x75, 5, 0x64},
    };
    for (const Case& c : cases) {
        FakeChipClearLog();
        std::memset(SfxRegs[c.track], 0, SfxRegCount);
        PlayerRouteWrite(&SfxTracks[c.track], c.reg, 0x3C);
        EXPECT_EQ(FakeChipWrites, (Writes{{c.target, 0x3C}})) << int(c.reg);
        for (int k = 0; k < SfxRegCount; ++k)
            EXPECT_EQ(SfxRegs[c.track][k], k == c.image ? 0x3C : 0) << int(c.reg) << " " << k;
    }
}

TEST_F(PlayerTest, SfxWritesOutsideItsChannelAreDropped) {
    for (uint8_t reg : {0xA9, 0xB9, 0xCA, 0xBD, 0x01, 0x04, 0x08, 0x26, 0x3E, 0x18, 0xD0, 0x00}) {
        PlayerRouteWrite(&SfxTracks[2], reg, 0x77);
    }
    EXPECT_TRUE(FakeChipWrites.empty());
    for (int k = 0; k < SfxRegCount; ++k) EXPECT_EQ(SfxRegs[2][k], 0);
}

// --- Stopping, pausing -------------------------------------------------------------------

TEST_F(PlayerTest, StoppingTheMusicLeavesHeldChannelsAlone) {
    MusicWith({0x5A, 0xB0, 0x21, 0x5A, 0xB3, 0x22, 0x5A, 0xB7, 0x23, 0x5A, 0xB5, 0x04});
    Play(&SfxTracks[3], 0, {0x61, 0xFF, 0xFF, 0x66});
    FakeChipClearLog();
    TrackStop(&MusicTrack);
    EXPECT_EQ(FakeChipWrites, (Writes{{0xB0, 0x01}, {0xB7, 0x03}}));
    EXPECT_EQ(MusicRegs[0xB3], 0x22);
    EXPECT_EQ(MusicTrack.playState, TrackStopped);
    FakeChipClearLog();
    TrackStop(&MusicTrack);  // again: nothing left keyed on
    EXPECT_TRUE(FakeChipWrites.empty());
}

TEST_F(PlayerTest, SfxEndingWhileTheMusicPlaysGivesTheChannelBack) {
    // Invariant: when an SFX ends while the music plays, the music's thirteen registers for
    // that channel are written back and the channel's bit is cleared.
    std::vector<uint8_t> music = {0x5A, 0x01, 0x20};  // waveform values count from here
    const uint8_t regs[] = {0x21, 0x24, 0x41, 0x44, 0x61, 0x64, 0x81,
                            0x84, 0xE1, 0xE4, 0xC1, 0xA1, 0xB1};
    for (uint8_t r : regs) music.insert(music.end(), {0x5A, r, uint8_t(r + 1)});
    MusicWith(music);
    Play(&SfxTracks[1], 0, {0x5A, 0xB4, 0x31, 0x61, 0x10, 0x00, 0x66});
    TrackTick(&SfxTracks[1]);
    EXPECT_EQ(SfxTracks[1].playState, TrackStopped);
    // Music note off at the start, the effect's note (written for channel 4), its key-off.
    Writes expected = {{0xB1, 0x92}, {0xB1, 0x31}, {0xB1, 0x11}};
    for (uint8_t r : regs) expected.push_back({r, uint8_t(r + 1)});
    EXPECT_EQ(FakeChipWrites, expected);
    EXPECT_EQ(ReservedChannelMask, 0);
}

TEST_F(PlayerTest, SfxEndingWhileTheMusicIsPausedKeepsTheChannelHeld) {
    MusicWith({0x5A, 0xA1, 0x40, 0x5A, 0xB1, 0x25});
    Play(&SfxTracks[1], 0, {0x5A, 0xB1, 0x2A, 0x61, 0xFF, 0xFF, 0x66});
    TrackTick(&SfxTracks[1]);
    PlayerPauseMusic();
    FakeChipClearLog();
    PlayerStopSfx(1);
    EXPECT_EQ(FakeChipWrites, (Writes{{0xB1, 0x0A}}));
    EXPECT_EQ(ReservedChannelMask, 1 << 1);
    PlayerResumeMusic();
    FakeChipClearLog();
    PlayerRouteWrite(&MusicTrack, 0xB1, 0x26);  // the music stays silent on channel 1
    EXPECT_TRUE(FakeChipWrites.empty());
    PlayerStopSfx(1);  // stopped again while the music plays: released
    EXPECT_EQ(FakeChipWrites.size(), 13u);
    EXPECT_EQ(FakeChipWrites.back(), (FakeWrite{0xB1, 0x26}));
    EXPECT_EQ(ReservedChannelMask, 0);
}

TEST_F(PlayerTest, SfxWhoseNoteIsOffMakesNoKeyOffWrite) {
    Play(&SfxTracks[0], 0, {0x5A, 0xB0, 0x0A, 0x66});
    MusicTrack.playState = TrackStopped;
    TrackTick(&SfxTracks[0]);
    EXPECT_EQ(FakeChipWrites, (Writes{{0xB0, 0x0A}}));
    EXPECT_EQ(SfxTracks[0].playState, TrackStopped);
}

TEST_F(PlayerTest, PauseKeysOffRhythmAndResumeContinues) {
    MusicWith({0x5A, 0xBD, 0x3F, 0x5A, 0xB6, 0x30});
    uint32_t pos = MusicTrack.readPos, time = MusicTrack.sampleTime;
    PlayerResumeMusic();  // never paused: nothing
    EXPECT_EQ(MusicTrack.playState, TrackPlaying);
    PlayerPauseMusic();
    EXPECT_EQ(FakeChipWrites, (Writes{{0xB6, 0x10}, {0xBD, 0x20}}));
    EXPECT_EQ(MusicRegs[0xBD], 0x20);
    EXPECT_EQ(MusicTrack.playState, TrackPaused);
    FakeChipClearLog();
    PlayerPauseMusic();  // paused already: nothing
    EXPECT_TRUE(FakeChipWrites.empty());
    EXPECT_EQ(MusicTrack.playState, TrackPaused);
    PlayerResumeMusic();
    EXPECT_EQ(MusicTrack.playState, TrackPlaying);
    EXPECT_TRUE(FakeChipWrites.empty());
    EXPECT_EQ(MusicTrack.readPos, pos);
    EXPECT_EQ(MusicTrack.sampleTime, time);
    PlayerPauseMusic();
    TrackStop(&MusicTrack);
    PlayerResumeMusic();  // stopped: a resume no longer works
    EXPECT_EQ(MusicTrack.playState, TrackStopped);
}

TEST_F(PlayerTest, StopSfxActsOnOneOrAllAndRefusesOtherNumbers) {
    Play(&SfxTracks[0], 0, {0x61, 0xFF, 0xFF, 0x66});
    StartOn(&SfxTracks[5], 0);
    uint16_t mask = ReservedChannelMask;
    EXPECT_EQ(PlayerStopSfx(6), 0xFF);
    EXPECT_EQ(PlayerStopSfx(0x80), 0xFF);
    EXPECT_EQ(SfxTracks[0].playState, TrackPlaying);
    EXPECT_EQ(ReservedChannelMask, mask);
    EXPECT_EQ(PlayerStopSfx(5), 0);
    EXPECT_EQ(SfxTracks[5].playState, TrackStopped);
    EXPECT_EQ(SfxTracks[0].playState, TrackPlaying);
    EXPECT_EQ(PlayerStopSfx(0xFF), 0);
    EXPECT_EQ(SfxTracks[0].playState, TrackStopped);
    EXPECT_EQ(SfxTracks[3].playState, TrackIdle);  // idle tracks stay idle
}

TEST_F(PlayerTest, ShutdownStopsEverythingAndBothTimers) {
    MusicWith({0x5A, 0xB8, 0x31});
    Play(&SfxTracks[2], 0, {0x61, 0xFF, 0xFF, 0x66});
    FakeChipClearLog();
    PlayerShutdown();
    EXPECT_EQ(MusicTrack.playState, TrackStopped);
    for (const Track& t : SfxTracks)
        EXPECT_TRUE(t.playState == TrackStopped || t.playState >= 0x80);
    ASSERT_FALSE(FakeChipWrites.empty());
    EXPECT_EQ(FakeChipWrites.front(), (FakeWrite{0xB8, 0x11}));
    EXPECT_EQ(FakeChipWrites.back(), (FakeWrite{0x04, 0x00}));
    EXPECT_FALSE(PlayerChip->timerRunning[0]);
}

// --- Slots while tracks play -------------------------------------------------------------

TEST_F(PlayerTest, FreeingASlotStopsItsTracksMusicFirst) {
    MusicWith({0x5A, 0xB7, 0x22});  // music on slot 3
    Play(&SfxTracks[4], 3, {0x5A, 0xB4, 0x21, 0x61, 0xFF, 0xFF, 0x66});
    TrackTick(&SfxTracks[4]);
    StartOn(&MusicTrack, 3);
    Play(&SfxTracks[1], 1, {0x61, 0xFF, 0xFF, 0x66});
    FakeChipClearLog();
    Free(3);
    EXPECT_EQ(MusicTrack.playState, TrackStopped);
    EXPECT_EQ(SfxTracks[4].playState, TrackStopped);
    EXPECT_EQ(SfxTracks[1].playState, TrackPlaying);  // another slot: untouched
    EXPECT_EQ(VgmSlots[3].fileData, nullptr);
    // The music stopped first, so the effect's channel stays held: only its key-off follows.
    EXPECT_EQ(FakeChipWrites.back(), (FakeWrite{0xB4, 0x01}));
    EXPECT_EQ(ReservedChannelMask, (1 << 4) | (1 << 1));
}

TEST_F(PlayerTest, ReloadInstallsTheNewFileAndAFailureLeavesTheSlotEmpty) {
    Play(&SfxTracks[0], 2, {0x61, 0xFF, 0xFF, 0x66});
    VgmWriter w = NewVgm();
    VgmWriterOpl2(&w, 0x20, 0x01);
    VgmWriterEnd(&w);
    VgmWriterFinish(&w);
    std::string path = TestPath("reload.vgm");
    ASSERT_TRUE(VgmWriterSave(&w, path.c_str()));
    EXPECT_EQ(Reload(2, path.c_str()), VgmLoadOk);
    EXPECT_EQ(SfxTracks[0].playState, TrackStopped);
    EXPECT_EQ(VgmSlots[2].fileSize, w.bytes.size());
    EXPECT_EQ(Reload(2, TestPath("missing.vgm").c_str()), VgmLoadCannotOpen);
    EXPECT_EQ(VgmSlots[2].fileData, nullptr);
    EXPECT_EQ(Reload(4, path.c_str()), VgmLoadCannotOpen);
}

// --- Render callback ---------------------------------------------------------------------

TEST_F(PlayerTest, RenderFillsWholeSamplesOnly) {
    uint8_t buf[8];
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(Render(0, buf), 0u);
    EXPECT_EQ(FakeChipRenders, 0u);
    FakeChipOutput = 0x1234;
    EXPECT_EQ(Render(7, buf), 6u);
    EXPECT_EQ(FakeChipRenders, 3u);
    int16_t s;
    std::memcpy(&s, buf + 4, 2);
    EXPECT_EQ(s, 0x1234);
    EXPECT_EQ(buf[6], 0xEE);
    EXPECT_EQ(Render(1, buf + 1), 0u);  // odd, unaligned: nothing
}

TEST_F(PlayerTest, RenderClipsToPlusMinus32767) {
    const std::pair<int32_t, int16_t> cases[] = {
        {-1000000, -32767}, {-32769, -32767}, {-32768, -32767}, {-32767, -32767}, {-1, -1}, {0, 0},
        {32767, 32767},     {32768, 32767},   {5000000, 32767},
    };
    for (auto [sum, stored] : cases) {
        FakeChipOutput = sum;
        int16_t out[3] = {};
        Render(sizeof out, out);
        for (int16_t s : out) EXPECT_EQ(s, stored) << sum;
    }
}

TEST_F(PlayerTest, EachInterruptAcknowledgesAndTicksOnlyPlayingTracks) {
    FakeChipTimerSamples = 100;
    Play(&MusicTrack, 0, {0x61, 0xFF, 0xFF, 0x66});
    Play(&SfxTracks[4], 0, {0x61, 0xFF, 0xFF, 0x66});
    PlayerPauseMusic();
    FakeChipClearLog();
    int16_t buf[250];
    Render(sizeof buf, buf);  // interrupts at samples 0, 100, 200
    EXPECT_EQ(FakeChipWrites, (Writes{{0x04, 0x80}, {0x04, 0x80}, {0x04, 0x80}}));
    EXPECT_EQ(SfxTracks[4].targetTime, 3 * 880u);
    EXPECT_EQ(MusicTrack.targetTime, 0u);
}

TEST_F(PlayerTest, MusicCannotMaskOrStopTimer1) {
    FakeChipTimerSamples = 50;
    Play(&MusicTrack, 0,
         {0x5A, 0x04, 0x40, 0x5A, 0x04, 0x00, 0x5A, 0x02, 0xFF, 0x61, 0xFF, 0xFF, 0x66});
    int16_t buf[500];
    Render(sizeof buf, buf);
    EXPECT_EQ(MusicTrack.targetTime, 10 * 880u);  // every interrupt still ticked it
    EXPECT_EQ(MusicRegs[0x04], 0x00);
    for (const FakeWrite& w : FakeChipWrites) EXPECT_TRUE(w.reg != 0x02 && w.reg != 0x03);
}

// --- Driver lock -------------------------------------------------------------------------

TEST(PlayerLock, HeldOnlyByTheThreadThatTookIt) {
    EXPECT_FALSE(PlayerLockHeld());
    {
        PlayerLockGuard lock;
        EXPECT_TRUE(PlayerLockHeld());
        bool heldElsewhere = true;
        std::thread([&heldElsewhere] { heldElsewhere = PlayerLockHeld(); }).join();
        EXPECT_FALSE(heldElsewhere);
    }
    EXPECT_FALSE(PlayerLockHeld());
}

#ifndef NDEBUG
// Debug builds stop at a driver call made without the lock and at an unlock that leaves an
// invariant broken.
TEST(PlayerLockDeathTest, DebugChecksStopAtMisuse) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    PlayerChip = FmChipCreate(44100);
    EXPECT_DEATH(TrackStop(&MusicTrack), "PlayerLockHeld");
    EXPECT_DEATH(
        {
            PlayerLock();
            PlayerReset();
            SfxTracks[2].slot = &VgmSlots[0];  // an effect playing an empty slot: (4)
            SfxTracks[2].playState = TrackPlaying;
            PlayerUnlock();
        },
        "\\(4\\)");
    EXPECT_DEATH(
        {
            PlayerLock();
            PlayerReset();
            ReservedChannelMask = 1 << 6;  // a channel no effect can hold: (6)
            PlayerUnlock();
        },
        "\\(6\\)");
    FmChipDestroy(PlayerChip);
    PlayerChip = nullptr;
}
#endif

}  // namespace
