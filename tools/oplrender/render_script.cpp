// render_script.cpp - parsing oplrender's scripts. Times are mapped to samples with integer
// arithmetic so that every build and every machine puts a line before the same sample.
#include "tools/oplrender/render_script.h"

#include "app/commands_ext.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// One line of the text without its line end (LF or CR LF); *pos moves past the line end.
std::string NextLine(const std::string& text, size_t* pos) {
    size_t start = *pos;
    size_t lf = text.find('\n', start);
    size_t stop = lf == std::string::npos ? text.size() : lf;
    *pos = lf == std::string::npos ? text.size() : lf + 1;
    if (stop > start && text[stop - 1] == '\r') stop--;
    return text.substr(start, stop - start);
}

}  // namespace

bool RenderTimeParse(const char* text, uint64_t* nanoseconds, const char** end) {
    const char* p = text;
    uint64_t whole = 0;
    int digits = 0;
    for (; *p >= '0' && *p <= '9'; ++p, ++digits) {
        whole = whole * 10 + uint64_t(*p - '0');
        if (whole > RenderTimeMaxSeconds) return false;
    }
    uint64_t fraction = 0;
    int fractionDigits = 0;
    if (*p == '.') {
        for (++p; *p >= '0' && *p <= '9'; ++p, ++fractionDigits, ++digits) {
            if (fractionDigits == 9) return false;
            fraction = fraction * 10 + uint64_t(*p - '0');
        }
    }
    if (digits == 0) return false;
    for (int i = fractionDigits; i < 9; ++i) fraction *= 10;
    if (whole == RenderTimeMaxSeconds && fraction != 0) return false;
    *nanoseconds = whole * 1000000000u + fraction;
    *end = p;
    return true;
}

uint64_t RenderSampleOfTime(uint64_t nanoseconds, uint32_t rate) {
    // floor(ns / 1e9 * rate + 1/2) = floor((2 * ns * rate + 1e9) / 2e9), in 128 bits
    unsigned __int128 twice = (unsigned __int128)nanoseconds * rate * 2 + 1000000000u;
    return uint64_t(twice / 2000000000u);
}

bool RenderScriptParse(const std::string& text, uint32_t rate, std::vector<RenderLine>* lines,
                       uint32_t* errorLine, std::string* error) {
    lines->clear();
    size_t pos = 0;
    uint32_t number = 0;
    uint64_t previous = 0;
    bool ended = false;
    while (pos < text.size()) {
        std::string line = NextLine(text, &pos);
        number++;
        size_t first = 0;
        while (first < line.size() && IsBlank(line[first])) first++;
        if (first == line.size() || line[first] == '#') continue;
        *errorLine = number;
        if (line[first] != '@') {
            *error = "expected \"@<seconds> <command>\" or \"@<seconds>\"";
            return false;
        }
        RenderLine r{number, 0, false, {}};
        const char* p = nullptr;
        uint64_t time = 0;
        if (!RenderTimeParse(line.c_str() + first + 1, &time, &p)) {
            *error = "bad time after \"@\" (seconds as a decimal number, at most 86400)";
            return false;
        }
        if (*p != '\0' && !IsBlank(*p)) {
            *error = "the time must be followed by a space and a command, or by nothing";
            return false;
        }
        // One blank separates the time from the command, which is taken as it stands (a
        // console line may start with a space); nothing but blanks after the time ends.
        r.command = *p ? p + 1 : p;
        r.isEnd = r.command.find_first_not_of(" \t") == std::string::npos;
        if (r.isEnd) r.command.clear();
        if (CommandIsWait(r.command.c_str(), r.command.size())) {
            *error = "\":wait\" cannot run in a render: the line's time says when it runs";
            return false;
        }
        if (ended) {
            *error = "line after the end of the render";
            return false;
        }
        if (time < previous) {
            *error = "time earlier than the line before";
            return false;
        }
        previous = time;
        r.sample = RenderSampleOfTime(time, rate);
        ended = r.isEnd;
        lines->push_back(r);
    }
    return true;
}

void RenderScriptResolveNames(std::vector<RenderLine>* lines, const std::string& dir) {
    if (dir.empty()) return;
    for (RenderLine& l : *lines) {
        const std::string& c = l.command;
        // The console skips the third character whatever it is and takes the rest as the name.
        bool load = c.size() > 3 && (c[0] == 'L' || c[0] == 'l');
        if (load && c[3] != '/') l.command.insert(3, dir + "/");
    }
}
