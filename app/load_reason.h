// load_reason.h - the plain-words reason a VGM load failed, for the line the console prints
// on standard error after "Load Error 0xNN" (standard output keeps its exact transcript).
#pragma once

#include <cstdint>
#include <string>

// The reason code (a VgmLoad* result) gives for path, looking at the file again where the
// code alone does not tell: the system's error for a file that cannot be opened, a damaged
// gzip stream apart from a short file, the version a too-old file states. Main thread.
std::string LoadFailureReason(const char* path, uint8_t code);
// Prints "oplbench: PATH: REASON" on standard error (or "oplbench: no file name given").
void LoadFailureReport(const char* path, uint8_t code);
