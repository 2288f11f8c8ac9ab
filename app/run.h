// run.h - the bench's run sequence: registry, stream, chip, sound driver, render callback
// and device brought up in that order, the command loop, and everything taken down again
// in reverse. Shared by the console program and anything else that runs a bench session.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "audio/audio.h"

// The whole run from AudioInit to "Done.\n", with the interactive command loop in the
// middle. Every path, failures included, ends in order. Main thread, once. With recordPath,
// everything played is also written to that WAV file; when it cannot be created the run ends
// in order before the chip is made and returns 2. Returns 1 when a recording failed or
// standard output could not be written, else 0. SIGINT, SIGTERM and SIGHUP end the session
// as a quit does (SessionEndSignal tells which came).
// The registry is started on drivers (AudioBuiltInDrivers in the program).
// session (optional) chooses the full-screen view and gives lines run before any input.
struct BenchSession {
    std::vector<std::string> startLines;  // console commands run right after the help
    bool view;                            // the full-screen view instead of the plain console
};
int BenchRun(const AudioDriver* const* drivers, const char* recordPath = nullptr,
             const BenchSession* session = nullptr);
