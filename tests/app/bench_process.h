// bench_process.h - runs the built oplbench as a user would: commands written to its standard
// input, its standard output collected, with or without a pseudo-terminal as its console.
// Without one it runs in a session of its own, so it never reaches the terminal of ctest.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

using EnvList = std::vector<std::pair<std::string, std::string>>;

struct BenchProcess {
    pid_t pid = -1;
    int input = -1;        // its stdin (the pty master when it has a terminal)
    int output = -1;       // its stdout (the same master with a terminal)
    int terminal = -1;     // the pty's slave side, kept open to read its settings; or -1
    int errorOutput = -1;  // its stderr (without a terminal; with one it goes to the pty)
    std::string printed;   // everything read from output so far
    std::string errors;    // everything read from errorOutput so far
    bool ended = false;    // reaped; status holds its wait status
    int status = -1;
};

// Path of the built program.
std::string BenchPath();

// Starts oplbench with the given arguments and extra environment. With a terminal, stdin,
// stdout and stderr are a new pty, which is also its controlling terminal.
bool BenchStart(BenchProcess* p, bool withTerminal, const EnvList& env = {},
                const std::vector<std::string>& args = {});
// Writes text to its input.
bool BenchSend(BenchProcess* p, const std::string& text);
// Reads output until printed contains text or timeoutMs passes; true when it does.
bool BenchWaitFor(BenchProcess* p, const std::string& text, int timeoutMs);
// Closes its input (unless it is a terminal), reads the rest of its output and waits up to
// timeoutMs for it to end (then kills it). Returns the wait status, or -1 when it had to be
// killed. The descriptors stay open until BenchClose.
int BenchFinish(BenchProcess* p, int timeoutMs);
// True while the process has not ended.
bool BenchRunning(BenchProcess* p);
// Kills the process if it still runs and closes every descriptor.
void BenchClose(BenchProcess* p);

// Runs a whole session without a terminal: input written at once, then closed.
struct BenchResult {
    std::string printed;
    std::string errors;  // its standard error
    int status;          // wait status, -1 when the run did not end in time
};
BenchResult BenchRunScript(const std::string& input, const EnvList& env = {},
                           const std::vector<std::string>& args = {});

// True when the tests' own sound server (OPLBENCH_SOUND_SERVER, started by scripts/pulse.sh)
// answers with its null sink oplbench_null.
bool NullSinkAvailable();
