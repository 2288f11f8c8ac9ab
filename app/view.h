// view.h - the full-screen terminal view of a bench session (ncurses): the four slots, the
// seven tracks, the nine chip channels with owner, key, note and level, the rhythm section,
// mute and solo, the console's messages, and a command line with editing and history.
#pragma once

#include <string>
#include <vector>

#include "app/commands.h"

// The session in the view: the same help, start lines, commands and quit steps as
// CommandLoop, drawn at 20 frames a second from driver snapshots; no key wait at the end.
// Ends at a quit line, end of input (Ctrl-D on an empty line), Ctrl-C or a readable wakeFd
// (-1: none; the run's SIGINT, SIGTERM and SIGHUP handlers make it readable), and puts the
// terminal back on every one of them.
// Needs a terminal on standard input and output. Main thread, while the device runs.
CommandLoopEnd ViewLoop(int wakeFd, const std::vector<std::string>& startLines);
