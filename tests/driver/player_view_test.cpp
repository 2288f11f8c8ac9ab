// player_view_test.cpp - the viewer's snapshot: what it reports of slots, tracks and chip
// channels, and that every snapshot is one consistent moment of the driver while a render
// thread plays and another thread fires random commands (run under the thread sanitizer).
#include "driver/player_view.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "tests/driver/driver_test_files.h"

namespace {

// Looping music on all nine channels, with tags.
std::string SaveMusic() {
    VgmWriter w = NewVgm();
    VgmWriterMarkLoop(&w);
    VgmWriterArpeggio(&w, 0, 9, 8, 400);
    VgmWriterEnd(&w);
    VgmWriterGd3(&w, {u"Arpeggio", u"", u"Bench"});
    VgmWriterFinish(&w);
    std::string path = TestPath("music.vgm");
    EXPECT_TRUE(VgmWriterSave(&w, path.c_str()));
    return path;
}

// A short effect that holds one note on channel 5.
std::string SaveEffect() {
    VgmWriter w = NewVgm();
    VgmWriterOpl2Voice(&w, 5);
    VgmWriterOpl2Note(&w, 5, 0x2AE, 4, true);
    VgmWriterWait(&w, 3000);
    VgmWriterEnd(&w);
    VgmWriterFinish(&w);
    std::string path = TestPath("effect.vgm");
    EXPECT_TRUE(VgmWriterSave(&w, path.c_str()));
    return path;
}

class PlayerViewTest : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_TRUE(PlayerBringUp(44100));
        music = SaveMusic();
        effect = SaveEffect();
    }
    void TearDown() override { PlayerBringDown(); }
    void Render(uint32_t samples) {
        std::vector<int16_t> buf(samples);
        PlayerRender(nullptr, samples * 2, buf.data());
    }
    std::string music, effect;
    PlayerView v;
};

TEST_F(PlayerViewTest, SlotsShowTheirFileInformation) {
    ASSERT_EQ(PlayerSlotReload(0, music.c_str()), VgmLoadOk);
    PlayerSnapshot(&v);
    const PlayerSlotView& s = v.slots[0];
    ASSERT_TRUE(s.loaded);
    EXPECT_FALSE(v.slots[1].loaded);
    EXPECT_EQ(std::string(s.name), music);
    EXPECT_EQ(s.version, 0x151u);
    EXPECT_EQ(s.totalSamples, 8u * 400);
    EXPECT_EQ(s.loopSamples, 8u * 400);
    EXPECT_EQ(s.chipClocks[9], FmChipClockHz);  // YM3812
    EXPECT_STREQ(VgmChipNames[9], "YM3812");
    for (int i = 0; i < VgmChipCount; ++i)
        EXPECT_EQ(s.chipClocks[i] != 0, i == 9) << VgmChipNames[i];
    EXPECT_TRUE(s.hasTags);
    EXPECT_STREQ(s.tags[Gd3TitleEn], "Arpeggio");
    EXPECT_STREQ(s.tags[Gd3GameEn], "Bench");
}

TEST_F(PlayerViewTest, OwnersKeysAndPitchFollowTheSfxAndTheMusic) {
    ASSERT_EQ(PlayerSlotReload(0, music.c_str()), VgmLoadOk);
    ASSERT_EQ(PlayerSlotReload(1, effect.c_str()), VgmLoadOk);
    PlayerSnapshot(&v);
    for (const PlayerChannelView& c : v.channels) EXPECT_EQ(c.owner, ChannelOwnerNobody);

    PlayerLock();
    StartOn(&MusicTrack, 0);
    StartOn(&SfxTracks[2], 1);
    PlayerUnlock();
    Render(2000);
    PlayerSnapshot(&v);
    EXPECT_EQ(v.reservedChannelMask, 1u << 2);
    EXPECT_EQ(v.music.playState, TrackPlaying);
    EXPECT_EQ(v.music.slot, 0);
    EXPECT_EQ(v.sfx[2].slot, 1);
    for (int c = 0; c < 9; ++c)
        EXPECT_EQ(v.channels[c].owner, c == 2 ? 2 : ChannelOwnerMusic) << "channel " << c;
    // The effect's note (written for channel 5) sounds on channel 2.
    EXPECT_TRUE(v.channels[2].keyOn);
    EXPECT_EQ(v.channels[2].block, 4);
    EXPECT_EQ(v.channels[2].fnum, 0x2AE);
    EXPECT_GT(v.sfx[2].sampleTime, 0u);

    PlayerLock();
    PlayerStopSfx(2);
    PlayerUnlock();
    PlayerSnapshot(&v);
    EXPECT_EQ(v.channels[2].owner, ChannelOwnerMusic);
    EXPECT_EQ(v.reservedChannelMask, 0u);

    PlayerLock();
    PlayerPauseMusic();
    StartOn(&SfxTracks[4], 1);
    PlayerStopSfx(4);  // ends while the music is paused: the channel stays held
    PlayerUnlock();
    PlayerSnapshot(&v);
    EXPECT_EQ(v.music.playState, TrackPaused);
    EXPECT_EQ(v.channels[4].owner, 4);
    EXPECT_EQ(v.channels[0].owner, ChannelOwnerMusic);
    PlayerLock();
    TrackStop(&MusicTrack);
    PlayerUnlock();
    PlayerSnapshot(&v);
    EXPECT_EQ(v.channels[0].owner, ChannelOwnerNobody);
}

