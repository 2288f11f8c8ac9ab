// effects.cpp - the example sound effects. Each is written for a different chip channel,
// so that playing it on an SFX track shows the router moving it onto that track's channel.
// Pitch moves once per driver tick, which is as fast as the driver can change anything.
#include <cmath>

#include "tools/examplegen/examples.h"
#include "tools/examplegen/score.h"

namespace {

uint32_t Ticks(int n) {
    return uint32_t(n) * ScoreTick;
}

// An exponential glide from fromHz to toHz over ticks ticks starting at tick start; the key
// is held for the first keyTicks of them (the rest glides on under the release).
void Glide(Score* s, int ch, int start, int ticks, double fromHz, double toHz, int keyTicks) {
    for (int i = 0; i < ticks; ++i) {
        double hz = fromHz * std::pow(toHz / fromHz, double(i) / double(ticks - 1));
        ScoreSetPitch(s, Ticks(start + i), ch, ScorePitchOfHz(hz), i < keyTicks);
    }
}

// Two quick notes, the second ringing out: B5 then E6.
void Coin(VgmWriter* out) {
    const int ch = 7;
    Score s;
    ScoreSetVoice(&s, 0, ch,
                  {{0x21, 0x1E, 0xF4, 0x14, 0x00}, {0x21, 0x00, 0xF2, 0x16, 0x00}, 0x06});
    ScoreSetPitch(&s, Ticks(0), ch, ScorePitchOfNote(83), true);
    ScoreSetPitch(&s, Ticks(4), ch, ScorePitchOfNote(88), true);
    ScoreSetPitch(&s, Ticks(22), ch, ScorePitchOfNote(88), false);
    ScoreToVgm(s, UINT32_MAX, Ticks(34), out);
}

// A glide on one voice: the key held for keyTicks (then released, or keyed off at the end
// of the glide), the file ending at endTicks so that the release is heard.
void GlideEffect(VgmWriter* out, int ch, const ScoreVoice& voice, bool waveSelect, int ticks,
                 double fromHz, double toHz, int keyTicks, int endTicks) {
    Score s;
    if (waveSelect) ScoreWrite(&s, 0, 0x01, 0x20);
    ScoreSetVoice(&s, 0, ch, voice);
    Glide(&s, ch, 0, ticks, fromHz, toHz, keyTicks);
    if (keyTicks >= ticks) ScoreSetPitch(&s, Ticks(ticks), ch, ScorePitchOfHz(toHz), false);
    ScoreToVgm(s, UINT32_MAX, Ticks(endTicks), out);
}

// A rising glide on the pulse waveform (which needs waveform select).
void Jump(VgmWriter* out) {
    GlideEffect(out, 3, {{0x21, 0x1A, 0xF0, 0x0F, 0x00}, {0x21, 0x04, 0xF0, 0x08, 0x03}, 0x00},
                true, 14, 180.0, 720.0, 14, 20);
}

// A fast falling glide with full feedback on a half-sine modulator.
void Laser(VgmWriter* out) {
    GlideEffect(out, 8, {{0x21, 0x10, 0xF0, 0x08, 0x01}, {0x21, 0x00, 0xF0, 0x06, 0x00}, 0x0E},
                true, 12, 2400.0, 180.0, 12, 16);
}

// A self-modulating rumble falling in pitch, with a long release.
void Explosion(VgmWriter* out) {
    GlideEffect(out, 1, {{0x2F, 0x00, 0xF0, 0x03, 0x00}, {0x20, 0x00, 0xF3, 0x23, 0x00}, 0x0E},
                false, 50, 90.0, 30.0, 12, 60);
}

// Two tones taking turns, three times each.
void Alarm(VgmWriter* out) {
    const int ch = 4;
    Score s;
    ScoreSetVoice(&s, 0, ch,
                  {{0x21, 0x18, 0xF0, 0x0F, 0x00}, {0x21, 0x02, 0xF0, 0x0F, 0x00}, 0x08});
    for (int i = 0; i < 6; ++i)
        ScoreSetPitch(&s, Ticks(8 * i), ch, ScorePitchOfHz(i % 2 ? 660.0 : 880.0), true);
    ScoreSetPitch(&s, Ticks(48), ch, ScorePitchOfHz(660.0), false);
    ScoreToVgm(s, UINT32_MAX, Ticks(50), out);
}

// A rising C major arpeggio over two octaves, each note struck anew, on a bright waveform.
void PowerUp(VgmWriter* out) {
    static const int Notes[7] = {72, 76, 79, 84, 88, 91, 96};
    const int ch = 0;
    Score s;
    ScoreWrite(&s, 0, 0x01, 0x20);
    ScoreSetVoice(&s, 0, ch,
                  {{0x22, 0x1A, 0xF3, 0x25, 0x00}, {0x21, 0x04, 0xF4, 0x26, 0x02}, 0x04});
    for (int i = 0; i < 7; ++i) {
        int hold = i == 6 ? 10 : 2;
        ScoreNote(&s, Ticks(3 * i), Ticks(3 * i + hold), ch, ScorePitchOfNote(Notes[i]));
    }
    ScoreToVgm(s, UINT32_MAX, Ticks(3 * 6 + 16), out);
}

}  // namespace

const ExampleEffect ExampleEffects[] = {
    {"coin", 7, Coin},           {"jump", 3, Jump},   {"laser", 8, Laser},
    {"explosion", 1, Explosion}, {"alarm", 4, Alarm}, {"powerup", 0, PowerUp},
};
const int ExampleEffectCount = int(sizeof ExampleEffects / sizeof ExampleEffects[0]);
