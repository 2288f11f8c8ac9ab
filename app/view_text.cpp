// view_text.cpp - formatting of the driver snapshot for the status commands and the view.
#include "app/view_text.h"

#include <strings.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char buf[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

const char* const TagLabels[Gd3FieldCount] = {
    "Title",  "Title (orig.)",  "Game", "Game (orig.)", "System", "System (orig.)",
    "Author", "Author (orig.)", "Date", "Ripper",       "Notes"};

}  // namespace

const char* ViewStateName(uint8_t playState) {
    switch (playState) {
        case TrackPlaying:
            return "playing";
        case TrackStopped:
            return "stopped";
        case TrackPaused:
            return "paused";
        default:
            return "idle";
    }
}

std::string ViewOwnerName(uint8_t owner) {
    if (owner == ChannelOwnerMusic) return "music";
    if (owner < SfxTrackCount) return "SFX " + std::to_string(owner);
    return "-";
}

std::string ViewSlotName(int slot) {
    if (slot < 0) return "-";
    return slot == 0 ? "M" : std::to_string(slot);
}

std::string ViewTime(uint32_t samples) {
    uint32_t centis = uint32_t(uint64_t(samples) * 100 / 44100);
    return Format("%u:%02u.%02u", centis / 6000, centis / 100 % 60, centis % 100);
}

// The chip's pitch: f-number * clock / 72 / 2^(20 - block) Hz.
std::string ViewNoteName(uint8_t block, uint16_t fnum) {
    if (fnum == 0) return "-";
    static const char* const Names[12] = {"C",  "C#", "D",  "D#", "E",  "F",
                                          "F#", "G",  "G#", "A",  "A#", "B"};
    double hz = fnum * (FmChipClockHz / 72.0) / std::ldexp(1.0, 20 - block);
    double midi = 69 + 12 * std::log2(hz / 440.0);
    long nearest = std::lround(midi);
    int cents = int(std::lround((midi - double(nearest)) * 100));
    int note = int(((nearest % 12) + 12) % 12);
    long octave = nearest / 12 - 1 - (nearest < 0 && nearest % 12 ? 1 : 0);
    return Format("%s%ld%+d", Names[note], octave, cents);
}

std::string ViewChips(const PlayerSlotView& slot) {
    std::string out;
    for (int i = 0; i < VgmChipCount; ++i) {
        uint32_t clock = slot.chipClocks[i];
        if ((clock & 0x3FFFFFFF) == 0) continue;
        if (!out.empty()) out += ", ";
        out += VgmChipNames[i];
        if (clock & 0x40000000) out += " x2";  // bit 30: two chips of the kind
    }
    return out.empty() ? "none" : out;
}

std::string ViewSourceName(int source) {
    if (source < 9) return std::to_string(source);
    return RhythmNames[source - 9];
}

int ViewSourceParse(const std::string& word) {
    for (int s = 0; s < ViewSourceCount; ++s) {
        std::string name = ViewSourceName(s);
        if (word.size() == name.size() && strncasecmp(word.c_str(), name.c_str(), name.size()) == 0)
            return s;
    }
    return -1;
}

std::string ViewSourceList(uint32_t mask) {
    std::string out;
    for (int s = 0; s < ViewSourceCount; ++s)
        if (mask & (1u << s)) out += (out.empty() ? "" : " ") + ViewSourceName(s);
    return out.empty() ? "-" : out;
}

std::string ViewStatusText(const PlayerView& v) {
    std::string t = "Slot  Length    Loop      File\n";
    for (int s = 0; s < 4; ++s) {
        const PlayerSlotView& slot = v.slots[s];
        if (!slot.loaded) {
            t += Format("%-4s  -\n", ViewSlotName(s).c_str());
            continue;
        }
        t += Format("%-4s  %-8s  %-8s  %s\n", ViewSlotName(s).c_str(),
                    ViewTime(slot.totalSamples).c_str(),
                    slot.loopSamples ? ViewTime(slot.loopSamples).c_str() : "-", slot.name);
    }
    t += "Track  State    Slot  Time      Loops\n";
    auto track = [&t](const char* name, const PlayerTrackView& tr) {
        bool idle = tr.playState >= 0x80;
        t += Format("%-5s  %-7s  %-4s  %-8s  %s\n", name, ViewStateName(tr.playState),
                    ViewSlotName(tr.slot).c_str(), idle ? "-" : ViewTime(tr.sampleTime).c_str(),
                    idle ? "-" : std::to_string(tr.loopCount).c_str());
    };
    track("Music", v.music);
    for (int i = 0; i < SfxTrackCount; ++i) track(("SFX " + std::to_string(i)).c_str(), v.sfx[i]);
    t += "Channel";
    for (int c = 0; c < 9; ++c) t += Format("  %-5d", c);
    t += "\nOwner  ";
    for (int c = 0; c < 9; ++c) t += Format("  %-5s", ViewOwnerName(v.channels[c].owner).c_str());
    t += "\nReserved: ";
    std::string reserved;
    for (int c = 0; c < SfxTrackCount; ++c)
        if (v.reservedChannelMask & (1u << c))
            reserved += (reserved.empty() ? "" : " ") + std::to_string(c);
    t += reserved.empty() ? "-" : reserved;
    t += Format("  Rhythm: %s  Muted: %s  Solo: %s\n", v.rhythmMode ? "on" : "off",
                ViewSourceList(v.muteMask).c_str(), ViewSourceList(v.soloMask).c_str());
    return t;
}

std::string ViewInfoText(const PlayerView& v, int slot) {
    const PlayerSlotView& s = v.slots[slot];
    std::string t = Format("Slot %d: ", slot);
    if (!s.loaded) return t + "empty\n";
    t += std::string(s.name) + "\n";
    t += Format("  %-15s %u bytes\n", "Size", s.fileSize);
    t += Format("  %-15s %x.%02x\n", "Version", s.version >> 8, s.version & 0xFF);
    t += Format("  %-15s %s\n", "Chips", ViewChips(s).c_str());
    t += Format("  %-15s %s (%u samples)\n", "Length", ViewTime(s.totalSamples).c_str(),
                s.totalSamples);
    if (s.loopSamples)
        t += Format("  %-15s %s (%u samples)\n", "Loop", ViewTime(s.loopSamples).c_str(),
                    s.loopSamples);
    else
        t += Format("  %-15s none\n", "Loop");
    if (!s.hasTags) return t + Format("  %-15s none\n", "Tags");
    for (int f = 0; f < Gd3FieldCount; ++f) {
        if (!s.tags[f][0]) continue;
        // Lines of the notes after the first go under the first.
        const std::string indent = "\n" + std::string(18, ' ');
        std::string text = s.tags[f];
        for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += indent.size())
            text.replace(at, 1, indent);
        t += Format("  %-15s ", TagLabels[f]) + text + "\n";
    }
    return t;
}
