// fuzz_driver.cpp - libFuzzer target: any bytes as a VGM file, loaded from memory and played
// by calling TrackTick directly against the recording chip (no audio rendered), so one input
// costs microseconds. After every tick of every track the chip writes it made are checked:
// the music writes nothing to a channel an SFX holds and never reaches the timer registers;
// an SFX writes only its own channel's registers; an SFX that ends while the music plays
// writes back exactly the music's thirteen registers of that channel, and frees it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "driver/player.h"
#include "fmchip/opl2_layout.h"
#include "tests/driver/fake_chip.h"

namespace {

constexpr int MaxTicks = 300;
// A file may run up to 65,536 commands per tick and track without breaking a rule (a loop
// of commands with a one-sample wait does), and 300 such ticks of three tracks took seconds
// per input here: the session ends once its tracks have read this many bytes of commands
// (every command is at least one) and made this many writes.
constexpr size_t WorkBudget = size_t(1) << 17;
constexpr uint8_t NoChannel = 0xFF;

// The thirteen registers of chip channel ch in the order a give-back writes them.
void ChannelRegisters(int ch, uint8_t out[SfxRegCount]) {
    for (int k = 0; k < 10; k++) out[k] = uint8_t(OpRegBase[k] + ChanOpOffset[ch]);
    for (int k = 0; k < 3; k++) out[10 + k] = uint8_t(ChanRegBase[k] | ch);
}

uint8_t ChannelOf[256];

void Check(bool ok) {
    if (!ok) abort();
}

// The writes one tick of track made (from index first of the log), against the rules above.
void CheckTick(const Track* track, uint16_t maskBefore, bool musicPlaying, size_t first) {
    const std::vector<FakeWrite>& log = FakeChipWrites;
    if (track->kind == TrackMusic) {
        for (size_t i = first; i < log.size(); i++) {
            uint8_t reg = log[i].reg;
            Check(reg < 0x02 || reg > 0x04);
            Check(ChannelOf[reg] == NoChannel || !(maskBefore & (1u << ChannelOf[reg])));
        }
        return;
    }
    int ch = track->channel;
    bool ended = track->playState != TrackPlaying;
    size_t restoreFrom = log.size();
    if (ended && musicPlaying) {
        Check(log.size() - first >= SfxRegCount);
        restoreFrom = log.size() - SfxRegCount;
        uint8_t regs[SfxRegCount];
        ChannelRegisters(ch, regs);
        for (int k = 0; k < SfxRegCount; k++) {
            Check(log[restoreFrom + size_t(k)].reg == regs[k]);
            Check(log[restoreFrom + size_t(k)].value == MusicRegs[regs[k]]);
        }
        Check(!(ReservedChannelMask & (1u << ch)));
    } else {
        Check(ReservedChannelMask & (1u << ch));  // held while it plays, and after if no music
    }
    for (size_t i = first; i < restoreFrom; i++) Check(ChannelOf[log[i].reg] == ch);
}

// One tick of track, checked; returns its work: the bytes of commands it read (a loop pass
// counted as the whole stretch from the loop offset to the end) and the writes it made.
size_t Tick(Track* track) {
    if (track->playState != TrackPlaying) return 0;
    uint16_t mask = ReservedChannelMask;
    bool musicPlaying = MusicTrack.playState == TrackPlaying;
    size_t first = FakeChipWrites.size();
    uint16_t loops = track->loopCount;
    uint32_t pos = track->readPos;
    TrackTick(track);
    CheckTick(track, mask, musicPlaying, first);
    const VgmSlot* slot = track->slot;
    uint32_t loopAt = VgmHeaderU32(slot, VgmHdrLoopOffset);
    size_t passes = uint16_t(track->loopCount - loops);
    size_t read = passes * (slot->fileSize > loopAt ? slot->fileSize - loopAt : 1);
    if (track->readPos > pos) read += track->readPos - pos;
    return read + (FakeChipWrites.size() - first);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (uint8_t& c : ChannelOf) c = NoChannel;
    for (int ch = 0; ch < 9; ch++) {
        uint8_t regs[SfxRegCount];
        ChannelRegisters(ch, regs);
        for (uint8_t reg : regs) ChannelOf[reg] = uint8_t(ch);
    }
    PlayerChip = FmChipCreate(44100);
    if (!PlayerChip) abort();
    FmChipReset(PlayerChip);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The driver's contract holds here too: every call that changes tracks holds the lock.
    {
        PlayerLockGuard lock;
        PlayerReset();
    }
    VgmSlotFree(&VgmSlots[0]);
    if (VgmSlotLoadMemory(data, size, &VgmSlots[0]) != VgmLoadOk) return 0;
    // The schedule follows the input's size: when SFX 1 starts, when the music pauses and
    // resumes, so that channels are taken and given back in every order.
    uint32_t h = uint32_t(size) * 2654435761u;
    int sfxStart = int(h % 40), pauseAt = 20 + int((h >> 8) % 60), resumeAt = pauseAt + 5;
    {
        PlayerLockGuard lock;
        MusicTrack.slot = &VgmSlots[0];
        TrackStart(&MusicTrack);
        SfxTracks[4].slot = &VgmSlots[0];
        TrackStart(&SfxTracks[4]);
    }
    size_t work = 0;
    for (int tick = 0; tick < MaxTicks && work < WorkBudget && PlayerAnyTrackPlaying(); tick++) {
        PlayerLockGuard lock;
        FakeChipClearLog();
        if (tick == sfxStart) {
            SfxTracks[1].slot = &VgmSlots[0];
            TrackStart(&SfxTracks[1]);
        }
        if (tick == pauseAt) PlayerPauseMusic();
        if (tick == resumeAt) PlayerResumeMusic();
        work += Tick(&MusicTrack);
        for (Track& t : SfxTracks) work += Tick(&t);
    }
    {
        PlayerLockGuard lock;
        PlayerStopAll();
    }
    VgmSlotFree(&VgmSlots[0]);
    return 0;
}
