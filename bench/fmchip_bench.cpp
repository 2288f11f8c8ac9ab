// fmchip_bench.cpp - the chip's cost per output sample: by load (idle, one channel, full load,
// rhythm), by batch size (1 is the one-sample FmChipRender, larger batches the run renderer),
// by the number of sounding channels, and with the tap metering every source as a viewer sets
// it. Counters give the time per sample and the real-time factor at 44100 Hz.
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

// Renders batches of `batch` samples from a chip with `keyed` channels sounding (in
// rhythm mode: six channels and all five instruments), Timer 1 running as the driver
// programs it and its flag acknowledged after the sample that raised it.
void RenderBatches(benchmark::State& state, int keyed, bool rhythm, bool tapped, int batch,
                   bool portable = false, bool avx2 = true) {
    FmChip* chip = FmChipCreate(44100);
    FmChipReset(chip);
    FmChipSetPortable(chip, portable);
    FmChipSetAvx2(chip, avx2);
    FmChipWrite(0x02, chip, 7);
    FmChipWrite(0x04, chip, 0x01);
    FmChipTap tap{};  // meters only, as a viewer sets it
    if (tapped) FmChipSetTap(chip, &tap);
    LoadVoices(chip, keyed);
    FmChipWrite(0xBD, chip, rhythm ? 0xFF : 0xC0);  // deep LFO; rhythm with every instrument
    int32_t mix[1024];
    int32_t* outputs[2] = {mix, mix};
    FmChipRender(chip, 0, outputs);
    FmChipRender(chip, 1000, outputs);  // attacks done
    for (auto _ : state) {
        for (int done = 0; done < batch;) {
            if (batch == 1) {
                FmChipRender(chip, 1, outputs);
                ++done;
            } else {
                done += FmChipRenderUntil(chip, batch - done, mix, FmStatusTimer1);
            }
            if (chip->statusReg & FmStatusTimer1) FmChipWrite(0x04, chip, 0x80);
        }
        benchmark::DoNotOptimize(mix[0]);
    }
    double samples = static_cast<double>(state.iterations()) * batch;
    state.counters["time_per_sample"] =
        benchmark::Counter(samples, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["realtime_x"] = benchmark::Counter(samples / 44100, benchmark::Counter::kIsRate);
    FmChipDestroy(chip);
}

// The batch size is the argument.
void Render(benchmark::State& state, int keyed, bool rhythm, bool tapped) {
    RenderBatches(state, keyed, rhythm, tapped, static_cast<int>(state.range(0)));
}

// The same with the portable output stage.
void RenderPortable(benchmark::State& state, int keyed, bool rhythm) {
    RenderBatches(state, keyed, rhythm, false, static_cast<int>(state.range(0)), true);
}

// The same with the vector stage's loops in their SSE2 build (the AVX2 build is chosen where
// the machine has it).
void RenderSse2(benchmark::State& state, int keyed, bool rhythm) {
    RenderBatches(state, keyed, rhythm, false, static_cast<int>(state.range(0)), false, false);
}

// The number of sounding channels is the argument; runs of 441.
void Channels(benchmark::State& state) {
    RenderBatches(state, static_cast<int>(state.range(0)), false, false, 441);
}

}  // namespace

BENCHMARK_CAPTURE(Render, idle, 0, false, false)->Arg(441);
BENCHMARK_CAPTURE(Render, one_channel, 1, false, false)->Arg(441);
BENCHMARK_CAPTURE(Render, full_load, 9, false, false)
    ->Arg(1)
    ->Arg(16)
    ->Arg(64)
    ->Arg(441)
    ->Arg(1024);
BENCHMARK_CAPTURE(Render, rhythm, 6, true, false)->Arg(1)->Arg(441);
BENCHMARK_CAPTURE(RenderPortable, full_load, 9, false)->Arg(441);
BENCHMARK_CAPTURE(RenderPortable, rhythm, 6, true)->Arg(441);
BENCHMARK_CAPTURE(RenderSse2, full_load, 9, false)->Arg(441);
BENCHMARK_CAPTURE(RenderSse2, rhythm, 6, true)->Arg(441);
// The tap's cost: compare with full_load at the same batch size.
BENCHMARK_CAPTURE(Render, full_load_tap, 9, false, true)->Arg(1)->Arg(441);
BENCHMARK(Channels)->DenseRange(0, 9);
// A fixed sample count (10 s of output) for instruction counts under callgrind:
//   valgrind --tool=callgrind ./fmchip_bench --benchmark_filter='^Render/full_load_fixed/1/'
BENCHMARK_CAPTURE(Render, full_load_fixed, 9, false, false)->Arg(1)->Iterations(441000);
// The same in runs of 441 (1000 runs), tap off and on (bench/measure.sh --tap), in rhythm mode,
// and with the portable output stage.
BENCHMARK_CAPTURE(Render, full_load_fixed, 9, false, false)->Arg(441)->Iterations(1000);
BENCHMARK_CAPTURE(Render, full_load_tap_fixed, 9, false, true)->Arg(441)->Iterations(1000);
BENCHMARK_CAPTURE(Render, rhythm_fixed, 6, true, false)->Arg(441)->Iterations(1000);
BENCHMARK_CAPTURE(RenderPortable, full_load_fixed, 9, false)->Arg(441)->Iterations(1000);
