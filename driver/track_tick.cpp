// track_tick.cpp - the VGM stream interpreter: one driver tick of one track, 880 samples of
// VGM time. Runs on the audio thread inside PlayerRender (under the driver lock), up to seven
// times per Timer 1 interrupt; it allocates nothing, does no I/O, runs at most 65,536
// commands and never reads outside the slot's image: a command or operand past fileSize, or
// a tick that runs out of commands, ends the track.
#include <cassert>

#include "driver/player.h"

namespace {

constexpr uint32_t TickSamples = 880;
// Commands one track may execute in one tick. A whole-chip reprogram is a few hundred
// writes; a file of millions of zero-time writes would otherwise hold the driver lock (and
// the audio) for as long as it takes to run them all.
constexpr uint32_t CommandsPerTick = 65536;
constexpr uint8_t Unrecognised = 0;

// Command byte to length in bytes, command included. 0 marks an unrecognised command; the
// data block 0x67 is 7 here plus the size in its operands.
struct CommandLengths {
    uint8_t len[256];
};

constexpr CommandLengths MakeCommandLengths() {
    CommandLengths t{};
    auto range = [&t](int lo, int hi, uint8_t n) {
        for (int c = lo; c <= hi; ++c) t.len[c] = n;
    };
    range(0x30, 0x3F, 2);
    range(0x40, 0x4E, 3);
    range(0x4F, 0x50, 2);
    range(0x51, 0x5F, 3);  // 0x5A..0x5C are the played writes
    range(0x61, 0x61, 3);
    range(0x62, 0x63, 1);
    range(0x66, 0x66, 1);
    range(0x67, 0x67, 7);
    range(0x68, 0x68, 12);
    range(0x70, 0x8F, 1);
    range(0x90, 0x91, 5);
    range(0x92, 0x92, 6);
    range(0x93, 0x93, 11);
    range(0x94, 0x94, 2);
    range(0x95, 0x95, 5);
    range(0xA0, 0xBF, 3);
    range(0xC0, 0xDF, 4);
    range(0xE0, 0xFF, 5);
    return t;
}

constexpr CommandLengths Lengths = MakeCommandLengths();

// YM3812 write: a track's waveform choices count only after its own 0x01 write enabled
// waveform select.
void Ym3812Write(Track* track, uint8_t reg, uint8_t value) {
    if (reg == 0x01)
        track->waveSelect = value & 0x20;
    else if (reg >= 0xE0 && !track->waveSelect)
        value = 0;
    PlayerRouteWrite(track, reg, value);
}

// YM3526 / Y8950 write played on the YM3812: no waveform select, no registers 0x07 and
// 0x09..0x1F (ADPCM, keyboard, I/O), and only the mode bits of 0x08.
void Opl1Write(Track* track, uint8_t reg, uint8_t value) {
    if (reg >= 0xE0) value = 0;
    if (reg == 0x07 || (reg >= 0x09 && reg <= 0x1F)) return;
    if (reg == 0x08) value &= 0xF0;
    PlayerRouteWrite(track, reg, value);
}

}  // namespace

void TrackTick(Track* track) {
    assert(PlayerLockHeld());
    const VgmSlot* slot = track->slot;
    const uint8_t* data = slot->fileData;
    const uint32_t size = slot->fileSize;
    track->targetTime += TickSamples;
    uint32_t pos = track->readPos;
    uint32_t time = track->sampleTime;
    bool jumped = false;      // a loop jump happened in this tick
    uint32_t timeAtJump = 0;  // time right after that jump
    uint32_t executed = 0;    // commands of every kind run in this tick

    // Wrap-safe: a loop length larger than the time played must not freeze the track.
    while (int32_t(time - track->targetTime) < 0 && track->playState == TrackPlaying) {
        // Also a data offset or loop offset at or past the end; and a tick that has run its
        // whole command budget without reaching its target ends the track like the end of
        // the data does.
        if (pos >= size || executed == CommandsPerTick) {
            track->playState = TrackStopped;
            break;
        }
        executed++;
        const uint8_t* cmd = data + pos;
        uint64_t len = Lengths.len[*cmd];
        if (len != Unrecognised && *cmd == 0x67 && uint64_t(pos) + 7 <= size)
            len += VgmReadU32(cmd + 3) & 0x7FFFFFFFu;
        if (len == Unrecognised || uint64_t(pos) + len > size) {
            track->playState = TrackStopped;  // the read position stays on the command
            break;
        }
        switch (*cmd) {
            case 0x5A:
                Ym3812Write(track, cmd[1], cmd[2]);
                break;
            case 0x5B:
            case 0x5C:
                Opl1Write(track, cmd[1], cmd[2]);
                break;
            case 0x61:
                time += uint32_t(cmd[1]) | uint32_t(cmd[2]) << 8;
                break;
            case 0x62:
                time += 735;
                break;
            case 0x63:
                time += 882;
                break;
            case 0x66: {
                track->readPos = pos;
                track->sampleTime = time;
                uint32_t loopOffset = VgmHeaderU32(slot, VgmHdrLoopOffset);
                if (loopOffset == 0 || (jumped && time == timeAtJump)) {
                    // No loop, or a loop that played no time since the last jump: it would
                    // spin inside the render callback for good.
                    track->playState = TrackStopped;
                    len = 0;
                    break;
                }
                uint32_t loopLength = VgmHeaderU32(slot, VgmHdrLoopLength);
                track->loopCount++;
                time -= loopLength;
                track->targetTime -= loopLength;
                jumped = true;
                timeAtJump = time;
                pos = loopOffset;
                len = 0;
                break;
            }
            default:
                if (*cmd >= 0x70 && *cmd <= 0x7F)
                    time += (*cmd & 0x0F) + 1u;
                else if (*cmd >= 0x80 && *cmd <= 0x8F)
                    time += *cmd & 0x0Fu;
                break;
        }
        pos += uint32_t(len);
        if (pos >= size) track->playState = TrackStopped;
    }
    track->readPos = pos;
    track->sampleTime = time;
    if (track->playState != TrackPlaying) TrackStop(track);
}
