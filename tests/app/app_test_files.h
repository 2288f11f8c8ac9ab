// app_test_files.h - what the front-end tests share: VGM inputs written with the project's
// own writer (a steady sine tone on one chip channel, looping or ending after a while), a
// scratch directory that holds them for one test, and the help text as the user sees it.
#pragma once

#include <cstdint>
#include <string>

// A tone whose pitch the recording tests can pick out: frequency in Hz is
// fnum * 3579545 / 72 / 2^(20 - block).
struct ToneSpec {
    int channel;           // chip channel the file writes (0..8)
    uint8_t block;         // octave, 0..7
    uint16_t fnum;         // 0..1023
    uint32_t holdSamples;  // samples (44100 Hz) the key stays on before the loop or the end
    bool loops;            // loop back over the hold for ever, or key off and end
};

constexpr ToneSpec LowTone = {0, 4, 580, 44100, true};   // about 440 Hz, looping music
constexpr ToneSpec HighTone = {0, 6, 580, 44100, true};  // about 1760 Hz, looping effect

// The tone's frequency in Hz.
double ToneHz(const ToneSpec& tone);
// Writes the tone as a VGM file; returns false when the file cannot be written.
bool WriteToneVgm(const std::string& path, const ToneSpec& tone);

// The help text exactly as the bench prints it at start.
extern const char* const HelpTextPrinted;

// A fresh directory under the system's temporary directory, removed with its files by
// ScratchDirRemove.
std::string ScratchDirMake();
void ScratchDirRemove(const std::string& dir);
