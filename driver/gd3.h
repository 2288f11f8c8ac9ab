// gd3.h - the GD3 tag block of a VGM file (title, game, system, author, date, ripper, notes),
// read at load from the file image and kept with the slot as UTF-8 text. Main thread only;
// nothing here runs on the render path.
#pragma once

#include <cstdint>

// The eleven strings of a GD3 block, in file order.
enum : int {
    Gd3TitleEn,
    Gd3TitleJp,
    Gd3GameEn,
    Gd3GameJp,
    Gd3SystemEn,
    Gd3SystemJp,
    Gd3AuthorEn,
    Gd3AuthorJp,
    Gd3Date,
    Gd3Ripper,
    Gd3Notes,
    Gd3FieldCount
};

// The tags of one file: every field UTF-8 and zero-terminated in one heap block.
// text == nullptr means the file has no tags (absent or damaged block).
struct Gd3Tags {
    char* text;
    uint32_t field[Gd3FieldCount];  // offset of each field in text
};

// Parses the block that starts at offset (absolute) in image[0..size). Any block that does
// not fit the image, has a wrong identifier, an odd byte count, or fewer than eleven
// terminated strings leaves *tags empty and returns false; so does a failed allocation.
bool Gd3Parse(const uint8_t* image, uint32_t size, uint32_t offset, Gd3Tags* tags);
// The field's text, "" when there are no tags.
const char* Gd3Field(const Gd3Tags* tags, int field);
// Frees the text and empties *tags.
void Gd3Free(Gd3Tags* tags);
