// main.cpp - the console program oplbench: reads its command line (options, up to four VGM
// files) and runs one bench session on the default output device, plain or in the view.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "app/commands_ext.h"
#include "app/run.h"
#include "app/session_signals.h"
#include "audio/driver_list.h"
#include "oplbench_version.h"

namespace {

constexpr int ExitRefused = 2;
constexpr size_t FilesMax = 4;

// The first file loads into slot M and plays as the music; the others go into slots 1-3.
std::vector<std::string> StartLines(const std::vector<std::string>& files) {
    std::vector<std::string> lines;
    for (size_t i = 0; i < files.size(); ++i) {
        lines.push_back("L" + std::string(i == 0 ? "M" : std::to_string(i)) + " " + files[i]);
        if (i == 0) lines.push_back("PMM");
    }
    return lines;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"oplbench " OPLBENCH_VERSION
                 ": a console test bench for a game-style sound driver on an emulated OPL2 chip.\n"
                 "Plays VGM files as music and sound effects; commands are read from standard "
                 "input (listed below).",
                 "oplbench"};
    std::string recordPath;
    bool view = false;
    std::vector<std::string> files;
    app.add_option("--record", recordPath, "Also write everything played to FILE.wav")
        ->option_text("FILE.wav");
    app.add_flag("--view", view, "Full-screen view of slots, tracks and chip channels");
    app.add_option("files", files,
                   "VGM files: the first loads into slot M and plays as the music, the others "
                   "load into slots 1-3")
        ->expected(0, int(FilesMax));
    app.set_version_flag("--version", "oplbench " OPLBENCH_VERSION);
    // CLI11 reports through exceptions; they end here, as result codes.
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        std::printf("\n");
        CommandPrintFullHelp();
        return 0;
    } catch (const CLI::CallForVersion&) {
        std::printf("%s\n", app.version().c_str());
        return 0;
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr,
                     "oplbench: %s\nusage: oplbench [--record FILE.wav] [--view] "
                     "[FILE.vgm ...] (--help lists everything)\n",
                     e.what());
        return ExitRefused;
    }
    if (view && !(isatty(STDIN_FILENO) && isatty(STDOUT_FILENO))) {
        std::fprintf(stderr,
                     "oplbench: --view needs a terminal on standard input and output; "
                     "without one, run without --view\n");
        return ExitRefused;
    }
    BenchSession session{StartLines(files), view};
    int exitCode =
        BenchRun(AudioBuiltInDrivers, recordPath.empty() ? nullptr : recordPath.c_str(), &session);
    SessionSignalReraise();  // ended in order by a signal: the parent sees that signal
    return exitCode;
}
