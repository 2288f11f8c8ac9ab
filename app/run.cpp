// run.cpp - the run sequence of the bench. The feeder thread calls PlayerRender from the
// device start until the device stop; before and after that the main thread is alone, so
// set-up and shutdown need no driver lock.
#include "app/run.h"

#include <csignal>
#include <cstdio>

#include "app/commands.h"
#include "app/session_signals.h"
#include "app/view.h"
#include "audio/audio.h"
#include "audio/wavfile/wavfile.h"
#include "audio/winmm/winmm.h"
#include "driver/player.h"
#include "platform/notice.h"

namespace {

constexpr uint32_t BenchDeviceIndex = 0;  // the system's default output device

// The last steps of every run: the registry shut down, "Done." printed.
int RunEnd(int exitCode) {
    AudioDeinit();
    printf("Done.\n");
    return exitCode;
}

const char* SignalName(int sig) {
    switch (sig) {
        case SIGINT:
            return "interrupted (SIGINT)";
        case SIGTERM:
            return "terminated (SIGTERM)";
        case SIGHUP:
            return "the terminal went away (SIGHUP)";
        default:
            return "ended by a signal";
    }
}

// The same, after the stream that the run opened is closed.
int RunEndClosingStream(int exitCode) {
    AudioStreamClose();
    return RunEnd(exitCode);
}

}  // namespace

// Stops the recorder listening to stream, if any, and says whether its file is whole.
bool RecorderClose(AudioStream* stream) {
    bool whole = true;
    for (AudioListenerNode* node = stream->listeners; node != nullptr; node = node->next) {
        AudioStream* listener = node->stream;
        if (listener->driver == &WavFileDriver &&
            listener->driver->Stop(listener->instance) == WavFileWriteFailed)
            whole = false;
    }
    return whole;
}

int BenchRun(const AudioDriver* const* drivers, const char* recordPath,
             const BenchSession* session) {
    SessionSignalsCatch();
    NoticePrefix = "oplbench: ";
    AudioInit(drivers);  // a failure shows as an empty driver table
    if (AudioDriverCount == 0) return RunEnd(0);
    printf("Using driver %s.\n", AudioDriverEntries[0].driver->name);

    uint8_t result = AudioStreamOpen();
    if (result != 0) {
        printf("WaveOut: Drv Init Error: %02X\n", result);
        return RunEnd(0);
    }
    AudioStream* stream = AudioCurrentStream;
    stream->options.channels = 1;
    stream->options.bitsPerSample = 16;
    // The recorder listens to the stream, so it must be attached before the callback is set.
    if (recordPath != nullptr && (result = WavFileRecordStream(stream, recordPath)) != 0) {
        fprintf(stderr, "oplbench: cannot record to %s: %s\n", recordPath, WavFileLastError());
        return RunEndClosingStream(2);
    }

    if (!PlayerBringUp(stream->options.sampleRate)) {
        // Nothing past this point works without a chip: end with the device never started.
        printf("FM Chip Init Error: out of memory\n");
        return RunEndClosingStream(0);
    }
    AudioStreamSetCallback(stream, PlayerRender);

    printf("Opening Device %u ...\n", BenchDeviceIndex);
    fflush(stdout);
    result = stream->driver->Start(stream->instance, BenchDeviceIndex, &stream->options, stream);
    int exitCode = 0;
    if (result != 0) {
        printf("Dev Init Error: %02X\n", result);
        if (stream->driver == &WinmmDriver &&
            (result == WinmmOpenFailed || result == WinmmThreadFailed)) {
            fprintf(stderr, "oplbench: %s\n", WinmmLastErrorText());
            // A device that refuses is the user's to mend; a system without a thread is a failure.
            if (WinmmLastFailureWasSystem()) exitCode = 1;
        }
    } else {
        const BenchSession plain{};
        if (session == nullptr) session = &plain;
        CommandLoopEnd end = session->view ? ViewLoop(SessionWakeFd(), session->startLines)
                                           : CommandLoop(SessionWakeFd(), session->startLines);
        stream->driver->Stop(stream->instance);  // ends the feeder thread
        if (end == CommandLoopOutputLost) exitCode = 1;
        if (int sig = SessionEndSignal())
            fprintf(stderr, "oplbench: %s, session ended\n", SignalName(sig));
    }
    // A recording that failed is not a success (it said so when it happened).
    if (!RecorderClose(stream)) exitCode = 1;

    PlayerBringDown();
    return RunEndClosingStream(exitCode);
}
