// picture.h - the picture of a render, drawn with cairo from its SessionLog: time left to
// right; per chip channel its owner over time with the key-on notes; rhythm hits; the
// script's commands with their answers; the mix as a min/max waveform with clipping marked.
#pragma once

#include <string>

#include "platform/threads.h"
#include "tools/oplrender/session_log.h"

// True when path names a picture format (.png, .svg, .pdf); else false with *error.
bool PictureFormatOk(const std::string& path, std::string* error);
// Draws the log into path (under a temporary name, renamed once complete). False with *error.
bool PictureDraw(const SessionLog& log, const std::string& path, std::string* error);

// The same in two steps, so that the picture is drawn on a thread of its own while the
// caller completes its other files. The log must stay as it is until PictureFinish, which
// waits for the drawing and gives the picture its name when keep is set (and removes it
// otherwise). PictureFinish is false with *error when keep is set and the picture failed.
struct PictureJob {
    HANDLE warming = nullptr;  // PictureWarmUp's thread
    const SessionLog* log = nullptr;
    std::string path, temp;
    bool durable = false;  // on the disk before it takes its name
    HANDLE thread = nullptr;
    bool drawn = false;  // written by the drawing thread, read after it has ended
    std::string error;
};
// Reads the font configuration and loads the faces the picture's text uses (a few
// milliseconds), on a thread of its own, so that this is done while the render runs.
// PictureStart waits for it, and so does PictureWarmedUp (for a picture that is not drawn).
void PictureWarmUp(PictureJob* job);
void PictureWarmedUp(PictureJob* job);
void PictureStart(PictureJob* job, const SessionLog& log, const std::string& path);
bool PictureFinish(PictureJob* job, bool keep, std::string* error);
