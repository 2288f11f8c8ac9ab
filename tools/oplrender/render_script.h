// render_script.h - the render script of oplrender: lines "@<seconds> <console command>",
// "@<seconds>" alone ending the render, "#" comments and blank lines; and the mapping of a
// time to the output sample before which its line runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RenderLine {
    uint32_t lineNumber;  // 1-based, in the script file
    uint64_t sample;      // floor(t * rate + 0.5)
    bool isEnd;           // "@<t>" alone: the render ends before this sample
    std::string command;  // the console command line, without its line end
};

// Longest time a script or --seconds may name: one day.
constexpr uint32_t RenderTimeMaxSeconds = 86400;

// Parses a decimal time in seconds ("12", "0.5", "3.25"; no sign, no exponent, at most nine
// fraction digits, at most RenderTimeMaxSeconds) into nanoseconds. Returns false for
// anything else; *end receives the first character after the number.
bool RenderTimeParse(const char* text, uint64_t* nanoseconds, const char** end);
// floor(t * rate + 0.5), exactly.
uint64_t RenderSampleOfTime(uint64_t nanoseconds, uint32_t rate);

// Parses a whole script. Commands the console takes but a render cannot follow (":wait",
// which waits for the audio device) are refused. On the first bad line returns false with
// *errorLine set to its number and *error to what is wrong; otherwise fills *lines in file order.
bool RenderScriptParse(const std::string& text, uint32_t rate, std::vector<RenderLine>* lines,
                       uint32_t* errorLine, std::string* error);

// Makes the file names of load lines ("L", slot, separator, name) relative to dir, the
// script's folder; absolute names and an empty dir leave the lines as they are.
void RenderScriptResolveNames(std::vector<RenderLine>* lines, const std::string& dir);
