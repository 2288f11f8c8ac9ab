// run.cpp - the run sequence of the bench. The feeder thread calls PlayerRender from the
// device start until the device stop; before and after that the main thread is alone, so
// set-up and shutdown need no driver lock.
#include "app/run.h"

#include <cstdio>

#include "app/commands.h"
#include "audio/audio.h"
#include "audio/wavfile/wavfile.h"
#include "driver/player.h"
#include "fmchip/fmchip.h"

namespace {

constexpr uint32_t BenchDeviceIndex = 0;   // the system's default output device

}  // namespace

uint32_t ChipSetUp() {
    uint32_t chipRate = AudioCurrentStream->options.sampleRate;
    FmChip* chip = FmChipCreate(chipRate);
    if (chip != nullptr) FmChipReset(chip);
    PlayerChip = chip;
    if (chip != nullptr) {
        chip->irqHook = nullptr;
        chip->irqHookParam = &PlayerChip;
        chip->beforeWriteHook = SettleAttacksHook;
        chip->beforeWriteParam = &PlayerChip;
    }
    return chipRate;
}

int BenchRun(const char* recordPath) {
    AudioInit();   // a failure shows as an empty driver table
    if (AudioDriverCount == 0) {
        AudioDeinit();
        printf("Done.\n");
        return 0;
    }
    printf("Using driver %s.\n", AudioDriverEntries[0].driver->name);

    uint8_t result = AudioStreamOpen();
    if (result != 0) {
        printf("WaveOut: Drv Init Error: %02X\n", result);
        AudioDeinit();
        printf("Done.\n");
        return 0;
    }
    AudioStream* stream = AudioCurrentStream;
    stream->options.channels = 1;
    stream->options.bitsPerSample = 16;
    // The recorder listens to the stream, so it must be attached before the callback is set.
    if (recordPath != nullptr && (result = WavFileRecordStream(stream, recordPath)) != 0) {
        fprintf(stderr, "oplbench: cannot record to %s (%02X)\n", recordPath, result);
        AudioStreamClose();
        AudioDeinit();
        printf("Done.\n");
        return 2;
    }

    ChipSetUp();
    if (PlayerChip == nullptr) {
        // Nothing past this point works without a chip: end with the device never started.
        printf("FM Chip Init Error: out of memory\n");
        AudioStreamClose();
        AudioDeinit();
        printf("Done.\n");
        return 0;
    }
    FmChipReset(PlayerChip);   // again, now with the hooks installed
    PlayerReset();
    AudioStreamSetCallback(stream, PlayerRender);

    printf("Opening Device %u ...\n", BenchDeviceIndex);
    fflush(stdout);
    result = stream->driver->Start(stream->instance, BenchDeviceIndex, &stream->options, stream);
    if (result != 0) {
        printf("Dev Init Error: %02X\n", result);
    } else {
        CommandLoop();
        stream->driver->Stop(stream->instance);   // ends the feeder thread
    }

    PlayerShutdown();
    FmChipDestroy(PlayerChip);
    PlayerChip = nullptr;
    AudioStreamClose();
    AudioDeinit();
    printf("Done.\n");
    return 0;
}
