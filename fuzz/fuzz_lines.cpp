// fuzz_lines.cpp - libFuzzer target: the console's line reader on any bytes as standard
// input (NUL bytes, lines of any length, CR LF, no final line end). The input sits in a
// memory file the reader reads through its descriptor like a pipe; the lines it hands out,
// put back together, must give the input again, each ending at its LF, none longer than a
// command line, and a line too long must really be too long.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/commands.h"

namespace {

int Input = -1;

void Check(bool ok) {
    if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Input = memfd_create("fuzz_lines", 0);
    if (Input < 0) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Check(ftruncate(Input, 0) == 0);
    Check(size == 0 || pwrite(Input, data, size, 0) == ssize_t(size));
    Check(lseek(Input, 0, SEEK_SET) == 0);
    static CommandReader reader;
    reader = CommandReader{Input, -1, {}, 0, 0};
    const char* text = reinterpret_cast<const char*>(data);
    size_t pos = 0;
    std::string line;
    for (;;) {
        CommandReadResult r = CommandLineRead(&reader, &line);
        if (r == CommandReadEnd) break;
        Check(pos < size);
        const char* lf = static_cast<const char*>(memchr(text + pos, '\n', size - pos));
        size_t end = lf ? size_t(lf - text) + 1 : size;
        size_t content = end - pos - (lf ? 1 : 0);
        if (r == CommandReadTooLong) {
            Check(content > CommandLineMax && line.empty());
        } else {
            Check(r == CommandReadLine && content <= CommandLineMax);
            Check(line.size() == end - pos && memcmp(line.data(), text + pos, line.size()) == 0);
        }
        pos = end;
    }
    Check(pos == size);
    return 0;
}
