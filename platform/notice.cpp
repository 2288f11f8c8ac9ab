// notice.cpp - the drivers' notices on standard error: formatted on the stack and written
// with one system call, so that lines from different threads never interleave.
#include "platform/notice.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

const char* NoticePrefix = "";

void Notice(const char* format, ...) {
    char line[256];
    size_t used = strlen(NoticePrefix);
    if (used > 64) used = 64;
    memcpy(line, NoticePrefix, used);
    va_list args;
    va_start(args, format);
    int wrote = vsnprintf(line + used, sizeof line - used - 1, format, args);
    va_end(args);
    if (wrote > 0)
        used += static_cast<size_t>(wrote) < sizeof line - used - 1 ? static_cast<size_t>(wrote)
                                                                    : sizeof line - used - 2;
    line[used++] = '\n';
    ssize_t ignored = write(2, line, used);
    (void)ignored;
}
