// open_fds.h - the number of this process's open descriptors, for the platform tests that
// check a failed call leaves none of its own open.
#pragma once

#include <dirent.h>

inline int OpenFds() {
    int count = 0;
    if (DIR* fds = opendir("/proc/self/fd")) {
        while (readdir(fds) != nullptr) ++count;
        closedir(fds);
    }
    return count;
}
