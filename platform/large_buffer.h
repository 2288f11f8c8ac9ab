// large_buffer.h - memory for the few large buffers a render fills (a picture's pixels, the
// stems' rows): backed by 2 MiB pages where the kernel grants them, so that the first touch of
// a buffer costs a handful of page faults instead of one for every 4 KiB.
#pragma once

#include <cstddef>

// bytes of zeroed memory, aligned to 64 bytes at least; null when the system has none to give.
void* LargeBufferAlloc(size_t bytes);
// Gives back a buffer of LargeBufferAlloc with the size it was asked for; null is let be.
void LargeBufferFree(void* buffer, size_t bytes);
