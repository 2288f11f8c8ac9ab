// commands_ext.h - the extended console commands: lines that begin with ':' (":help",
// ":status", ":info s", ":mute c...", ":solo c...", ":unmute", ":wait S"). They print after
// the command's line on standard output and leave the original commands' output as it is.
// Main thread only.
#pragma once

#include <cstddef>

// Runs one ':' line (line end already removed); an unknown one answers "Unknown Command!".
void CommandExtended(const char* line, size_t length);
// Prints the help of every command, the original nine lines first.
void CommandPrintFullHelp();
// True when the line is a ":wait" line, valid or not: a pause only an interactive reader
// can make; a script whose lines carry their own times refuses it.
bool CommandIsWait(const char* line, size_t length);
// How ":wait S" waits. The plain console sleeps (a signal ends the sleep early); the view
// installs a wait that keeps drawing. Set before the session starts.
extern void (*CommandWaitHook)(double seconds);
