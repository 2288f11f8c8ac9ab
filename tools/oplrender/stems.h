// stems.h - one file per chip channel beside the mix: ch0..ch8, and bd sd tt cy hh for the
// rhythm instruments (kept only when rhythm mode was on). The samples are the chip tap's
// sources, so their sum is the mix before clipping, sample for sample. Main thread.
#pragma once

#include <string>

#include "fmchip/fmchip.h"
#include "tools/oplrender/output.h"

constexpr uint32_t StemBlockSamples = 4096;  // most samples one render call may ask for

struct RenderStems {
    std::string dir;
    RenderOutput files[FmTapSources];
    int32_t* buffers[FmTapSources] = {};
    FmChipTap tap{};
    bool rhythmUsed = false;
};

// The stem file names for a format: "ch0.wav" ... "hh.wav".
std::string StemFileName(int source, int format);
// Creates dir if it is missing and opens the fourteen files. False with *error.
bool StemsOpen(RenderStems* s, const std::string& dir, int format, uint32_t rate,
               std::string* error);
// Installs the tap on PlayerChip (after the driver is up) and empties it before a render.
void StemsAttach(RenderStems* s);
// Writes the tap's samples of the last render call, which began at sample first, with the
// fade the mix gets. False once a write failed.
bool StemsWrite(RenderStems* s, const OutputFade& fade, uint64_t first);
// Closes the files; keeps them (rhythm stems only if rhythm mode was on) when keep is set
// and nothing failed. False with *error when a file could not be completed.
bool StemsFinish(RenderStems* s, bool keep, std::string* error);
