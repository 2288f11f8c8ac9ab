// stems.h - one file per chip channel beside the mix: ch0..ch8, and bd sd tt cy hh for the
// rhythm instruments (kept only when rhythm mode was on). The samples are the chip tap's
// sources, so their sum is the mix before clipping, sample for sample. Called on the render
// thread; the files are written on a thread of their own, a block behind the render.
#pragma once

#include <string>

#include "fmchip/fmchip.h"
#include "platform/worker.h"
#include "tools/oplrender/output.h"

// Samples the tap holds before they are written: the files are written in long blocks, not
// after every render call (which may be a few samples long when the picture is drawn). A
// block's sources are written 128 KiB at a time: the system takes a third less time per byte
// for writes of that length than for 32 KiB ones (fewer, larger pages in its cache).
constexpr uint32_t StemBlockSamples = 1u << 16;

struct RenderStems {
    std::string dir;
    RenderOutput files[FmTapSources];
    // Two buffers of rows: the tap fills one while a thread of the stems splits the other
    // into one buffer per source and writes those.
    FmTapRow* rows[2] = {};
    int16_t* split[FmTapSources] = {};
    int filling = 0;  // the set the tap fills
    FmChipTap tap{};
    uint64_t first = 0;       // the sample of the session that the filling set's [0] holds
    bool rhythmSeen = false;  // rhythm mode was on after a render call (render thread)
    // The writing of the other set: its thread, and what only it touches while it runs.
    Worker* writer = nullptr;  // null when no thread can be had: written in place
    uint32_t writeCount = 0;
    uint64_t writeFirst = 0;
    OutputFade writeFade{};
    bool written = true;  // every write so far succeeded
    bool rhythmUsed = false;
    // Samples not yet written to the rhythm stems: until rhythm mode is first used their
    // sources are all 0, and those files are written only once it is (or dropped at the end).
    uint64_t rhythmSilent = 0;
};

// The stem file names for a format: "ch0.wav" ... "hh.wav".
std::string StemFileName(int source, int format);
// Creates dir if it is missing and opens the fourteen files (durable: see RenderOutput).
// False with *error.
bool StemsOpen(RenderStems* s, const std::string& dir, int format, uint32_t rate, bool durable,
               std::string* error);
// Installs the tap on PlayerChip (after the driver is up) and empties it before a render.
void StemsAttach(RenderStems* s);
// Makes room in the tap for the n samples of the next render call, writing what it holds
// when they would not fit. False once a write failed.
bool StemsReserve(RenderStems* s, const OutputFade& fade, uint32_t n);
// Called after each render call: notes whether rhythm mode is on.
void StemsRendered(RenderStems* s);
// Hands every sample the tap holds to the writing thread (with the fade the mix gets), once
// it has written the last block, and lets the tap go on in the other set. False once a write
// failed.
bool StemsWrite(RenderStems* s, const OutputFade& fade);
// Waits for the last write, then closes the files; keeps them (rhythm stems only if rhythm mode was
// on) when keep is set and nothing failed. False with *error when a file could not be completed.
bool StemsFinish(RenderStems* s, bool keep, std::string* error);
// Lets go of the files the stems replaced, when their files were set to hold them
// (RenderOutput::holdReplaced).
void StemsRelease(RenderStems* s);
