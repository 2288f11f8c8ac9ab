// options.h - oplrender's command line: what a render is asked to do, parsed with CLI11 and
// checked here so that every refusal names the option and the value that is wrong.
#pragma once

#include <cstdint>
#include <string>

constexpr uint32_t RenderRateDefault = 44100;
constexpr uint32_t RenderRateMin = 8000, RenderRateMax = 192000;
constexpr int ExitRefused = 2;  // bad command line, script or output: nothing rendered
constexpr int ExitFailed = 1;   // the render ran and failed (--strict, a write error)

struct RenderOptions {
    bool quiet = false;
    bool strict = false;  // a line answered with an error message fails the render
    bool sync = false;    // every file is on the disk before it takes its name
    bool hasSeconds = false;
    uint64_t secondsNs = 0;
    uint32_t rate = RenderRateDefault;
    std::string out;     // "-" is standard output
    std::string format;  // --format: a file name extension without the dot; empty: from out
    std::string script;  // the script file, or empty with --vgm
    std::string vgm;     // the VGM file played as music
    bool hasLoops = false;
    uint32_t loops = 0;  // --vgm: times the loop plays after the intro
    bool hasFade = false;
    uint64_t fadeNs = 0;  // --vgm: fade-out after the loops
    std::string stemsDir;
    std::string picture;
};

// Parses the command line. Returns -1 when the render should go on; otherwise the exit
// status, after printing the help or version text (0) or the refusal and usage (2).
int RenderOptionsParse(int argc, char** argv, RenderOptions* o);
