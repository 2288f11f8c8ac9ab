// png_writer.h - the picture's PNG files, from cairo RGB24 image surfaces, deflated in bands
// of rows by the writing thread and any thread that offers to help.
#pragma once

#include <cairo.h>

#include <condition_variable>
#include <mutex>
#include <string>

// Where a thread that would otherwise wait for a PNG takes part in deflating its rows. Starting
// a thread of its own for that would make one more than the machine may have processors for
// while the render's files are completed; the thread that waits for the picture is free.
struct PngRows;  // the rows of the PNG being written
struct PngShare {
    std::mutex lock;
    std::condition_variable changed;
    PngRows* rows = nullptr;  // while they are being deflated
    int helping = 0;          // threads that took rows and have not left them
    bool closed = false;      // no PNG is written with this share any more
};

// Writes an RGB24 image surface as an 8-bit RGB PNG at path (cairo's own PNG writer offers no
// choice of compression); share (may be null) lets other threads deflate bands. False with
// *reason.
bool PngWrite(cairo_surface_t* surface, const std::string& path, std::string* reason,
              PngShare* share);
// Waits until the share has rows (then deflates bands of them until none are left) or is
// closed.
void PngHelp(PngShare* share);
// Marks that the share will have no rows (any more): PngHelp returns.
void PngShareClose(PngShare* share);
