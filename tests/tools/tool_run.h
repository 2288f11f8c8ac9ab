// tool_run.h - helpers for the tests that run the built programs: a scratch directory, a
// program run through the shell with its output captured, and WAV files read back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ToolResult {
    int status;       // exit status, or -1 when the program did not exit normally
    std::string out;  // standard output
    std::string err;  // standard error
};

// A fresh empty directory under the test temp directory, unique per call; removed when the test
// program exits with every test passed.
std::string ToolScratchDir(const std::string& name);
// Runs program with args in directory cwd, standard input from the text input.
ToolResult ToolRun(const std::string& cwd, const std::string& program,
                   const std::vector<std::string>& args, const std::string& input = "");
std::string ToolReadText(const std::string& path);
void ToolWriteText(const std::string& path, const std::string& text);
// Names in directory (without "." and "..").
std::vector<std::string> ToolListDir(const std::string& dir);

struct WavData {
    bool ok;
    int rate, channels, format;    // libsndfile's SF_INFO fields
    std::vector<int16_t> samples;  // interleaved
};
WavData ToolReadWav(const std::string& path);
