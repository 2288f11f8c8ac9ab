// music.cpp - the example music: sixteen bars in A minor at about 125 beats a minute, a
// lead melody, a bassline, pad chords, arpeggios and rhythm-mode drums, looping for good.
// Exercises vibrato, tremolo, feedback, waveform select and the rhythm instruments.
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "tools/examplegen/examples.h"
#include "tools/examplegen/score.h"

namespace {

constexpr uint32_t Step = 6 * ScoreTick;  // one sixteenth note
constexpr uint32_t Bar = 16 * Step;
constexpr int BarCount = 16;
constexpr uint32_t MusicStart = ScoreTick;  // set-up writes first, the loop starts here

constexpr int ChLead = 0, ChBass = 1, ChPad = 2, ChArp = 5;
constexpr uint8_t RhythmBase = 0xE0;  // deep tremolo, deep vibrato, rhythm mode on
constexpr uint8_t DrumBass = 0x10, DrumSnare = 0x08, DrumTom = 0x04, DrumCymbal = 0x02,
                  DrumHiHat = 0x01;

struct Chord {
    int bass;      // root in the bass octave
    int tones[3];  // pad voicing
};

const Chord Am = {45, {57, 60, 64}}, F = {41, {57, 60, 65}}, C = {48, {55, 60, 64}},
            G = {43, {55, 59, 62}}, E = {40, {56, 59, 64}}, Em = {40, {55, 59, 64}},
            Dm = {38, {57, 62, 65}};

const Chord* const Progression[BarCount] = {&Am, &F, &C,  &G,  &Am, &F, &C, &E,
                                            &F,  &G, &Em, &Am, &Dm, &F, &E, &E};

// The melody, one bar per string: note name and octave, then its length in sixteenths.
const char* const Melody[BarCount] = {
    "E5:4 A4:2 C5:2 E5:4 D5:2 C5:2", "F5:4 E5:2 D5:2 C5:6 A4:2",
    "G4:2 C5:2 E5:2 G5:2 E5:4 C5:4", "D5:6 B4:2 G4:8",
    "E5:4 A5:2 G5:2 E5:4 C5:2 D5:2", "C5:4 F5:2 E5:2 D5:4 C5:2 A4:2",
    "G4:4 C5:2 E5:2 G5:4 E5:2 C5:2", "B4:6 G#4:2 E4:8",
    "A4:2 C5:2 F5:4 E5:2 F5:2 A5:4", "G5:6 F5:2 D5:4 B4:4",
    "E5:4 G5:2 B5:2 G5:4 E5:4",      "A5:6 G5:2 E5:4 C5:4",
    "D5:4 F5:2 A5:2 F5:4 D5:2 F5:2", "C6:4 A5:2 F5:2 A5:4 C6:4",
    "B5:4 G#5:2 E5:2 B4:4 D5:4",     "E5:8 D5:4 B4:4",
};

// Instruments: modulator and carrier rows 0x20, 0x40, 0x60, 0x80, 0xE0, then 0xC0.
const ScoreVoice Lead = {{0x61, 0x1C, 0xF2, 0x24, 0x00}, {0x61, 0x00, 0xF2, 0x15, 0x01}, 0x04};
const ScoreVoice Bass = {{0x21, 0x14, 0xF4, 0x47, 0x01}, {0x21, 0x07, 0xF5, 0x48, 0x00}, 0x0C};
const ScoreVoice Pad = {{0x21, 0x28, 0x72, 0x14, 0x00}, {0xA1, 0x0E, 0x62, 0x15, 0x00}, 0x02};
const ScoreVoice Arp = {{0x04, 0x22, 0xF6, 0x56, 0x00}, {0x01, 0x0B, 0xF5, 0x56, 0x02}, 0x06};
// Rhythm channels: 6 is the bass drum; 7 holds hi-hat (modulator) and snare (carrier);
// 8 holds tom (modulator) and cymbal (carrier).
const ScoreVoice Kick = {{0x00, 0x0D, 0xF8, 0x66, 0x00}, {0x01, 0x04, 0xF5, 0x48, 0x00}, 0x08};
const ScoreVoice HatSnare = {{0x01, 0x08, 0xF8, 0x58, 0x00}, {0x01, 0x06, 0xF7, 0x58, 0x00}, 0x00};
const ScoreVoice TomCymbal = {{0x02, 0x04, 0xF6, 0x58, 0x00}, {0x01, 0x04, 0xF4, 0x45, 0x00}, 0x00};

// "G#4" gives 68; returns -1 for a rest ("-").
int NoteNumber(const char* text) {
    static const int Semitone[7] = {9, 11, 0, 2, 4, 5, 7};  // A B C D E F G
    if (*text == '-') return -1;
    int note = Semitone[std::toupper(text[0]) - 'A'];
    int i = 1;
    if (text[i] == '#')
        note++, i++;
    else if (text[i] == 'b')
        note--, i++;
    return note + 12 * (text[i] - '0' + 1);
}

uint32_t BarTime(int bar) {
    return MusicStart + uint32_t(bar) * Bar;
}

void MelodyBar(Score* s, int bar) {
    const char* p = Melody[bar];
    uint32_t t = BarTime(bar);
    while (*p) {
        int note = NoteNumber(p);
        char* rest = nullptr;
        uint32_t length = uint32_t(std::strtoul(std::strchr(p, ':') + 1, &rest, 10)) * Step;
        if (note >= 0) ScoreNote(s, t, t + length - ScoreTick, ChLead, ScorePitchOfNote(note));
        t += length;
        p = rest;
        while (*p == ' ') p++;
    }
}

// Eighth notes: root, root, octave, root, fifth, root, octave, fifth.
void BassBar(Score* s, int bar) {
    static const int Pattern[8] = {0, 0, 12, 0, 7, 0, 12, 7};
    for (int i = 0; i < 8; ++i) {
        uint32_t t = BarTime(bar) + uint32_t(i) * 2 * Step;
        ScoreNote(s, t, t + 2 * Step - 2 * ScoreTick, ChBass,
                  ScorePitchOfNote(Progression[bar]->bass + Pattern[i]));
    }
}

void PadBar(Score* s, int bar) {
    for (int v = 0; v < 3; ++v)
        ScoreNote(s, BarTime(bar), BarTime(bar) + Bar - ScoreTick, ChPad + v,
                  ScorePitchOfNote(Progression[bar]->tones[v]));
}

// Sixteenths over the chord an octave above the pad; from bar 5 on, so the piece builds.
void ArpBar(Score* s, int bar) {
    static const int Order[8] = {0, 1, 2, 3, 2, 1, 0, 1};
    if (bar < 4) return;
    const Chord* chord = Progression[bar];
    for (int i = 0; i < 16; ++i) {
        int k = Order[i % 8];
        int note = k == 3 ? chord->tones[0] + 24 : chord->tones[k] + 12;
        uint32_t t = BarTime(bar) + uint32_t(i) * Step;
        ScoreNote(s, t, t + Step - 2 * ScoreTick, ChArp, ScorePitchOfNote(note));
    }
}

// Kick on 1, the "and" of 2 and 3 (plus the "and" of 3 in odd bars), snare on 2 and 4,
// hi-hat on every eighth, cymbal at the top of each half, a tom fill ending each half.
void DrumBar(Score* s, int bar) {
    bool fill = bar == 7 || bar == 15;
    for (int step = 0; step < 16; ++step) {
        uint8_t hits = 0;
        if (step == 0 || step == 6 || step == 8 || (step == 10 && bar % 2 == 1)) hits |= DrumBass;
        if (step == 4 || step == 12) hits |= DrumSnare;
        if (step % 2 == 0 && !(fill && step >= 12)) hits |= DrumHiHat;
        if (step == 0 && bar % 8 == 0) hits = uint8_t((hits | DrumCymbal) & ~DrumHiHat);
        uint32_t t = BarTime(bar) + uint32_t(step) * Step;
        if (fill && step >= 12) {
            hits |= DrumTom;
            ScoreSetPitch(s, t, 8, ScorePitchOfNote(55 - 3 * (step - 12)), false);
        }
        if (!hits) continue;
        ScoreWrite(s, t, 0xBD, RhythmBase | hits);
        ScoreWrite(s, t + 3 * ScoreTick, 0xBD, RhythmBase);
    }
    if (fill) ScoreSetPitch(s, BarTime(bar) + Bar - ScoreTick, 8, ScorePitchOfNote(55), false);
}

}  // namespace

