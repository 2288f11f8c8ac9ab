// line_reader_test.cpp - the console's line reader on a pipe: every line arrives whole
// whatever its length, a line over the limit is read to its end and reported once, line
// ends and NUL bytes stay with their line, and the wake-up descriptor ends a wait.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "app/commands.h"

namespace {

struct ReadOne {
    CommandReadResult result;
    std::string line;
};

// Feeds text through a pipe from a writer thread (it may exceed the pipe's capacity) and
// reads it to the end.
std::vector<ReadOne> ReadAll(const std::string& text) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    std::thread writer([&] {
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n = write(fds[1], text.data() + done, text.size() - done);
            if (n <= 0) break;
            done += size_t(n);
        }
        close(fds[1]);
    });
    CommandReader reader = {fds[0], -1, {}, 0, 0};
    std::vector<ReadOne> lines;
    std::string line;
    for (;;) {
        CommandReadResult r = CommandLineRead(&reader, &line);
        if (r == CommandReadEnd) break;
        lines.push_back({r, line});
    }
    writer.join();
    close(fds[0]);
    return lines;
}

TEST(LineReader, LinesArriveWholeWhateverTheirLength) {
    std::string at255(255, 'q');
    std::string at5000 = "L0 " + std::string(4997, 'E');
    std::string atLimit(CommandLineMax, 'P');
    std::string overLimit(CommandLineMax + 1, 'S');
    std::string withNul("L1 a\0b", 6);
    std::vector<ReadOne> lines = ReadAll(at255 + "\n" + at5000 + "\r\n" + atLimit + "\n" +
                                         overLimit + "\n" + withNul + "\n\nlast");
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0].line, at255 + "\n");  // no empty line left behind
    EXPECT_EQ(lines[1].line, at5000 + "\r\n");
    EXPECT_EQ(lines[2].line.size(), CommandLineMax + 1);
    EXPECT_EQ(lines[3].result, CommandReadTooLong);
    EXPECT_EQ(lines[3].line, "");
    EXPECT_EQ(lines[4].line, withNul + "\n");
    EXPECT_EQ(lines[5].line, "\n");
    EXPECT_EQ(lines[6].line, "last");
    for (int i : {0, 1, 2, 4, 5, 6}) EXPECT_EQ(lines[i].result, CommandReadLine) << i;
}

TEST(LineReader, WakeUpEndsTheWaitAndLeavesTheInputUnread) {
    int input[2], wake[2];
    ASSERT_EQ(pipe(input), 0);
    ASSERT_EQ(pipe(wake), 0);
    CommandReader reader = {input[0], wake[0], {}, 0, 0};
    std::string line;
    ASSERT_EQ(write(input[1], "E\nR", 3), 3);
    EXPECT_EQ(CommandLineRead(&reader, &line), CommandReadLine);
    EXPECT_EQ(line, "E\n");
    std::thread waker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(write(wake[1], "x", 1), 1);
    });
    EXPECT_EQ(CommandLineRead(&reader, &line), CommandReadWoken);  // "R" has no line end yet
    waker.join();
    for (int fd : {input[0], input[1], wake[0], wake[1]}) close(fd);
}

}  // namespace
