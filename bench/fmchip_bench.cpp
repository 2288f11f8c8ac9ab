// fmchip_bench.cpp - FmChipRender one sample per call, as the sound driver's render
// callback calls it: an idle chip, a fully loaded one, and rhythm mode. Counters give the
// time per sample and the real-time factor at 44100 Hz.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "fmchip/fmchip.h"
#include "fmchip/opl2_layout.h"

namespace {

// Every operator sustained at full level with tremolo and vibrato; channel c keyed (for
// c < keyed) at an f-number high enough for vibrato to move it, feedback 7.
void LoadVoices(FmChip* chip, int keyed) {
    for (int slot = 0; slot < 18; ++slot) {
        uint8_t off = OpSlotOffset(slot);
        FmChipWrite(0x20 + off, chip, 0xE0 | (1 + slot % 4));  // AM, VIB, EG type, MULT
        FmChipWrite(0x40 + off, chip, 0x00);
        FmChipWrite(0x60 + off, chip, 0xF0);
        FmChipWrite(0x80 + off, chip, 0x00);
    }
    for (int ch = 0; ch < 9; ++ch) {
        int fnum = 0x200 + 37 * ch;
        FmChipWrite(static_cast<uint8_t>(0xC0 + ch), chip, 0x0E);
        FmChipWrite(static_cast<uint8_t>(0xA0 + ch), chip, static_cast<uint8_t>(fnum & 0xFF));
        uint8_t key = ch < keyed ? 0x20 : 0x00;
        FmChipWrite(static_cast<uint8_t>(0xB0 + ch), chip,
                    static_cast<uint8_t>(key | 4 << 2 | fnum >> 8));
    }
}

enum Load { Idle, Full, Rhythm, FullTapped };

void RenderOneSamplePerCall(benchmark::State& state, Load load) {
    FmChip* chip = FmChipCreate(44100);
    FmChipReset(chip);
    FmChipWrite(0x02, chip, 7);  // Timer 1 running, as the driver programs it
    FmChipWrite(0x04, chip, 0x01);
    FmChipTap tap{};  // meters only, as a viewer sets it
    if (load == FullTapped) FmChipSetTap(chip, &tap);
    if (load == Full || load == FullTapped) {
        LoadVoices(chip, 9);
        FmChipWrite(0xBD, chip, 0xC0);
    } else if (load == Rhythm) {
        LoadVoices(chip, 6);
        FmChipWrite(0xBD, chip, 0xFF);  // deep LFO, rhythm mode, all five instruments keyed
    }
    int32_t left = 0, right = 0;
    int32_t* outputs[2] = {&left, &right};
    FmChipRender(chip, 0, outputs);
    for (int i = 0; i < 1000; ++i) FmChipRender(chip, 1, outputs);  // attacks done
    for (auto _ : state) {
        FmChipRender(chip, 1, outputs);
        benchmark::DoNotOptimize(left);
        if (chip->statusReg & FmStatusTimer1) FmChipWrite(0x04, chip, 0x80);
    }
    double samples = static_cast<double>(state.iterations());
    state.counters["time_per_sample"] =
        benchmark::Counter(samples, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["realtime_x"] = benchmark::Counter(samples / 44100, benchmark::Counter::kIsRate);
    FmChipDestroy(chip);
}

}  // namespace

BENCHMARK_CAPTURE(RenderOneSamplePerCall, idle, Idle);
BENCHMARK_CAPTURE(RenderOneSamplePerCall, full_load, Full);
BENCHMARK_CAPTURE(RenderOneSamplePerCall, rhythm, Rhythm);
BENCHMARK_CAPTURE(RenderOneSamplePerCall, full_load_tap, FullTapped);
// A fixed sample count (10 s of output) for instruction counts under callgrind:
//   valgrind --tool=callgrind ./fmchip_bench --benchmark_filter=full_load_fixed
BENCHMARK_CAPTURE(RenderOneSamplePerCall, full_load_fixed, Full)->Iterations(441000);
