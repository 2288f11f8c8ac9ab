// notice.h - the one-line notices the audio path gives the user while a session runs (a
// lost or returning device, an underrun, a recording that fails), on standard error.
#pragma once

// Put before every notice; the program sets its name ("oplbench: ") before it starts a stream.
extern const char* NoticePrefix;

// Writes prefix + the formatted text + a line end to standard error in one write call. Any
// thread but a render callback; allocates nothing. Longer notices are cut at 255 bytes.
void Notice(const char* format, ...) __attribute__((format(printf, 1, 2)));
