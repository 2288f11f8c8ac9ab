// render_check.h - renders for the output checks: a VGM file played through the sound driver
// or fed straight to a chip, a random register storm, and hashes of what came out, so that
// two renderers (or a render and a recorded hash) can be compared sample for sample.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

uint64_t HashSamples(const int16_t* samples, size_t count);
std::string HashText(uint64_t hash);  // 16 hex digits

// The load files of the benchmarks (VgmWriterLoad), looping, written to path.
bool WriteLoadVgm(const std::string& path, int channels, bool rhythm);

struct ChipRenderResult {
    uint64_t output;  // hash of every output sample
    uint64_t state;   // hash of the chip's state after the last sample
    bool operator==(const ChipRenderResult&) const = default;
};

// How a render is driven: the chip's run renderer (FmChipRenderUntil, and PlayerRender as
// it is), the same with the portable output stage (chip renders only), or one sample per
// FmChipRender call with the tick test after each sample. Sample by sample, the chip derives
// its working set anew for every sample and takes the portable output stage, so that this
// reference depends neither on the run loop keeping its derived values current nor on vectors.
enum RenderMode { RenderRuns, RenderSampleBySample, RenderRunsPortable };

// Plays music (slot 0) with up to three effects (slots 1-3, on the six SFX tracks in turn)
// for `samples` samples, in buffers of changing sizes, and hashes the 16-bit output. An
// empty music path plays only the effects.
ChipRenderResult PlayerRenderHash(const std::string& music, const std::vector<std::string>& effects,
                                  uint32_t samples, RenderMode mode = RenderRuns);

// Feeds a VGM file's OPL writes straight to a chip with Timer 1 running, acknowledging
// its flag after the sample that raised it, for `samples` samples.
ChipRenderResult ChipRenderHash(const std::string& path, uint32_t samples,
                                RenderMode mode = RenderRuns);
// Random writes to every register (timers and CSM included) between runs of random length.
ChipRenderResult RegisterStormHash(uint32_t seed, uint32_t samples, RenderMode mode = RenderRuns);
