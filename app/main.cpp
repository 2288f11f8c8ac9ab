// main.cpp - the console program oplbench: checks its arguments and runs one bench
// session on the default output device.
#include <cstdio>
#include <string>

#include "app/run.h"
#include "app/session_signals.h"
#include "audio/driver_list.h"

int main(int argc, char** argv) {
    // Command-line options are recognised here, before the session starts; the plain
    // session takes none, "--record FILE.wav" also writes what it plays to that file.
    const char* recordPath = nullptr;
    if (argc == 3 && std::string(argv[1]) == "--record") {
        recordPath = argv[2];
    } else if (argc > 1) {
        fprintf(stderr, "usage: %s [--record FILE.wav]\n", argv[0]);
        return 2;
    }
    int exitCode = BenchRun(AudioBuiltInDrivers, recordPath);
    SessionSignalReraise();  // ended in order by a signal: the parent sees that signal
    return exitCode;
}
