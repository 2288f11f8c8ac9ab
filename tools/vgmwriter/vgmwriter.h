// vgmwriter.h - the project's own small VGM file writer: header, OPL-family register writes,
// waits, data blocks, loop point and end, saved plain or gzip-compressed. Used by the tests,
// the example generator, the benchmarks and the fuzz seeds; it can also write lying headers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One file being built. bytes holds the whole file, header first; the header fields are
// filled by VgmWriterFinish from the fields below, and may be overwritten afterwards with
// VgmWriterPatchU32 to build deliberately inconsistent files.
struct VgmWriter {
    std::vector<uint8_t> bytes;
    uint32_t version;        // BCD, 0x151 = 1.51
    uint32_t dataOffset;     // absolute offset of the first command
    uint32_t totalSamples;   // sum of all waits written so far
    uint32_t loopPos;        // absolute offset of the loop point, 0 = none
    uint32_t loopStartTime;  // totalSamples when the loop point was marked
    uint32_t gd3Pos;         // absolute offset of the GD3 block, 0 = none
};

// Starts a file: headerSize zero bytes (at least 0x40; 0x80 or more keeps the chip clock
// field at 0x50), version, data offset = headerSize.
void VgmWriterBegin(VgmWriter* w, uint32_t version = 0x151, uint32_t headerSize = 0x80);

// Register write with command 0x5A (YM3812), 0x5B (YM3526) or 0x5C (Y8950).
void VgmWriterReg(VgmWriter* w, uint8_t command, uint8_t reg, uint8_t value);
inline void VgmWriterOpl2(VgmWriter* w, uint8_t reg, uint8_t value) {
    VgmWriterReg(w, 0x5A, reg, value);
}

// A plain two-operator voice on YM3812 channel ch (0..8): both operators sounding, fast
// attack, sustained; level is the carrier's total level (0 loudest .. 63).
void VgmWriterOpl2Voice(VgmWriter* w, int ch, uint8_t level = 0);
// Sets channel ch's frequency (f-number 0..1023, block 0..7) and key bit.
void VgmWriterOpl2Note(VgmWriter* w, int ch, uint16_t fnum, uint8_t block, bool keyOn);

// Music for tests and benchmarks: voices on channels firstCh.. firstCh + channels - 1, then
// steps chords of one note per channel, each held stepSamples and keyed off.
void VgmWriterArpeggio(VgmWriter* w, int firstCh, int channels, int steps, uint32_t stepSamples);

// A load for benchmarks and render checks: `channels` (0..9) channels keyed and sustained at
// full level with tremolo, vibrato and feedback 7, deep LFO; with rhythm, channels 6-8 turn
// into the five rhythm instruments, all keyed. Then `seconds` of waits inside a loop.
void VgmWriterLoad(VgmWriter* w, int channels, bool rhythm, uint32_t seconds);

// Waits samples (44100 Hz) with the shortest commands: 0x62 (735), 0x63 (882), 0x7n (1..16),
// else 0x61 nn nn in pieces of at most 65535.
void VgmWriterWait(VgmWriter* w, uint32_t samples);
// Writes 0x61 nn nn exactly (no splitting or short forms), for interpreter tests.
void VgmWriterWait16(VgmWriter* w, uint16_t samples);
// Data block 0x67 0x66 type size32 data; size must fit in 31 bits.
void VgmWriterDataBlock(VgmWriter* w, uint8_t type, const uint8_t* data, uint32_t size);
// Raw bytes, for malformed streams and commands of other chips.
void VgmWriterRaw(VgmWriter* w, const std::vector<uint8_t>& raw);
// Marks the current position as the loop point; the loop length is the time from here
// to VgmWriterFinish.
void VgmWriterMarkLoop(VgmWriter* w);
// Writes the end command 0x66.
void VgmWriterEnd(VgmWriter* w);

// Appends a GD3 tag block (after the end command): the fields in file order (title, title in
// the original language, game, game, system, system, author, author, date, ripper, notes);
// missing fields are written empty. UTF-16 as given, so tests can write lone surrogates.
void VgmWriterGd3(VgmWriter* w, const std::vector<std::u16string>& fields);

// Fills the header: "Vgm ", end-of-file offset, version, total samples, loop offset and
// length, data offset, GD3 offset (all relative as the format stores them), YM3812 clock.
// Call once, after the last command.
void VgmWriterFinish(VgmWriter* w);
// Overwrites the little-endian 32-bit value at offset (grows the file if needed).
void VgmWriterPatchU32(VgmWriter* w, uint32_t offset, uint32_t value);

// gzip-compresses bytes in memory (the .vgz form). Returns an empty vector on failure.
std::vector<uint8_t> VgmGzip(const std::vector<uint8_t>& bytes);
// Writes bytes to path. Returns true on success.
bool VgmSaveBytes(const char* path, const std::vector<uint8_t>& bytes);
// Saves the writer's file to path, gzip-compressed when gzip is true.
bool VgmWriterSave(const VgmWriter* w, const char* path, bool gzip = false);
