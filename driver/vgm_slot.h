// vgm_slot.h - the four VGM file slots: a file read whole into memory with a normalised
// copy of its header in which every offset is absolute. Loading runs on the main thread;
// tracks read the images on the audio thread under the driver lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/gd3.h"

// Header layout after normalisation (offsets into VgmSlot::header, little-endian 32-bit):
//   0x00 identifier "Vgm "      0x04 end of file, absolute (the stated file size)
//   0x08 version (BCD)          0x14 GD3 tag, absolute, 0 = none
//   0x18 total samples
//   0x1C loop offset, absolute, 0 = no loop
//   0x20 loop length in samples 0x34 data offset, absolute (0x40 when the file gives 0)
enum : uint32_t {
    VgmHdrIdent = 0x00,
    VgmHdrEof = 0x04,
    VgmHdrVersion = 0x08,
    VgmHdrGd3 = 0x14,
    VgmHdrTotalSamples = 0x18,
    VgmHdrLoopOffset = 0x1C,
    VgmHdrLoopLength = 0x20,
    VgmHdrDataOffset = 0x34,
};

// Load result codes.
enum : uint8_t {
    VgmLoadOk = 0x00,
    VgmLoadCannotOpen = 0xFF,   // cannot be opened for binary reading
    VgmLoadShortHeader = 0xFE,  // first 64 bytes unreadable (also a FIFO nobody writes for
                                // 1.5 seconds); also a damaged gzip stream
    VgmLoadBadIdent = 0x80,     // not "Vgm "
    VgmLoadOldVersion = 0x81,   // version below 1.50
    VgmLoadNoMemory = 0xF0,     // image cannot be allocated, or above 256 MiB; also gzip
                                // output above 64 MiB
};

// A name for every load code, for messages and tests; ended by a null name.
struct VgmLoadCodeName {
    uint8_t code;
    const char* name;
};
extern const VgmLoadCodeName VgmLoadCodeNames[];
// The name of a load code, or "unknown"; any thread.
const char* VgmLoadCodeNameOf(uint8_t code);

struct VgmSlot {
    uint32_t fileSize;    // valid bytes in fileData
    uint8_t* fileData;    // the file image from byte 0; owned by the slot
    uint8_t header[128];  // normalised header copy
    Gd3Tags gd3;          // the file's tags, read at load; empty when it has none
    char* name;           // the name the file was loaded by (heap); nullptr when empty
};

extern VgmSlot VgmSlots[4];

// Loads path into slot. Does not free what the slot holds: the caller empties it first.
uint8_t VgmSlotLoad(const char* path, VgmSlot* slot);
// Loads a file image that is already in memory (plain or gzip) into slot, exactly as
// VgmSlotLoad loads it from a file; data is only read, the slot gets its own copy.
uint8_t VgmSlotLoadMemory(const uint8_t* data, size_t size, VgmSlot* slot);
// Frees the slot's image, tags and name and empties it. Main thread, under the driver lock if
// tracks run.
void VgmSlotFree(VgmSlot* slot);
// Reads a little-endian 32-bit value at offset of the normalised header (0 past its end).
uint32_t VgmHeaderU32(const VgmSlot* slot, uint32_t offset);
// Reads a little-endian 32-bit value at p. Any thread.
uint32_t VgmReadU32(const uint8_t* p);
