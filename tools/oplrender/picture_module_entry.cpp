// picture_module_entry.cpp - the picture module's entry: the table of its calls. Everything
// else in the module is hidden, so that its calls among themselves stay inside it.
#include "oplbench_version.h"
#include "tools/oplrender/picture_module.h"

extern "C" [[gnu::visibility("default")]] const PictureModule* OplrenderPictureModule() {
    static const PictureModule module = {sizeof(PictureModule), OPLBENCH_VERSION, PictureFormatOk,
                                         PictureWarmUp,         PictureFollow,    PictureDrop,
                                         PictureStart,          PictureFinish};
    return &module;
}
