// winmm_driver.cpp - the WinMM driver's descriptor and its driver-wide half: the availability
// test, the device list (the default device through WAVE_MAPPER first, then the physical
// devices whose capabilities can be read) and the default stream options.
#include <cstring>
#include <new>

#include "audio/winmm/winmm.h"

const AudioCodeName WinmmCodeNames[] = {
    {WinmmOk, "ok"},
    {WinmmTooMuchData, "more data than one buffer holds"},
    {WinmmInitState, "driver already initialised, or not initialised"},
    {WinmmNoMemory, "out of memory"},
    {WinmmBadDevice, "no such output device"},
    {WinmmCallbackSet, "the buffers belong to the render callback"},
    {WinmmOpenFailed, "the device refused to open (device or format)"},
    {WinmmCloseFailed, "the device could not be closed"},
    {WinmmThreadFailed, "the feeder thread could not be created"},
    {WinmmNotStopped, "the stream is not stopped"},
    {WinmmNotRunning, "the stream is not running"},
    {WinmmNoDevice, "no device open, or the device call failed"},
    {0, nullptr},
};

AudioDeviceList WinmmDevices = {0, nullptr, nullptr};
AudioOptions WinmmDefaultOptions = {0, 0, 0, 0, 0};  // set by the first Init

static bool WinmmInitialised = false;

const AudioDriver WinmmDriver = {
    0x00001001,
    "WinMM",
    WinmmIsAvailable,
    WinmmInit,
    WinmmDeinit,
    WinmmGetDeviceList,
    WinmmGetDefaultOptions,
    WinmmCreate,
    WinmmDestroy,
    WinmmStart,
    WinmmStop,
    WinmmPause,
    WinmmResume,
    WinmmSetCallback,
    WinmmIsBusy,
    WinmmWriteData,
    WinmmGetLatency,
};

uint8_t WinmmIsAvailable() {
    return waveOutGetNumDevs() >= 1 ? 1 : 0;
}

static void FreeDeviceList() {
    for (uint32_t i = 0; i < WinmmDevices.count; ++i) delete[] WinmmDevices.names[i];
    delete[] WinmmDevices.names;
    delete[] WinmmDevices.deviceIds;
    WinmmDevices = AudioDeviceList{0, nullptr, nullptr};
}

// Appends (deviceId, its name) when the device's capabilities can be read; false only when
// the name copy cannot be allocated.
static bool ListDevice(uint32_t deviceId) {
    WAVEOUTCAPSA caps;
    if (waveOutGetDevCapsA(deviceId, &caps, sizeof caps) != MMSYSERR_NOERROR) return true;
    caps.szPname[sizeof caps.szPname - 1] = '\0';
    size_t length = std::strlen(caps.szPname);
    char* name = new (std::nothrow) char[length + 1];
    if (name == nullptr) return false;
    std::memcpy(name, caps.szPname, length + 1);
    WinmmDevices.names[WinmmDevices.count] = name;
    WinmmDevices.deviceIds[WinmmDevices.count] = deviceId;
    ++WinmmDevices.count;
    return true;
}

uint8_t WinmmInit() {
    if (WinmmInitialised) return WinmmInitState;
    uint32_t physical = waveOutGetNumDevs();
    WinmmDevices.count = 0;
    WinmmDevices.names = new (std::nothrow) char*[physical + 1];
    WinmmDevices.deviceIds = new (std::nothrow) uint32_t[physical + 1];
    bool listed = WinmmDevices.names != nullptr && WinmmDevices.deviceIds != nullptr &&
                  ListDevice(WAVE_MAPPER);
    for (uint32_t id = 0; listed && id < physical; ++id) listed = ListDevice(id);
    if (!listed) {
        FreeDeviceList();
        return WinmmNoMemory;
    }
    WinmmDefaultOptions = AudioOptions{44100, 2, 16, 10000, 10};
    WinmmInitialised = true;
    return WinmmOk;
}

uint8_t WinmmDeinit() {
    if (!WinmmInitialised) return WinmmInitState;
    FreeDeviceList();
    WinmmInitialised = false;
    return WinmmOk;
}

AudioDeviceList* WinmmGetDeviceList() {
    return &WinmmDevices;
}

AudioOptions* WinmmGetDefaultOptions() {
    return &WinmmDefaultOptions;
}
