// commands.h - the bench's command interpreter: the help text, the one-line command
// language (load, play, stop, pause, resume, quit) acting on the four file slots and the
// driver's tracks, and the loop that reads those lines from standard input.
// All calls run on the main thread; the audio feeder thread may be rendering meanwhile.
// Each command holds the driver lock only around its change to tracks, slots and chip;
// file loading runs outside it (PlayerSlotReload locks for itself).
#pragma once

#include <cstddef>

// Longest line read in one piece; longer lines arrive as several lines.
constexpr int CommandLineMax = 255;

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
// The interactive session: help, slots cleared, lines from stdin until a quit line or the
// end of input, the quit steps, then one key press on the console (none without a terminal).
void CommandLoop();
