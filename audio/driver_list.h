// driver_list.h - the output drivers the program is built with, for AudioInit. Kept apart
// from the registry so that the registry never refers to a driver: tests run it on their own.
#pragma once

#include "audio/audio.h"

// WinMM (entry 0, the one the console opens), then WavFile; ended by a null entry.
extern const AudioDriver* const AudioBuiltInDrivers[];
