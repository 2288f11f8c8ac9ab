// player.h - the sound driver: one music track and six SFX tracks sharing one FM chip,
// their register images, the VGM interpreter, the routing of writes onto the chip, stopping
// and channel release, and the render callback that is the driver's only clock.
//
// Threads and the driver lock. PlayerRender runs on the audio feeder thread and holds the
// driver lock for its whole call. Commands on the main thread take it (PlayerLockGuard) only
// around their change to the tracks, slots and chip, never around file I/O. The functions
// below that change shared state (TrackStart, TrackStop, PlayerStopSfx, PlayerStopAll,
// PlayerPauseMusic, PlayerResumeMusic, PlayerShutdown, PlayerReset, TrackTick,
// PlayerRouteWrite, PlayerChipWrite) take no lock themselves: the caller holds it, also while
// no device runs, and debug builds check that it does. PlayerSlotFree, PlayerSlotReload,
// PlayerAnyTrackPlaying, PlayerBringUp and PlayerBringDown take it themselves. The lock is not
// recursive. Debug builds also check the driver's invariants (player.cpp) at every unlock.
#pragma once

#include <cstdint>

#include "driver/vgm_slot.h"
#include "fmchip/fmchip.h"
#include "fmchip/opl2_layout.h"  // OpRegBase, ChanRegBase, ChanOpOffset, RegRowIndex, ...

enum : uint8_t { TrackMusic = 0, TrackSfx = 1 };
enum : uint8_t { TrackPlaying = 0, TrackStopped = 1, TrackPaused = 2, TrackIdle = 0xFF };

struct Track {
    uint8_t kind;       // TrackMusic or TrackSfx
    uint8_t playState;  // 0x80 or more counts as idle
    uint16_t loopCount;
    uint32_t readPos;     // offset of the next command in slot->fileData
    uint32_t sampleTime;  // VGM samples consumed
    uint32_t targetTime;  // time up to which the current tick runs
    VgmSlot* slot;
    uint16_t channel;    // SFX: chip channel; music: the ReservedChannelMask
    uint8_t* regs;       // MusicRegs or this SFX track's SfxRegs
    uint8_t waveSelect;  // 0x20 once the track's own 0x01 write enabled waveform select
};

constexpr int SfxTrackCount = 6;
constexpr int SfxRegCount = 13;  // 10 operator registers, then 0xC0, 0xA0, 0xB0

extern Track MusicTrack;
extern Track SfxTracks[SfxTrackCount];
extern uint8_t MusicRegs[256];
extern uint8_t SfxRegs[SfxTrackCount][SfxRegCount];
extern uint16_t& ReservedChannelMask;  // MusicTrack.channel
extern FmChip* PlayerChip;

// --- Driver lock ---
void PlayerLock();
void PlayerUnlock();
// True when the calling thread holds the driver lock. Any thread.
bool PlayerLockHeld();
// Holds the driver lock from its construction to the end of its scope.
struct PlayerLockGuard {
    PlayerLockGuard() { PlayerLock(); }
    ~PlayerLockGuard() { PlayerUnlock(); }
    PlayerLockGuard(const PlayerLockGuard&) = delete;
    PlayerLockGuard& operator=(const PlayerLockGuard&) = delete;
};

// --- Bring-up and take-down (main thread, while no device runs) ---
// Creates PlayerChip at sampleRate and resets it, installs its hooks (no IRQ hook, with
// irqHookParam = &PlayerChip; SettleAttacksHook before every write), resets it again with the
// hooks in place, then resets the driver. Returns false, with PlayerChip empty, when the chip
// cannot be created. Before the render callback is installed.
bool PlayerBringUp(uint32_t sampleRate);
// PlayerShutdown, the four slots freed, PlayerChip destroyed and emptied. After the device has
// stopped; nothing when there is no chip.
void PlayerBringDown();

// --- Chip writes, reset, start ---
void PlayerChipWrite(uint8_t reg, uint8_t value);
void PlayerReset();  // once the chip is created, reset and hooked, before the device starts
void TrackStart(Track* track);

// --- Interpreter and routing (audio thread, inside PlayerRender) ---
void TrackTick(Track* track);
void PlayerRouteWrite(Track* track, uint8_t reg, uint8_t value);

// --- Stopping, pausing ---
void TrackStop(Track* track);
uint8_t PlayerStopSfx(uint8_t which);  // 0..5 one track, 0xFF all; else 0xFF and nothing
void PlayerStopAll();                  // the music, then SFX 0..5
bool PlayerAnyTrackPlaying();          // the music or an SFX track is TrackPlaying (locks)
void PlayerShutdown();                 // after the device has stopped
void PlayerPauseMusic();
void PlayerResumeMusic();

// --- Slots while tracks play ---
// Stops (music first, then SFX 0..5) every non-idle track playing the slot, then frees it;
// all under the lock.
void PlayerSlotFree(int slot);
// PlayerSlotFree, then VgmSlotLoad outside the lock, and the new image installed under it.
uint8_t PlayerSlotReload(int slot, const char* path);

// --- Render callback (AudioRenderCallback form) ---
// Fills byteCount / 2 mono 16-bit samples; returns 2 * (byteCount / 2). Holds the driver lock
// for the whole call; allocates nothing and does no I/O.
uint32_t PlayerRender(void* userData, uint32_t byteCount, void* buffer);
// The same samples as PlayerRender, but the call ends right after the first tick of the
// playing tracks (its writes made): at most count samples into out; returns how many were
// rendered. For a caller that reads the driver's state after every tick, where it can change.
uint32_t PlayerRenderToTick(uint32_t count, int16_t* out);
