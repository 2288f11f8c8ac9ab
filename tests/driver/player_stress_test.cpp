// player_stress_test.cpp - the two-thread contract on the real chip: one thread renders
// continuously while another fires thousands of random start, stop, pause, resume, free and
// reload commands, each taking the driver lock the way the command interpreter does. Run
// under the thread and address sanitizers, it shows no race and no read of a freed slot.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "tests/driver/driver_test_files.h"

namespace {

// Files the commands load: looping music, a short effect, a looping effect, a broken file.
std::vector<std::string> MakeFiles() {
    std::vector<std::string> paths;
    auto save = [&paths](VgmWriter* w, const char* name, bool gzip) {
        VgmWriterFinish(w);
        paths.push_back(TestPath(name));
        EXPECT_TRUE(VgmWriterSave(w, paths.back().c_str(), gzip));
    };
    VgmWriter music = NewVgm();
    VgmWriterMarkLoop(&music);
    VgmWriterArpeggio(&music, 0, 9, 16, 300);
    VgmWriterEnd(&music);
    save(&music, "music.vgz", true);
    VgmWriter shortSfx = NewVgm();
    VgmWriterArpeggio(&shortSfx, 4, 1, 3, 500);
    VgmWriterEnd(&shortSfx);
    save(&shortSfx, "short.vgm", false);
    VgmWriter loopSfx = NewVgm();
    VgmWriterOpl2(&loopSfx, 0x01, 0x20);
    VgmWriterMarkLoop(&loopSfx);
    VgmWriterArpeggio(&loopSfx, 8, 1, 5, 200);
    VgmWriterEnd(&loopSfx);
    save(&loopSfx, "loop.vgm", false);
    VgmWriter broken = NewVgm();
    VgmWriterRaw(&broken, {0x5A, 0xB0, 0x31, 0x61, 0x20});
    save(&broken, "broken.vgm", false);
    return paths;
}

// Checked under the lock after every command: what a tick relies on.
void ExpectConsistent() {
    EXPECT_EQ(ReservedChannelMask & ~0x3F, 0);
    auto check = [](const Track& t) {
        if (t.playState != TrackPlaying) return;
        ASSERT_NE(t.slot, nullptr);
        EXPECT_NE(t.slot->fileData, nullptr);  // no track plays a freed slot
    };
    check(MusicTrack);
    for (const Track& t : SfxTracks) check(t);
}

TEST(PlayerStress, RenderAgainstRandomCommands) {
    ASSERT_TRUE(PlayerBringUp(44100));
    const std::vector<std::string> files = MakeFiles();
    for (int s = 0; s < 4; ++s) ASSERT_EQ(PlayerSlotReload(s, files[s % 3].c_str()), VgmLoadOk);

    // Both sides run a fixed number of steps and neither waits for the other, so the test's
    // length does not hang on how fairly the lock is handed between them.
    constexpr uint64_t Buffers = 400;  // 4 s of audio
    constexpr uint64_t Commands = 4000;
    std::thread render([&] {
        int16_t buf[441];
        for (uint64_t i = 0; i < Buffers; i++) PlayerRender(nullptr, sizeof buf, buf);
    });

    std::mt19937 rng(12345);
    auto pick = [&rng](int n) { return int(rng() % unsigned(n)); };
    for (uint64_t commands = 0; commands < Commands; commands++) {
        int op = pick(10);
        if (op == 8) {
            PlayerSlotReload(pick(4), files[size_t(pick(int(files.size())))].c_str());
        } else if (op == 9) {
            PlayerSlotFree(pick(4));
        } else {
            PlayerLock();
            Track* track = pick(2) ? &MusicTrack : &SfxTracks[pick(SfxTrackCount)];
            switch (op) {
                case 0:
                case 1:
                case 2:  // play: stop a playing track first, then start it on a slot
                    if (track->playState == TrackPlaying) TrackStop(track);
                    track->slot = &VgmSlots[pick(4)];
                    TrackStart(track);
                    break;
                case 3:
                    TrackStop(track);
                    break;
                case 4:
                    PlayerStopSfx(uint8_t(pick(8) == 7 ? 0xFF : pick(7)));
                    break;
                case 5:
                    PlayerPauseMusic();
                    break;
                case 6:
                    PlayerResumeMusic();
                    break;
                default:
                    TrackStop(&MusicTrack);
                    break;
            }
            ExpectConsistent();
            PlayerUnlock();
        }
        if (commands % 64 == 0) std::this_thread::yield();
    }
    render.join();

    PlayerLock();
    ExpectConsistent();
    PlayerUnlock();
    PlayerBringDown();
}

}  // namespace
