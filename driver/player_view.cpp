// player_view.cpp - the snapshot a viewer draws from, and the one answer to "who owns chip
// channel c". The copy is taken under the driver lock in one step and holds no pointer into
// driver state, so the viewer draws from it after the lock is released.
#include "driver/player_view.h"

#include <cstring>

const char* const VgmChipNames[VgmChipCount] = {
    "SN76489", "YM2413",  "YM2612",  "YM2151", "SegaPCM", "RF5C68", "YM2203",
    "YM2608",  "YM2610",  "YM3812",  "YM3526", "Y8950",   "YMF262", "YMF278B",
    "YMF271",  "YMZ280B", "RF5C164", "PWM",    "AY8910"};
// Header offsets of the clocks above (all inside the 128-byte header copy).
const uint8_t VgmChipClockOffsets[VgmChipCount] = {0x0C, 0x10, 0x2C, 0x30, 0x38, 0x40, 0x44,
                                                   0x48, 0x4C, 0x50, 0x54, 0x58, 0x5C, 0x60,
                                                   0x64, 0x68, 0x6C, 0x70, 0x74};

const char* const RhythmNames[RhythmCount] = {"bd", "sd", "tt", "cy", "hh"};

namespace {

constexpr uint8_t RhythmModeBit = 0x20;

uint32_t MuteMask, SoloMask;
// Peaks only: installed by the first snapshot when nothing else taps the chip (a renderer's
// stems tap reports the same peaks), so a program that never views pays nothing for meters.
FmChipTap MeterTap;

// Copies src into dst[cap], cut at a character boundary when it does not fit.
void CopyText(char* dst, size_t cap, const char* src) {
    size_t n = src ? std::strlen(src) : 0;
    if (n >= cap) {
        n = cap - 1;
        while (n > 0 && (static_cast<unsigned char>(src[n]) & 0xC0) == 0x80) --n;
    }
    if (n) std::memcpy(dst, src, n);
    dst[n] = '\0';
}

void SlotCopy(const VgmSlot* slot, PlayerSlotView* out) {
    std::memset(out, 0, sizeof *out);
    out->loaded = slot->fileData != nullptr;
    if (!out->loaded) return;
    CopyText(out->name, sizeof out->name, slot->name);
    out->fileSize = slot->fileSize;
    out->version = VgmHeaderU32(slot, VgmHdrVersion);
    out->totalSamples = VgmHeaderU32(slot, VgmHdrTotalSamples);
    out->loopSamples =
        VgmHeaderU32(slot, VgmHdrLoopOffset) ? VgmHeaderU32(slot, VgmHdrLoopLength) : 0;
    for (int i = 0; i < VgmChipCount; ++i)
        out->chipClocks[i] = VgmHeaderU32(slot, VgmChipClockOffsets[i]);
    out->hasTags = slot->gd3.text != nullptr;
    for (int f = 0; f < Gd3FieldCount; ++f)
        CopyText(out->tags[f], sizeof out->tags[f], Gd3Field(&slot->gd3, f));
}

void TrackCopy(const Track* track, PlayerTrackView* out) {
    out->playState = track->playState;
    out->slot = -1;
    for (int s = 0; s < 4; ++s)
        if (track->slot == &VgmSlots[s]) out->slot = int8_t(s);
    out->sampleTime = track->sampleTime;
    out->loopCount = track->loopCount;
}

}  // namespace

uint8_t PlayerChannelOwner(int channel) {
    if (channel < SfxTrackCount && (ReservedChannelMask & (1u << channel))) return uint8_t(channel);
    uint8_t music = MusicTrack.playState;
    return music == TrackPlaying || music == TrackPaused ? ChannelOwnerMusic : ChannelOwnerNobody;
}

void PlayerSetMute(uint32_t muteMask, uint32_t soloMask) {
    MuteMask = muteMask;
    SoloMask = soloMask;
    if (PlayerChip) FmChipSetMute(PlayerChip, muteMask, soloMask);
}

uint32_t PlayerMuteMask() {
    return MuteMask;
}

uint32_t PlayerSoloMask() {
    return SoloMask;
}

void PlayerSnapshot(PlayerView* out) {
    PlayerLock();
    for (int s = 0; s < 4; ++s) SlotCopy(&VgmSlots[s], &out->slots[s]);
    TrackCopy(&MusicTrack, &out->music);
    for (int i = 0; i < SfxTrackCount; ++i) TrackCopy(&SfxTracks[i], &out->sfx[i]);
    out->reservedChannelMask = ReservedChannelMask;
    FmChip* chip = PlayerChip;
    if (chip && !chip->tap) FmChipSetTap(chip, &MeterTap);
    FmChipTap* tap = chip ? chip->tap : nullptr;
    for (int c = 0; c < 9; ++c) {
        PlayerChannelView* ch = &out->channels[c];
        ch->owner = PlayerChannelOwner(c);
        ch->keyOn = chip && (chip->channels[c].ops[1].keySources & FmKeyRegister);
        ch->block = chip ? uint8_t(chip->channels[c].freqReg >> 10 & 7) : 0;
        ch->fnum = chip ? uint16_t(chip->channels[c].freqReg & 0x3FF) : 0;
        ch->peak = tap ? tap->peak[c] : 0;
    }
    out->rhythmMode = chip && (chip->rhythmBits & RhythmModeBit);
    out->rhythmKeys = chip ? uint8_t(chip->rhythmBits & 0x1F) : 0;
    for (int r = 0; r < RhythmCount; ++r) out->rhythmPeak[r] = tap ? tap->peak[FmTapBd + r] : 0;
    if (tap)
        for (int32_t& p : tap->peak) p = 0;
    out->muteMask = MuteMask;
    out->soloMask = SoloMask;
    out->chipRate = chip ? chip->sampleRate : 0;
    PlayerUnlock();
}
