// fuzz_commands.cpp - libFuzzer target: any bytes as a console session. The input is split
// into lines and run through the console's command code, with a few driver ticks rendered
// after each line and more at the end. The working folder holds the example files, the
// fuzzers' own files (gzip, a short loop passed within a few ticks, a data block and every
// wait form) and, as self.vgm, the input itself when the input names it.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "app/commands.h"
#include "driver/player.h"
#include "fuzz/fuzz_files.h"
#include "fuzz/fuzz_harness.h"

constexpr int MaxLinesPerInput = 64;
constexpr int TicksPerLine = 3;
constexpr int TicksAtEnd = 30;

static void CopyFile(const std::string& from, const std::string& to) {
    FILE* in = fopen(from.c_str(), "rb");
    if (!in) return;
    FILE* out = fopen(to.c_str(), "wb");
    if (!out) abort();
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in)) > 0) fwrite(buf, 1, n, out);
    fclose(in);
    fclose(out);
}

// The session folder, removed with its files when the process ends.
static std::string SessionDir;

static void RemoveSessionDir() {
    std::error_code ec;
    std::filesystem::remove_all(SessionDir, ec);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzSetUpPlayer();
    SessionDir = (std::filesystem::temp_directory_path() / "oplbench-fuzz-session-XXXXXX").string();
    char* dir = mkdtemp(SessionDir.data());
    if (!dir) abort();
    std::atexit(RemoveSessionDir);
    FuzzWriteVgmFiles(dir);
    const char* examples = OPLBENCH_EXAMPLES_DIR;
    for (const char* name : {"music.vgm", "coin.vgm", "jump.vgm", "laser.vgm", "explosion.vgm",
                             "alarm.vgm", "powerup.vgm"})
        CopyFile(std::string(examples) + "/" + name, std::string(dir) + "/" + name);
    if (chdir(dir) != 0) abort();
    if (!freopen("/dev/null", "w", stdout)) abort();  // the commands' messages
    CommandSlotsClear();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Writing the file costs more than most sessions: only when a line can name it.
    if (memmem(data, size, "self", 4)) FuzzWriteFile("self.vgm", data, size);
    PlayerLock();
    PlayerReset();
    PlayerUnlock();
    const char* text = reinterpret_cast<const char*>(data);
    size_t pos = 0;
    for (int lines = 0; pos < size && lines < MaxLinesPerInput; lines++) {
        size_t end = pos;
        while (end < size && text[end] != '\n' && end - pos < size_t(CommandLineMax)) end++;
        if (end < size && text[end] == '\n') end++;
        if (CommandExecute(text + pos, end - pos)) break;
        FuzzRenderTicks(TicksPerLine);
        pos = end;
    }
    FuzzRenderTicks(TicksAtEnd);
    CommandQuitSteps();
    return 0;
}
