// player.cpp - the sound driver's state and everything but the interpreter: register
// tables, the one chip-write path, reset and track start, the routing of track writes onto
// the shared chip, stopping, pausing, channel release, the driver lock and slot changes.
//
// Index
//   State ................... tracks, register images (the layout tables: opl2_layout.h)
//   Lock, chip write ........ PlayerLock, PlayerUnlock, PlayerChipWrite
//   Reset and start ......... PlayerReset, TrackStart
//   Routing ................. PlayerRouteWrite
//   Stopping and pausing .... TrackStop, PlayerStopSfx, PlayerStopAll, PlayerShutdown,
//                             Pause, Resume, PlayerAnyTrackPlaying
//   Slots while tracks play . PlayerSlotFree, PlayerSlotReload
//
// Invariants owned here:
//   (1) a channel held by an SFX (its bit set in ReservedChannelMask) gets no music writes;
//       they are recorded in MusicRegs only;
//   (2) when an SFX ends while the music plays, the music's thirteen registers for that
//       channel are written back from MusicRegs and the channel's bit is cleared;
//   (3) the music never reaches the timer registers 0x02, 0x03, 0x04: Timer 1 is the
//       driver's only clock;
//   (4) no track plays a slot while the slot's image is freed or replaced: a playing or
//       paused track's slot holds an image;
//   (5) SFX track i plays on chip channel i and writes its own image SfxRegs[i]; the music
//       track's image is MusicRegs;
//   (6) only bits 0 to 5 of ReservedChannelMask are ever set, and bit i is set while SFX
//       track i plays (it may stay set after the SFX ends while the music does not play).
// Debug builds check (4) to (6) whenever the driver lock is released.
#include "driver/player.h"

#include <atomic>
#include <cassert>
#include <cstring>
#include <mutex>
#include <thread>

// --- State -------------------------------------------------------------------------------

Track MusicTrack;
Track SfxTracks[SfxTrackCount];
uint8_t MusicRegs[256];
uint8_t SfxRegs[SfxTrackCount][SfxRegCount];
uint16_t& ReservedChannelMask = MusicTrack.channel;
FmChip* PlayerChip;

namespace {

std::mutex DriverLock;
std::atomic<std::thread::id> LockOwner;  // the thread holding DriverLock; none when free

constexpr uint8_t KeyOnBit = 0x20;
constexpr uint8_t RhythmKeyBits = 0x1F;
constexpr uint8_t NoChannel = 0xFF;

// The chip channel a register belongs to, or NoChannel for global registers, rhythm,
// row offsets without an operator and channel rows 9 to 15.
uint8_t RegisterChannel(uint8_t reg) {
    uint8_t row = RegRowIndex[reg >> 4];
    if (row == 0xFF) return NoChannel;
    if (row < 10) {
        uint8_t op = OpSlotChannel[reg & 0x1F];
        return op == 0xFF ? NoChannel : uint8_t(op & 0x7F);
    }
    uint8_t ch = reg & 0x0F;
    return ch < 9 ? ch : NoChannel;
}

bool IsIdle(const Track* track) {
    return track->playState >= 0x80;
}

#ifndef NDEBUG
bool PlaysFromImage(const Track& t) {
    bool active = t.playState == TrackPlaying || t.playState == TrackPaused;
    return !active || (t.slot != nullptr && t.slot->fileData != nullptr);
}

void CheckInvariants() {
    assert(MusicTrack.kind == TrackMusic && MusicTrack.regs == MusicRegs && "(5)");
    assert(PlaysFromImage(MusicTrack) && "(4) the music plays a freed slot");
    assert((ReservedChannelMask & ~0x3Fu) == 0 && "(6) a reserved channel above 5");
    for (int i = 0; i < SfxTrackCount; ++i) {
        const Track& t = SfxTracks[i];
        assert(t.kind == TrackSfx && t.channel == i && t.regs == SfxRegs[i] && "(5)");
        assert(PlaysFromImage(t) && "(4) an SFX plays a freed slot");
        assert((t.playState != TrackPlaying || (ReservedChannelMask >> i & 1)) &&
               "(6) a playing SFX's channel is not reserved");
    }
}
#endif

}  // namespace

// --- Lock, chip write --------------------------------------------------------------------

