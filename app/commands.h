// commands.h - the bench's command interpreter: the help text, the one-line command
// language (load, play, stop, pause, resume, quit) acting on the four file slots and the
// driver's tracks, and the loop that reads those lines from standard input.
// All calls run on the main thread; the audio feeder thread may be rendering meanwhile.
// Each command holds the driver lock only around its change to tracks, slots and chip;
// file loading runs outside it (PlayerSlotReload locks for itself).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Longest line run as a command, line end not counted. A longer line is read to its end and
// answered "Unknown Command!" as a whole.
constexpr size_t CommandLineMax = 65536;

// Prints the nine lines of help, one output call each. Any time.
void CommandPrintHelp();
// Empties all four file slots (every byte zero). Before the first command, while no slot
// holds an image.
void CommandSlotsClear();
// Runs one line as read, its line end (a final LF or CR LF) included or not. Returns true
// when the line is a quit line (empty once the line end is removed); then nothing has been
// run yet and the caller goes on with CommandQuitSteps. Needs PlayerReset to have run.
bool CommandExecute(const char* line, size_t length);
// The quit: stops the music and all SFX tracks, frees the four slots, prints "Quit.\n".
void CommandQuitSteps();
// --- Line reader -------------------------------------------------------------------------
// Reads lines from a descriptor without stdio, so that any line arrives whole (NUL bytes
// included) and a wake-up descriptor (a signal's self-pipe) can end the wait at any moment.
struct CommandReader {
    int fd;      // where the lines come from (standard input)
    int wakeFd;  // readable when the session must end; -1 for none
    char chunk[4096];
    size_t chunkStart;
    size_t chunkEnd;
};

enum CommandReadResult : int {
    CommandReadLine,     // *line holds the line with its LF (none on a last unended line)
    CommandReadTooLong,  // a line over CommandLineMax was read to its end; *line is empty
    CommandReadEnd,      // end of input (or a read error) and nothing left
    CommandReadWoken,    // wakeFd became readable
};

// Reads the next line. Main thread.
CommandReadResult CommandLineRead(CommandReader* reader, std::string* line);

// How the session loop ended.
enum CommandLoopEnd : int {
    CommandLoopQuit,        // a quit line or the end of input, and then the key
    CommandLoopWoken,       // wakeFd became readable (at a command or at the key)
    CommandLoopOutputLost,  // standard output cannot be written any more (a closed pipe)
};

// The interactive session: help, slots cleared, startLines run as commands, lines from
// standard input until a quit
// line or the end of input, the quit steps, then one key press on the console (none without
// a terminal). A readable wakeFd (-1: none) or an output that fails ends it early, still
// with the quit steps (without the key). Main thread.
CommandLoopEnd CommandLoop(int wakeFd = -1, const std::vector<std::string>& startLines = {});
