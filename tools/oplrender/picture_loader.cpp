// picture_loader.cpp - picture.h's calls in the program: they load the picture module on the
// first call (PictureFormatOk, made while the options are checked) and go through its table.
// The module is looked for beside the program (the build tree), then where it is installed.
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "oplbench_version.h"
#include "tools/oplrender/picture_module.h"

namespace {

const PictureModule* Loaded = nullptr;

// The folder of the running program, without a trailing slash; empty when unknown.
std::string ProgramFolder() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "";
    std::string s(path, size_t(n));
    return s.substr(0, s.rfind('/'));
}

// Loads the module once; false with *error saying why it cannot be had.
bool Load(std::string* error) {
    if (Loaded != nullptr) return true;
    std::string folder = ProgramFolder();
    std::string tried;
    for (const std::string& path : {folder + "/" PICTURE_MODULE_FILE,
                                    folder + "/" PICTURE_MODULE_DIR "/" PICTURE_MODULE_FILE}) {
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            if (access(path.c_str(), F_OK) == 0) {  // there, but it cannot be loaded
                *error = "cannot load the picture module " + path + ": " + dlerror();
                return false;
            }
            tried += (tried.empty() ? "" : " or ") + path;
            continue;
        }
        auto entry =
            reinterpret_cast<const PictureModule* (*)()>(dlsym(handle, PICTURE_MODULE_ENTRY));
        const PictureModule* module = entry ? entry() : nullptr;
        if (module == nullptr || module->size != sizeof(PictureModule) ||
            std::strcmp(module->version, OPLBENCH_VERSION) != 0) {
            *error = "the picture module " + path + " is not of this oplrender (" +
                     OPLBENCH_VERSION + "): reinstall oplrender";
            dlclose(handle);
            return false;
        }
        Loaded = module;
        return true;
    }
    *error = "cannot draw pictures: the picture module is missing (" + tried + ")";
    return false;
}

}  // namespace

bool PictureFormatOk(const std::string& path, std::string* error) {
    return Load(error) && Loaded->formatOk(path, error);
}

// A job is begun only once the module is loaded (PictureFormatOk comes first); before that
// there is nothing to follow, drop or finish.
void PictureWarmUp(PictureJob* job, const std::string& path) {
    if (Loaded != nullptr) Loaded->warmUp(job, path);
}

void PictureFollow(PictureJob* job, const SessionLog& log, uint64_t done, uint64_t total) {
    if (Loaded != nullptr) Loaded->follow(job, log, done, total);
}

void PictureDrop(PictureJob* job) {
    if (Loaded != nullptr) Loaded->drop(job);
}

void PictureStart(PictureJob* job, const SessionLog& log, const std::string& path) {
    if (Loaded != nullptr) Loaded->start(job, log, path);
}

bool PictureFinish(PictureJob* job, bool keep, std::string* error) {
    if (Loaded != nullptr) return Loaded->finish(job, keep, error);
    if (keep) *error = "no picture was drawn: the picture module is not loaded";
    return !keep;
}