void PlayerLock() {
    assert(!PlayerLockHeld() && "the driver lock is not recursive");
    DriverLock.lock();
    LockOwner.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

void PlayerUnlock() {
    assert(PlayerLockHeld() && "unlocking a driver lock this thread does not hold");
#ifndef NDEBUG
    if (MusicTrack.regs != nullptr) CheckInvariants();  // from the first PlayerReset on
#endif
    LockOwner.store(std::thread::id(), std::memory_order_relaxed);
    DriverLock.unlock();
}

bool PlayerLockHeld() {
    return LockOwner.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

void PlayerChipWrite(uint8_t reg, uint8_t value) {
    assert(PlayerLockHeld());
    PlayerChip->addressLatch = reg;
    if (PlayerChip->beforeWriteHook) PlayerChip->beforeWriteHook(PlayerChip->beforeWriteParam);
    FmChipWrite(PlayerChip->addressLatch, PlayerChip, value);
}

// --- Reset and start ---------------------------------------------------------------------

void PlayerReset() {
    assert(PlayerLockHeld());
    std::memset(MusicRegs, 0, sizeof MusicRegs);
    MusicTrack = Track{};
    MusicTrack.kind = TrackMusic;
    MusicTrack.playState = TrackIdle;
    MusicTrack.regs = MusicRegs;
    for (int i = 0; i < SfxTrackCount; ++i) {
        SfxTracks[i] = Track{};
        std::memset(SfxRegs[i], 0, SfxRegCount);
        SfxTracks[i].kind = TrackSfx;
        SfxTracks[i].playState = TrackIdle;
        SfxTracks[i].channel = uint16_t(i);
        SfxTracks[i].regs = SfxRegs[i];
    }
    for (int reg = 0xFF; reg >= 0x20; --reg) PlayerChipWrite(uint8_t(reg), 0);
    PlayerChipWrite(0x02, 0x07);  // Timer 1 preset: 249 steps, about 20.03 ms
    PlayerChipWrite(0x04, 0x01);  // start Timer 1, nothing masked
    PlayerChipWrite(0x04, 0x80);  // clear the timer flags and the interrupt
    PlayerChipWrite(0x01, 0x20);  // waveform select stays enabled on the chip for good
}

void TrackStart(Track* track) {
    assert(PlayerLockHeld());
    VgmSlot* slot = track->slot;
    if (!slot || !slot->fileData || std::memcmp(slot->header, "Vgm ", 4) != 0) {
        track->playState = TrackIdle;
        return;
    }
    track->playState = TrackPlaying;
    track->readPos = VgmHeaderU32(slot, VgmHdrDataOffset);
    track->sampleTime = 0;
    track->targetTime = 0;
    track->loopCount = 0;
    track->waveSelect = 0;
    if (track->kind != TrackSfx) return;
    uint8_t ch = uint8_t(track->channel);
    uint8_t b0 = MusicRegs[0xB0 | ch];
    // Silence the music's note on the chip only: MusicRegs keeps the key-on bit, so the
    // note comes back when the channel is released.
    if (b0 & KeyOnBit) PlayerChipWrite(uint8_t(0xB0 | ch), uint8_t(b0 & ~KeyOnBit));
    ReservedChannelMask |= uint16_t(1u << ch);
}

// --- Routing -----------------------------------------------------------------------------

namespace {

void RouteMusicWrite(uint8_t reg, uint8_t value) {
    if (reg == 0x01) value |= 0x20;
    MusicRegs[reg] = value;
    if (reg >= 0x02 && reg <= 0x04) return;  // invariant (3)
    uint8_t ch = RegisterChannel(reg);
    if (ch != NoChannel && (ReservedChannelMask & (1u << ch))) return;  // invariant (1)
    PlayerChipWrite(reg, value);
}

void RouteSfxWrite(Track* track, uint8_t reg, uint8_t value) {
    if (reg == 0xBD) return;
    uint8_t row = RegRowIndex[reg >> 4];
    if (row == 0xFF) return;
    uint8_t ch = uint8_t(track->channel);
    if (row < 10) {
        uint8_t op = OpSlotChannel[reg & 0x1F];
        if (op == 0xFF) return;
        uint8_t k = uint8_t(row + (op >> 7));
        track->regs[k] = value;
        PlayerChipWrite(uint8_t(OpRegBase[k] + ChanOpOffset[ch]), value);
        return;
    }
    if ((reg & 0x0F) >= 9) return;
    track->regs[row] = value;
    PlayerChipWrite(uint8_t((reg & 0xF0) | ch), value);
}

}  // namespace

void PlayerRouteWrite(Track* track, uint8_t reg, uint8_t value) {
    assert(PlayerLockHeld());
    if (track->kind == TrackMusic)
        RouteMusicWrite(reg, value);
    else
        RouteSfxWrite(track, reg, value);
}

// --- Stopping and pausing ----------------------------------------------------------------
//
// Music playState, with the call behind each change:
//   Idle    --TrackStart-->       Playing
//   Playing --PlayerPauseMusic--> Paused   --PlayerResumeMusic--> Playing
//   Playing/Paused/Stopped --TrackStop--> Stopped (keys off again)
//   Playing --end of data (TrackTick)--> Stopped

namespace {

// Keys off the music's notes on channels no SFX holds, and its rhythm instruments.
void MusicKeyOff() {
    for (int ch = 0; ch < 9; ++ch) {
        uint8_t reg = uint8_t(0xB0 + ch);
        if ((ReservedChannelMask & (1u << ch)) || !(MusicRegs[reg] & KeyOnBit)) continue;
        MusicRegs[reg] &= uint8_t(~KeyOnBit);
        PlayerChipWrite(reg, MusicRegs[reg]);
    }
    if (MusicRegs[0xBD] & RhythmKeyBits) {
        MusicRegs[0xBD] &= uint8_t(~RhythmKeyBits);
        PlayerChipWrite(0xBD, MusicRegs[0xBD]);
    }
}

void SfxStop(Track* track) {
    uint8_t ch = uint8_t(track->channel);
    uint8_t* b0 = &track->regs[12];
    if (*b0 & KeyOnBit) {
        *b0 &= uint8_t(~KeyOnBit);
        PlayerChipWrite(uint8_t(0xB0 | ch), *b0);
    }
    track->playState = TrackStopped;
    if (MusicTrack.playState != TrackPlaying) return;  // the channel stays held
    for (int k = 0; k < 10; ++k) {                     // invariant (2)
        uint8_t reg = uint8_t(OpRegBase[k] + ChanOpOffset[ch]);
        PlayerChipWrite(reg, MusicRegs[reg]);
    }
    for (uint8_t base : ChanRegBase) PlayerChipWrite(uint8_t(base | ch), MusicRegs[base | ch]);
    ReservedChannelMask &= uint16_t(~(1u << ch));
}

}  // namespace

void TrackStop(Track* track) {
    assert(PlayerLockHeld());
    if (IsIdle(track)) return;
    if (track->kind == TrackMusic) {
        MusicKeyOff();
        track->playState = TrackStopped;
    } else {
        SfxStop(track);
    }
}

uint8_t PlayerStopSfx(uint8_t which) {
    assert(PlayerLockHeld());
    if (which == 0xFF) {
        for (Track& t : SfxTracks) TrackStop(&t);
        return 0;
    }
    if (which >= SfxTrackCount) return 0xFF;
    TrackStop(&SfxTracks[which]);
    return 0;
}

void PlayerStopAll() {
    TrackStop(&MusicTrack);
    PlayerStopSfx(0xFF);
}

bool PlayerAnyTrackPlaying() {
    PlayerLockGuard lock;
    if (MusicTrack.playState == TrackPlaying) return true;
    for (const Track& t : SfxTracks)
        if (t.playState == TrackPlaying) return true;
    return false;
}

void PlayerShutdown() {
    PlayerStopAll();
    PlayerChipWrite(0x04, 0x00);  // both timers stop: no further ticks
}

void PlayerPauseMusic() {
    assert(PlayerLockHeld());
    if (MusicTrack.playState != TrackPlaying) return;
    TrackStop(&MusicTrack);
    MusicTrack.playState = TrackPaused;
}

void PlayerResumeMusic() {
    assert(PlayerLockHeld());
    if (MusicTrack.playState == TrackPaused) MusicTrack.playState = TrackPlaying;
}

// --- Slots while tracks play -------------------------------------------------------------

void PlayerSlotFree(int slot) {
    if (slot < 0 || slot > 3) return;
    VgmSlot* s = &VgmSlots[slot];
    PlayerLockGuard lock;
    // Invariant (4): every track still reading the image stops before it goes, the music
    // first, then SFX 0..5.
    if (MusicTrack.slot == s && !IsIdle(&MusicTrack)) TrackStop(&MusicTrack);
    for (Track& t : SfxTracks)
        if (t.slot == s && !IsIdle(&t)) TrackStop(&t);
    VgmSlotFree(s);
}

// A slot number outside 0..3 is refused with the cannot-open code and changes nothing.
uint8_t PlayerSlotReload(int slot, const char* path) {
    if (slot < 0 || slot > 3) return VgmLoadCannotOpen;
    PlayerSlotFree(slot);
    VgmSlot fresh;
    uint8_t code = VgmSlotLoad(path, &fresh);  // file I/O outside the lock
    PlayerLockGuard lock;
    VgmSlots[slot] = fresh;
    return code;
}
