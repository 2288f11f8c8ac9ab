// fmchip_internal.h - the per-sample time steps shared by the chip's own sources; not part
// of the chip's interface. Both run on the render path, 44100 times a second per chip.
#pragma once

#include "fmchip/fmchip.h"

// Tremolo level and vibrato column for the coming sample; runs before any output.
void FmChipAdvanceLfo(FmChip* chip);
// Envelope ticks (timers, envelopes), phases and noise; runs after the sample is stored.
void FmChipAdvanceClock(FmChip* chip);
