// stems.h - one file per chip channel beside the mix: ch0..ch8, and bd sd tt cy hh for the
// rhythm instruments (kept only when rhythm mode was on). The samples are the chip tap's
// sources, so their sum is the mix before clipping, sample for sample. Main thread.
#pragma once

#include <string>

#include "fmchip/fmchip.h"
#include "tools/oplrender/output.h"

// Samples the tap holds before they are written: the files are written in long blocks, not
// after every render call (which may be a few samples long when the picture is drawn).
constexpr uint32_t StemBlockSamples = 1u << 16;

struct RenderStems {
    std::string dir;
    RenderOutput files[FmTapSources];
    int32_t* buffers[FmTapSources] = {};
    FmChipTap tap{};
    uint64_t first = 0;  // the sample of the session that buffers[*][0] holds
    bool rhythmUsed = false;
    // Samples not yet written to the rhythm stems: until rhythm mode is first used their
    // sources are all 0, and those files are written only once it is (or dropped at the end).
    uint64_t rhythmSilent = 0;
};

// The stem file names for a format: "ch0.wav" ... "hh.wav".
std::string StemFileName(int source, int format);
// Creates dir if it is missing and opens the fourteen files. False with *error.
bool StemsOpen(RenderStems* s, const std::string& dir, int format, uint32_t rate,
               std::string* error);
// Installs the tap on PlayerChip (after the driver is up) and empties it before a render.
void StemsAttach(RenderStems* s);
// Makes room in the tap for the n samples of the next render call, writing what it holds
// when they would not fit. False once a write failed.
bool StemsReserve(RenderStems* s, const OutputFade& fade, uint32_t n);
// Called after each render call: notes whether rhythm mode is on.
void StemsRendered(RenderStems* s);
// Writes every sample the tap holds, with the fade the mix gets. False once a write failed.
bool StemsWrite(RenderStems* s, const OutputFade& fade);
// Closes the files; keeps them (rhythm stems only if rhythm mode was on) when keep is set
// and nothing failed. False with *error when a file could not be completed.
bool StemsFinish(RenderStems* s, bool keep, std::string* error);
