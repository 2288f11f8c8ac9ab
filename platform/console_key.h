// console_key.h - the console's read of one key press without echo, as the bench uses it
// at quit: reads from the controlling terminal (not from standard input, which may be a
// redirected command file) with echo and line buffering off, and puts the terminal back.
#pragma once

// Waits for one key press on the controlling terminal and returns its first byte (0..255).
// Returns -1 at once when the process has no controlling terminal or it cannot be read.
// Ctrl-C arrives as the key 3, not as a signal; a SIGINT, SIGTERM, SIGHUP or SIGQUIT that
// arrives while waiting restores the terminal before the signal takes its usual course.
// Main thread only; not reentrant.
int ConsoleKeyRead();
