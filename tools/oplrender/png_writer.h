// png_writer.h - the picture's PNG files, from cairo RGB24 image surfaces, deflated on two
// threads.
#pragma once

#include <cairo.h>

#include <string>

// Writes an RGB24 image surface as an 8-bit RGB PNG at path (cairo's own PNG writer offers no
// choice of compression). False with *reason.
bool PngWrite(cairo_surface_t* surface, const std::string& path, std::string* reason);
