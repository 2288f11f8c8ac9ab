// fuzz_harness.h - what the fuzz targets share: a chip and driver set up as the console
// program sets them up (at a low sample rate, so that a driver tick costs fewer samples),
// a file writer, and rendering with the clip bound checked on every sample.
#pragma once

#include <cstddef>
#include <cstdint>

// Creates the chip, installs the settle hook and resets chip and driver. Once per process.
void FuzzSetUpPlayer();
// Writes data to path; aborts when it cannot.
void FuzzWriteFile(const char* path, const uint8_t* data, size_t size);
// Renders about ticks driver ticks through PlayerRender, stopping early once no track plays.
// Aborts if a sample leaves the clip range.
void FuzzRenderTicks(int ticks);
