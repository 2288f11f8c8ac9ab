// driver_list.cpp - the output drivers the program is built with, in registry order. Entry 0
// is the one the console opens; further drivers are appended here.
#include "audio/driver_list.h"

#include "audio/wavfile/wavfile.h"
#include "audio/winmm/winmm.h"

const AudioDriver* const AudioBuiltInDrivers[] = {&WinmmDriver, &WavFileDriver, nullptr};
