// player_view.h - a viewer's copy of the driver: slots with their file information and tags,
// tracks, the reserved-channel mask, each chip channel's owner, key, pitch and level, the
// rhythm section and the mute and solo masks, taken in one short step under the driver lock.
#pragma once

#include <cstdint>

#include "driver/gd3.h"
#include "driver/player.h"

// Owner of a chip channel: an SFX track number 0..5, or one of these.
enum : uint8_t { ChannelOwnerMusic = 0xFE, ChannelOwnerNobody = 0xFF };

// Who owns chip channel channel (0..8) now: the SFX track that holds it (its bit set in
// ReservedChannelMask; SFX track i holds channel i), else the music while its track is
// playing or paused, else nobody. Every display of owners goes through this. Driver lock held.
uint8_t PlayerChannelOwner(int channel);

// Chips a VGM header names by a non-zero clock, in header order.
constexpr int VgmChipCount = 19;
extern const char* const VgmChipNames[VgmChipCount];
extern const uint8_t VgmChipClockOffsets[VgmChipCount];

// Rhythm instruments in the order of their key bits in register 0xBD (bit 4 down to bit 0),
// and the chip tap's source numbers they have.
constexpr int RhythmCount = 5;
extern const char* const RhythmNames[RhythmCount];  // "bd", "sd", "tt", "cy", "hh"

constexpr int ViewNameMax = 256;  // bytes kept of a file name, terminator included
constexpr int ViewTagMax = 192;   // bytes kept of each GD3 field, terminator included

struct PlayerSlotView {
    bool loaded;
    char name[ViewNameMax];
    uint32_t fileSize;
    uint32_t version;  // BCD
    uint32_t totalSamples;
    uint32_t loopSamples;  // 0 when the file does not loop
    uint32_t chipClocks[VgmChipCount];
    bool hasTags;
    char tags[Gd3FieldCount][ViewTagMax];
};

struct PlayerTrackView {
    uint8_t playState;  // TrackPlaying, TrackStopped, TrackPaused, or 0x80 and up (idle)
    int8_t slot;        // 0..3, -1 when the track points at no slot
    uint32_t sampleTime;
    uint16_t loopCount;
};

struct PlayerChannelView {
    uint8_t owner;  // PlayerChannelOwner
    bool keyOn;
    uint8_t block;
    uint16_t fnum;
    int32_t peak;  // largest |output| since the last snapshot
};

struct PlayerView {
    PlayerSlotView slots[4];
    PlayerTrackView music;
    PlayerTrackView sfx[SfxTrackCount];
    uint16_t reservedChannelMask;
    PlayerChannelView channels[9];
    bool rhythmMode;
    uint8_t rhythmKeys;  // register 0xBD bits 4..0: bd sd tt cy hh
    int32_t rhythmPeak[RhythmCount];
    uint32_t muteMask;  // bit i = chip tap source i (channels 0..8, then bd sd tt cy hh)
    uint32_t soloMask;
    uint32_t chipRate;
};

// Mute and solo of the chip's tap sources (bit i = source i: channels 0..8, then bd sd tt cy
// hh): a muted source is left out of the mix; with a solo mask only soloed sources are
// mixed. Kept for the snapshot and applied to the chip. Driver lock held.
void PlayerSetMute(uint32_t muteMask, uint32_t soloMask);
uint32_t PlayerMuteMask();
uint32_t PlayerSoloMask();

// Copies everything above under the driver lock, taking it once. Main thread (or any thread
// but the render thread); never on the render path.
void PlayerSnapshot(PlayerView* out);