void ExampleMusic(VgmWriter* out) {
    Score s;
    ScoreWrite(&s, 0, 0x01, 0x20);  // waveform select on: lead, bass and arp use it
    ScoreWrite(&s, 0, 0x08, 0x00);
    ScoreWrite(&s, 0, 0xBD, RhythmBase);
    ScoreSetVoice(&s, 0, ChLead, Lead);
    ScoreSetVoice(&s, 0, ChBass, Bass);
    for (int v = 0; v < 3; ++v) ScoreSetVoice(&s, 0, ChPad + v, Pad);
    ScoreSetVoice(&s, 0, ChArp, Arp);
    ScoreSetVoice(&s, 0, 6, Kick);
    ScoreSetVoice(&s, 0, 7, HatSnare);
    ScoreSetVoice(&s, 0, 8, TomCymbal);
    ScoreSetPitch(&s, 0, 6, ScorePitchOfHz(55.0), false);
    ScoreSetPitch(&s, 0, 7, ScorePitchOfHz(400.0), false);
    ScoreSetPitch(&s, 0, 8, ScorePitchOfNote(55), false);
    for (int bar = 0; bar < BarCount; ++bar) {
        MelodyBar(&s, bar);
        BassBar(&s, bar);
        PadBar(&s, bar);
        ArpBar(&s, bar);
        DrumBar(&s, bar);
    }
    ScoreToVgm(s, MusicStart, BarTime(BarCount), out);
}
