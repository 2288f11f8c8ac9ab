// fake_driver.cpp - the recording drivers behind fake_driver.h. Instances are never freed
// before FakeDriversReset, so a test can look at one the registry has already destroyed.
#include "tests/audio/fake_driver.h"

#include <algorithm>
#include <memory>

FakeDriverControl FakeControlA, FakeControlB;
std::vector<std::string> FakeLog;
std::vector<FakeInstance*> FakeLive;
static std::vector<std::unique_ptr<FakeInstance>> FakeAll;

namespace {

template <char Tag>
struct Fake {
    static FakeDriverControl& Control() { return Tag == 'A' ? FakeControlA : FakeControlB; }
    static void Log(const char* op, void* instance = nullptr) {
        std::string line = std::string(1, Tag) + op;
        if (instance != nullptr) {
            line += ':';
            line += std::to_string(static_cast<FakeInstance*>(instance)->number);
        }
        FakeLog.push_back(line);
    }
    static uint8_t IsAvailable() {
        Log("IsAvailable");
        return Control().available;
    }
    static uint8_t Init() {
        Log("Init");
        return Control().initResult;
    }
    static uint8_t Deinit() {
        Log("Deinit");
        return 0;
    }
    static AudioDeviceList* GetDeviceList() { return nullptr; }
    static AudioOptions* GetDefaultOptions() { return &Control().defaults; }
    static uint8_t Create(void** instance) {
        Log("Create");
        if (Control().createResult != 0) return Control().createResult;
        FakeAll.push_back(std::make_unique<FakeInstance>());
        FakeAll.back()->number = static_cast<int>(FakeAll.size());
        FakeLive.push_back(FakeAll.back().get());
        *instance = FakeAll.back().get();
        return 0;
    }
    static uint8_t Destroy(void* instance) {
        Log("Destroy", instance);
        if (Control().destroyResult != 0) return Control().destroyResult;
        FakeLive.erase(std::find(FakeLive.begin(), FakeLive.end(), instance));
        return 0;
    }
    static uint8_t Start(void* instance, uint32_t, AudioOptions*, void*) {
        Log("Start", instance);
        return 0;
    }
    static uint8_t Stop(void* instance) {
        Log("Stop", instance);
        return 0xD8;
    }
    static uint8_t Pause(void*) { return 0; }
    static uint8_t Resume(void*) { return 0; }
    static uint8_t SetCallback(void* instance, AudioRenderCallback callback) {
        static_cast<FakeInstance*>(instance)->callback = callback;
        return 0;
    }
    static uint8_t IsBusy(void*) { return 0; }
    static uint8_t WriteData(void* instance, uint32_t byteCount, void* data) {
        static_cast<FakeInstance*>(instance)->writes.push_back(byteCount);
        static_cast<FakeInstance*>(instance)->writeBuffers.push_back(data);
        return 0;
    }
    static uint32_t GetLatency(void*) { return 0; }
    static constexpr AudioDriver Descriptor = {
        0x7E57,
        Tag == 'A' ? "FakeA" : "FakeB",
        IsAvailable,
        Init,
        Deinit,
        GetDeviceList,
        GetDefaultOptions,
        Create,
        Destroy,
        Start,
        Stop,
        Pause,
        Resume,
        SetCallback,
        IsBusy,
        WriteData,
        GetLatency,
    };
};

}  // namespace

const AudioDriver FakeDriverA = Fake<'A'>::Descriptor;
const AudioDriver FakeDriverB = Fake<'B'>::Descriptor;

void FakeDriversReset() {
    FakeControlA = FakeDriverControl{};
    FakeControlB = FakeDriverControl{};
    FakeLog.clear();
    FakeLive.clear();
    FakeAll.clear();
}

int FakeLogCount(const std::string& line) {
    return static_cast<int>(std::count(FakeLog.begin(), FakeLog.end(), line));
}