// What one moment of the driver always satisfies; a snapshot copied piecemeal while the
// other threads run breaks it.
void ExpectOneMoment(const PlayerView& v) {
    EXPECT_EQ(v.reservedChannelMask & ~0x3Fu, 0u);
    bool musicOwns = v.music.playState == TrackPlaying || v.music.playState == TrackPaused;
    for (int c = 0; c < 9; ++c) {
        bool reserved = v.reservedChannelMask & (1u << c);
        uint8_t owner = v.channels[c].owner;
        if (owner < SfxTrackCount) {
            EXPECT_EQ(owner, c);
            EXPECT_TRUE(reserved) << "channel " << c << " owned by an SFX but not reserved";
        } else {
            EXPECT_FALSE(reserved);
            EXPECT_EQ(owner, musicOwns ? ChannelOwnerMusic : ChannelOwnerNobody);
        }
    }
    for (int i = 0; i < SfxTrackCount; ++i)
        EXPECT_TRUE(v.sfx[i].playState != TrackPlaying || v.channels[i].owner == i) << i;
    auto playsLoadedSlot = [&v](const PlayerTrackView& t) {
        if (t.playState != TrackPlaying) return;
        ASSERT_GE(t.slot, 0);
        EXPECT_TRUE(v.slots[t.slot].loaded);
    };
    playsLoadedSlot(v.music);
    for (const PlayerTrackView& t : v.sfx) playsLoadedSlot(t);
}

TEST_F(PlayerViewTest, SnapshotsAgainstRandomCommandsWhileRendering) {
    const std::string files[2] = {music, effect};
    for (int s = 0; s < 4; ++s) ASSERT_EQ(PlayerSlotReload(s, files[s % 2].c_str()), VgmLoadOk);

    // Fixed step counts on every side: the length does not hang on how the lock is shared.
    std::thread render([] {
        int16_t buf[441];
        for (int i = 0; i < 300; i++) PlayerRender(nullptr, sizeof buf, buf);
    });
    std::atomic<bool> commandsDone{false}, snapshotsDone{false};
    std::atomic<int> snapshots{0};
    std::thread commands([&files, &commandsDone, &snapshotsDone, &snapshots] {
        std::mt19937 rng(2026);
        auto pick = [&rng](int n) { return int(rng() % unsigned(n)); };
        for (int i = 0; i < 3000; i++) {
            int op = pick(8);
            if (op == 7) {
                PlayerSlotReload(pick(4), files[pick(2)].c_str());
                continue;
            }
            PlayerLock();
            Track* track = pick(2) ? &MusicTrack : &SfxTracks[pick(SfxTrackCount)];
            if (op < 3) {
                if (track->playState == TrackPlaying) TrackStop(track);
                track->slot = &VgmSlots[pick(4)];
                TrackStart(track);
            } else if (op == 3) {
                TrackStop(track);
            } else if (op == 4) {
                PlayerPauseMusic();
            } else if (op == 5) {
                PlayerResumeMusic();
            } else {
                PlayerStopSfx(0xFF);
            }
            PlayerUnlock();
            // Now and then the commands wait for a snapshot, so that snapshots fall between
            // them even where the lock keeps going back to this thread.
            if (i % 32 == 0)
                for (int seen = snapshots; snapshots == seen && !snapshotsDone;)
                    std::this_thread::yield();
        }
        commandsDone = true;
    });
    int sfxSeen = 0;
    // Snapshots go on for as long as the commands do, and at least 5000 of them.
    for (int i = 0; i < 5000 || !commandsDone; i++) {
        PlayerSnapshot(&v);
        ExpectOneMoment(v);
        if (v.reservedChannelMask) sfxSeen++;
        ++snapshots;
        if (HasFailure()) break;
    }
    snapshotsDone = true;
    commands.join();
    render.join();
    EXPECT_GT(sfxSeen, 0) << "no snapshot saw an effect holding a channel";
}

}  // namespace
