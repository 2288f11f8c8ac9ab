// picture_module.h - the picture is drawn by a module of its own (oplrender-picture.so, linked
// with cairo and its libraries), which the program loads only when a picture is asked for: a
// render without one starts without loading those twenty-odd libraries.
#pragma once

#include <cstdint>
#include <string>

#include "tools/oplrender/picture.h"

// The module's file name. Its installed folder, relative to the program's, is PICTURE_MODULE_DIR,
// which the build defines for the program.
#define PICTURE_MODULE_FILE "oplrender-picture.so"

// What the module hands the program: picture.h's calls, and what must match the program's build.
struct PictureModule {
    uint32_t size;        // sizeof(PictureModule) of the module's build
    const char* version;  // the project version of the module's build
    bool (*formatOk)(const std::string& path, std::string* error);
    void (*warmUp)(PictureJob* job, const std::string& path);
    void (*follow)(PictureJob* job, const SessionLog& log, uint64_t done, uint64_t total);
    void (*drop)(PictureJob* job);
    void (*start)(PictureJob* job, const SessionLog& log, const std::string& path);
    bool (*finish)(PictureJob* job, bool keep, std::string* error);
};

// The module's one exported symbol.
#define PICTURE_MODULE_ENTRY "OplrenderPictureModule"
extern "C" const PictureModule* OplrenderPictureModule();
