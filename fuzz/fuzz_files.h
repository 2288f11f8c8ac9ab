// fuzz_files.h - the files the fuzz targets start from (see fuzz_files.cpp).
#pragma once

#include <string>

// Writes tones.vgm, tones.vgz, loop.vgm, rhythm.vgm, mixed.vgm (data block, 0x5B/0x5C writes,
// every wait form) and lying.vgm into dir, which must exist.
void FuzzWriteVgmFiles(const std::string& dir);
// Writes the seed corpus of every target into dir (created if missing), one folder each:
//   vgm/, driver/  the VGM files above       gzip/   the same compressed, one as two members
//   commands/      console sessions          lines/  standard input: long lines, NUL, CR LF
//   script/        oplrender scripts         chip/   register programs of the chip target
void FuzzWriteSeeds(const std::string& dir);
