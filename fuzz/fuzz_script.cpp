// fuzz_script.cpp - libFuzzer target: any bytes as an oplrender script. The parser either
// names a bad line inside the script or gives lines in file order whose sample positions
// never go back, with commands that hold no line end and nothing after an end line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/oplrender/render_script.h"

namespace {

void Check(bool ok) {
    if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    uint32_t lineCount = 1;
    for (char c : text) lineCount += c == '\n';
    std::vector<RenderLine> lines;
    uint32_t errorLine = 0;
    std::string error;
    const uint32_t rate = 44100;
    if (!RenderScriptParse(text, rate, &lines, &errorLine, &error)) {
        Check(errorLine >= 1 && errorLine <= lineCount && !error.empty());
        return 0;
    }
    uint32_t last = 0;
    uint64_t lastSample = 0;
    for (const RenderLine& l : lines) {
        Check(l.lineNumber > last && l.lineNumber <= lineCount);
        Check(l.sample >= lastSample);
        last = l.lineNumber;
        lastSample = l.sample;
        Check(l.command.find('\n') == std::string::npos);
        Check(l.sample <= RenderSampleOfTime(uint64_t(RenderTimeMaxSeconds) * 1000000000u, rate));
        Check(!l.isEnd || (l.command.empty() && &l == &lines.back()));
    }
    return 0;
}
