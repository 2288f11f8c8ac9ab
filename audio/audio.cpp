// audio.cpp - the driver registry: the entry table built from a driver list, the 16-slot
// stream table, stream open and close, the callback choice between the main callback and the
// listener chain, and the chain itself (the only code here that runs on a feeder thread).
#include "audio/audio.h"

#include <new>

const AudioCodeName AudioCodeNames[] = {
    {AudioOk, "ok"},
    {AudioInitState, "registry already initialised, or not initialised"},
    {AudioNoDrivers, "no output driver built in"},
    {AudioNoStream, "no such driver entry or open stream"},
    {AudioDriverUnusable, "driver not available on this machine"},
    {AudioNoFreeSlot, "all stream slots are open"},
    {AudioNoMemory, "out of memory"},
    {0, nullptr},
};

const char* AudioCodeNameIn(const AudioCodeName* table, uint8_t code) {
    for (const AudioCodeName* entry = table; entry->name != nullptr; ++entry)
        if (entry->code == code) return entry->name;
    return "unknown";
}

const char* AudioCodeNameOf(uint8_t code) {
    return AudioCodeNameIn(AudioCodeNames, code);
}

uint32_t AudioDriverCount = 0;
AudioDriverEntry* AudioDriverEntries = nullptr;
uint32_t AudioStreamCount = 0;
AudioStream* AudioStreams = nullptr;
AudioStream* AudioCurrentStream = nullptr;

static bool AudioInitialised = false;

// Entry flags.
constexpr uint8_t EntryUsable = 0x01;
constexpr uint8_t EntryInitialised = 0x02;
constexpr uint8_t EntryAvailable = 0x81;

uint8_t AudioInit(const AudioDriver* const* drivers) {
    if (AudioInitialised) return AudioInitState;
    uint32_t count = 0;
    while (drivers != nullptr && drivers[count] != nullptr) ++count;
    if (count == 0) return AudioNoDrivers;

    AudioDriverEntry* entries = new (std::nothrow) AudioDriverEntry[count];
    AudioStream* streams = new (std::nothrow) AudioStream[AudioStreamSlots];
    if (entries == nullptr || streams == nullptr) {
        delete[] entries;
        delete[] streams;
        return AudioNoMemory;
    }
    for (uint32_t i = 0; i < count; ++i) {
        entries[i].driver = drivers[i];
        entries[i].flags = (entries[i].driver->IsAvailable() & 0xFF) ? EntryAvailable : 0x00;
    }
    for (uint32_t i = 0; i < AudioStreamSlots; ++i) streams[i].id = AudioFreeSlot;

    AudioDriverEntries = entries;
    AudioDriverCount = count;
    AudioStreams = streams;
    AudioStreamCount = AudioStreamSlots;
    AudioInitialised = true;
    return AudioOk;
}

uint8_t AudioDeinit() {
    if (!AudioInitialised) return AudioInitState;
    for (uint32_t i = 0; i < AudioStreamCount; ++i) {
        AudioStream& stream = AudioStreams[i];
        if (stream.id == AudioFreeSlot) continue;
        stream.driver->Stop(stream.instance);
        stream.driver->Destroy(stream.instance);
        AudioListenerListFree(&stream.listeners);
    }
    for (uint32_t i = 0; i < AudioDriverCount; ++i)
        if (AudioDriverEntries[i].flags & EntryInitialised) AudioDriverEntries[i].driver->Deinit();

    delete[] AudioStreams;
    AudioStreams = nullptr;
    AudioStreamCount = 0;
    delete[] AudioDriverEntries;
    AudioDriverEntries = nullptr;
    AudioDriverCount = 0;
    // The current stream lived in the table just freed; keeping the pointer would let a later
    // AudioStreamClose read freed memory.
    AudioCurrentStream = nullptr;
    AudioInitialised = false;
    return AudioOk;
}

uint8_t AudioStreamOpen() {
    return AudioStreamOpenOn(0);
}

uint8_t AudioStreamOpenOn(uint32_t entryIndex) {
    if (entryIndex >= AudioDriverCount) return AudioNoStream;
    AudioDriverEntry& entry = AudioDriverEntries[entryIndex];
    if (!(entry.flags & EntryUsable)) return AudioDriverUnusable;
    const AudioDriver* driver = entry.driver;
    if (!(entry.flags & EntryInitialised)) {
        if (uint8_t result = driver->Init()) return result;
        entry.flags |= EntryInitialised;
    }
    void* instance = nullptr;
    if (uint8_t result = driver->Create(&instance)) return result;

    AudioStream* slot = nullptr;
    for (uint32_t i = 0; i < AudioStreamCount && slot == nullptr; ++i)
        if (AudioStreams[i].id == AudioFreeSlot) slot = &AudioStreams[i];
    if (slot == nullptr) {
        driver->Destroy(instance);  // nothing else owns it
        return AudioNoFreeSlot;
    }
    slot->id = static_cast<uint32_t>(slot - AudioStreams);
    slot->driver = driver;
    slot->options = *driver->GetDefaultOptions();
    slot->instance = instance;
    slot->callback = nullptr;
    slot->listeners = nullptr;
    AudioCurrentStream = slot;
    return AudioOk;
}

uint8_t AudioStreamClose() {
    AudioStream* stream = AudioCurrentStream;
    if (stream == nullptr || stream->id == AudioFreeSlot) return AudioNoStream;
    stream->driver->Stop(stream->instance);  // a stopped stream answers its own code
    if (uint8_t result = stream->driver->Destroy(stream->instance)) return result;
    AudioCurrentStream = nullptr;
    stream->id = AudioFreeSlot;
    stream->driver = nullptr;
    stream->instance = nullptr;
    stream->callback = nullptr;
    AudioListenerListFree(&stream->listeners);
    return AudioOk;
}

void AudioStreamSetCallback(AudioStream* stream, AudioRenderCallback callback) {
    stream->callback = callback;
    bool chain = stream->listeners != nullptr && callback != nullptr;
    stream->driver->SetCallback(stream->instance, chain ? AudioStreamRenderChain : callback);
}

uint32_t AudioStreamRenderChain(void* userData, uint32_t byteCount, void* buffer) {
    AudioStream* stream = static_cast<AudioStream*>(userData);
    uint32_t produced = stream->callback(stream, byteCount, buffer);
    for (AudioListenerNode* node = stream->listeners; node != nullptr; node = node->next) {
        AudioStream* listener = node->stream;
        if (listener->id != AudioFreeSlot && listener->driver != nullptr)
            listener->driver->WriteData(listener->instance, produced, buffer);
    }
    return produced;
}

uint8_t AudioListenerListFree(AudioListenerNode** head) {
    AudioListenerNode* node = *head;
    *head = nullptr;
    while (node != nullptr) {
        AudioListenerNode* next = node->next;
        delete node;
        node = next;
    }
    return AudioOk;
}

uint8_t AudioStreamAddListener(AudioStream* stream, AudioStream* listener) {
    if (stream == nullptr || listener == nullptr || stream == listener) return AudioNoStream;
    if (stream->id == AudioFreeSlot || listener->id == AudioFreeSlot) return AudioNoStream;
    AudioListenerNode* node = new (std::nothrow) AudioListenerNode{listener, nullptr};
    if (node == nullptr) return AudioNoMemory;
    AudioListenerNode** link = &stream->listeners;
    while (*link != nullptr) link = &(*link)->next;
    *link = node;
    return AudioOk;
}
