// gd3.cpp - parsing the GD3 tag block into UTF-8, bounded by the loaded image: a block that
// claims more bytes than the image holds, or strings that run past its stated length, give
// no tags rather than a partial read.
//
// Block layout (offsets from the block's start, little-endian):
//   0x00 "Gd3 "   0x04 version (0x100)   0x08 byte count n of the strings
//   0x0C n bytes: eleven UTF-16LE strings, each ended by a 0x0000 code unit
#include "driver/gd3.h"

#include <cstdlib>
#include <cstring>

#include "driver/vgm_slot.h"

namespace {

constexpr uint32_t BlockHead = 12;
constexpr uint32_t Replacement = 0xFFFD;

uint32_t UnitAt(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}

char* PutUtf8(char* out, uint32_t cp) {
    if (cp < 0x80) {
        *out++ = char(cp);
    } else if (cp < 0x800) {
        *out++ = char(0xC0 | cp >> 6);
        *out++ = char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out++ = char(0xE0 | cp >> 12);
        *out++ = char(0x80 | (cp >> 6 & 0x3F));
        *out++ = char(0x80 | (cp & 0x3F));
    } else {
        *out++ = char(0xF0 | cp >> 18);
        *out++ = char(0x80 | (cp >> 12 & 0x3F));
        *out++ = char(0x80 | (cp >> 6 & 0x3F));
        *out++ = char(0x80 | (cp & 0x3F));
    }
    return out;
}

}  // namespace

bool Gd3Parse(const uint8_t* image, uint32_t size, uint32_t offset, Gd3Tags* tags) {
    std::memset(tags, 0, sizeof *tags);
    if (offset == 0 || offset > size || size - offset < BlockHead) return false;
    const uint8_t* block = image + offset;
    if (std::memcmp(block, "Gd3 ", 4) != 0) return false;
    uint32_t bytes = VgmReadU32(block + 8);
    if (bytes % 2 != 0 || bytes > size - offset - BlockHead) return false;
    const uint8_t* units = block + BlockHead;
    uint32_t count = bytes / 2;

    // Every unit becomes at most three UTF-8 bytes (a pair of two units becomes four).
    char* text = static_cast<char*>(std::malloc(size_t(count) * 3 + 1));
    if (!text) return false;
    char* out = text;
    int field = 0;
    tags->field[0] = 0;
    for (uint32_t i = 0; i < count && field < Gd3FieldCount; ++i) {
        uint32_t u = UnitAt(units + 2 * i);
        if (u == 0) {
            *out++ = '\0';
            if (++field < Gd3FieldCount) tags->field[field] = uint32_t(out - text);
            continue;
        }
        uint32_t cp = u;
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count) {
            uint32_t low = UnitAt(units + 2 * (i + 1));
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        // Lone surrogates and control characters other than the line feed would garble a
        // terminal that shows the tags.
        if ((cp >= 0xD800 && cp <= 0xDFFF) || (cp < 0x20 && cp != '\n') || cp == 0x7F)
            cp = Replacement;
        out = PutUtf8(out, cp);
    }
    if (field < Gd3FieldCount) {
        std::free(text);
        std::memset(tags, 0, sizeof *tags);
        return false;
    }
    tags->text = text;
    return true;
}

const char* Gd3Field(const Gd3Tags* tags, int field) {
    if (!tags->text || field < 0 || field >= Gd3FieldCount) return "";
    return tags->text + tags->field[field];
}

void Gd3Free(Gd3Tags* tags) {
    std::free(tags->text);
    std::memset(tags, 0, sizeof *tags);
}
