// picture.h - the picture of a render, drawn with cairo from its SessionLog: time left to
// right; per chip channel its owner over time with the key-on notes; rhythm hits; the
// script's commands with their answers; the mix as a min/max waveform with clipping marked.
#pragma once

#include <string>

#include "platform/worker.h"
#include "tools/oplrender/session_log.h"

// True when path names a picture format (.png, .svg, .pdf); else false with *error.
bool PictureFormatOk(const std::string& path, std::string* error);
// Draws the log into path (under a temporary name, renamed once complete). False with *error.
bool PictureDraw(const SessionLog& log, const std::string& path, std::string* error);

// The same in steps, so that the picture is drawn on a thread of its own (the worker) while
// the render runs and while the caller completes its other files. A PNG whose length is known
// before the render ends is drawn a stretch of time at a time as the render goes
// (PictureFollow), from a copy of the log that the worker reads; the rest, and any picture
// whose length was not known or changed, is drawn by PictureStart. PictureFinish waits for the
// drawing (deflating a share of a PNG's rows meanwhile) and gives the picture its name when keep is
// set (and removes it otherwise); it is false with *error when keep is set and the picture failed.
struct PictureCanvas;  // the image being drawn during the render
struct PngShare;       // the PNG's rows, which PictureFinish helps deflate
struct PictureJob {
    Worker* worker = nullptr;  // draws; null when no thread can be had: drawn in place
    const SessionLog* log = nullptr;
    std::string path, temp;
    bool durable = false;  // on the disk before it takes its name
    bool drawn = false;    // written by the worker, read after its job has ended
    std::string error;
    // Drawing during the render: the main thread hands the worker a stretch only once the last
    // job has ended, so that the worker never shares seen or the canvas with it.
    uint64_t followFrom = UINT64_MAX;  // the sample from which PictureFollow has work
    uint64_t planned = 0;              // the length the canvas is laid out for; 0 before
    double drawnTo = 0;                // the canvas's columns left of this are drawn
    SessionLog seen;                   // the log as far as it is final, for the worker
    PictureCanvas* canvas = nullptr;
    PngShare* share = nullptr;  // from PictureStart to PictureFinish; null when none could be had
};
// Starts the worker, which first reads the font configuration and loads the faces the
// picture's text uses (a few milliseconds), so that this is done while the render runs.
void PictureWarmUp(PictureJob* job, const std::string& path);
// Called by the render after each read of the state: done samples are rendered and in log,
// total is the render's length when it is known, else 0. Hands the worker at most one job
// and never waits for it.
void PictureFollow(PictureJob* job, const SessionLog& log, uint64_t done, uint64_t total);
// Waits for the worker and lets go of the picture, for a picture that is not drawn.
void PictureDrop(PictureJob* job);
void PictureStart(PictureJob* job, const SessionLog& log, const std::string& path);
bool PictureFinish(PictureJob* job, bool keep, std::string* error);
