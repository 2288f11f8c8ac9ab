// picture.h - the picture of a render, drawn with cairo from its SessionLog: time left to
// right; per chip channel its owner over time with the key-on notes; rhythm hits; the
// script's commands with their answers; the mix as a min/max waveform with clipping marked.
#pragma once

#include <string>

#include "tools/oplrender/session_log.h"

// True when path names a picture format (.png, .svg, .pdf); else false with *error.
bool PictureFormatOk(const std::string& path, std::string* error);
// Draws the log into path (under a temporary name, renamed once complete). False with *error.
bool PictureDraw(const SessionLog& log, const std::string& path, std::string* error);
