// score.cpp - the example generator's register timeline: OPL2 pitch arithmetic, instrument
// and note writes, and the time-ordered emission into a VGM file.
#include "tools/examplegen/score.h"

#include <algorithm>
#include <cmath>

#include "fmchip/opl2_layout.h"

namespace {

// Output sample rate of the chip's own clock: 3579545 Hz / 72.
constexpr double ChipSampleHz = 3579545.0 / 72.0;

}  // namespace

void ScoreWrite(Score* score, uint32_t time, uint8_t reg, uint8_t value) {
    score->events.push_back({time, uint32_t(score->events.size()), reg, value});
}

ScorePitch ScorePitchOfHz(double hz) {
    for (int block = 0; block < 8; ++block) {
        long fnum = std::lround(hz * double(1 << (20 - block)) / ChipSampleHz);
        if (fnum < 1024) return {uint8_t(block), uint16_t(std::max(fnum, 1L))};
    }
    return {7, 1023};
}

ScorePitch ScorePitchOfNote(int note) {
    return ScorePitchOfHz(440.0 * std::pow(2.0, (note - 69) / 12.0));
}

void ScoreSetVoice(Score* score, uint32_t time, int ch, const ScoreVoice& voice) {
    for (int row = 0; row < 5; ++row) {
        ScoreWrite(score, time, uint8_t(OpRegBase[2 * row] + ChanOpOffset[ch]), voice.mod[row]);
        ScoreWrite(score, time, uint8_t(OpRegBase[2 * row + 1] + ChanOpOffset[ch]), voice.car[row]);
    }
    ScoreWrite(score, time, uint8_t(0xC0 + ch), voice.feedbackConnection);
}

void ScoreSetPitch(Score* score, uint32_t time, int ch, ScorePitch pitch, bool keyOn) {
    ScoreWrite(score, time, uint8_t(0xA0 + ch), uint8_t(pitch.fnum & 0xFF));
    ScoreWrite(score, time, uint8_t(0xB0 + ch),
               uint8_t((keyOn ? 0x20 : 0x00) | pitch.block << 2 | pitch.fnum >> 8));
}

void ScoreNote(Score* score, uint32_t start, uint32_t end, int ch, ScorePitch pitch) {
    ScoreSetPitch(score, start, ch, pitch, true);
    ScoreSetPitch(score, end, ch, pitch, false);
}

void ScoreToVgm(const Score& score, uint32_t loopTime, uint32_t endTime, VgmWriter* out) {
    std::vector<ScoreEvent> events = score.events;
    std::sort(events.begin(), events.end(), [](const ScoreEvent& a, const ScoreEvent& b) {
        return a.time != b.time ? a.time < b.time : a.order < b.order;
    });
    VgmWriterBegin(out);
    uint32_t now = 0;
    bool loopMarked = loopTime == UINT32_MAX;
    auto advanceTo = [&](uint32_t time) {
        if (!loopMarked && time >= loopTime) {
            VgmWriterWait(out, loopTime - now);
            now = loopTime;
            VgmWriterMarkLoop(out);
            loopMarked = true;
        }
        VgmWriterWait(out, time - now);
        now = time;
    };
    for (const ScoreEvent& e : events) {
        advanceTo(e.time);
        VgmWriterOpl2(out, e.reg, e.value);
    }
    advanceTo(std::max(endTime, now));
    VgmWriterEnd(out);
    VgmWriterFinish(out);
}
