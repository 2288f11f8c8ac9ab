// console_key.h - the console's read of one key press without echo, as the bench uses it
// at quit: reads from the controlling terminal (not from standard input, which may be a
// redirected command file) with echo and line buffering off, and puts the terminal back.
#pragma once

constexpr int ConsoleKeyWoken = -2;

// Waits for one key press on the controlling terminal and returns its first byte (0..255).
// Returns -1 at once when the process has no controlling terminal or it cannot be read, and
// ConsoleKeyWoken, with the terminal restored, once wakeFd (-1: none) becomes readable.
// Ctrl-C arrives as the key 3, not as a signal. A SIGINT, SIGTERM, SIGHUP or SIGQUIT that
// the program leaves at its default action restores the terminal before it takes its usual
// course; one the program handles reaches its handler (which writes to wakeFd).
// Main thread only; not reentrant.
int ConsoleKeyRead(int wakeFd = -1);
