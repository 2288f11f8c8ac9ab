// view.cpp - the view's screen and its input. Messages that the commands print on standard
// output (and standard error) are caught in a pipe and shown in the message log, so the
// commands print exactly as in the plain console. Each frame takes one driver snapshot
// (the only time the driver lock is held) and draws from the copy.
//
// Index
//   Output capture ....... the pipe behind stdout and stderr while the view is up
//   Waking ............... the run's wake-up pipe (signals) ends the session
//   Drawing .............. slots, channels and tracks, rhythm, log, command line
//   Line editing ......... keys, history
//   ViewLoop
#include "app/view.h"

#include <curses.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>

#include "app/commands_ext.h"
#include "app/view_text.h"
#include "driver/player_view.h"
#include "oplbench_version.h"

namespace {

constexpr int FrameMs = 50;  // 20 frames a second
constexpr size_t LogMax = 500;
constexpr size_t HistoryMax = 200;

// --- Output capture ----------------------------------------------------------------------

struct Capture {
    int pipeRead = -1;
    int savedOut = -1;
    int savedErr = -1;
    std::string partial;  // text after the last line end
};

Capture Captured;
std::deque<std::string> Log;

bool CaptureStart(int* terminalOut) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);  // room for any one command's messages
    fflush(stdout);
    fflush(stderr);
    Captured.savedOut = dup(STDOUT_FILENO);
    Captured.savedErr = dup(STDERR_FILENO);
    dup2(fds[1], STDOUT_FILENO);
    dup2(fds[1], STDERR_FILENO);
    close(fds[1]);
    Captured.pipeRead = fds[0];
    *terminalOut = Captured.savedOut;
    return true;
}

void LogAdd(const std::string& line) {
    Log.push_back(line);
    if (Log.size() > LogMax) Log.pop_front();
}

void CaptureDrain() {
    fflush(stdout);
    fflush(stderr);
    char buf[4096];
    ssize_t n;
    while ((n = read(Captured.pipeRead, buf, sizeof buf)) > 0) {
        Captured.partial.append(buf, size_t(n));
        size_t lf;
        while ((lf = Captured.partial.find('\n')) != std::string::npos) {
            LogAdd(Captured.partial.substr(0, lf));
            Captured.partial.erase(0, lf + 1);
        }
    }
}

// Puts stdout and stderr back; what was printed last (the quit's message) goes on to them.
void CaptureEnd() {
    CaptureDrain();
    dup2(Captured.savedOut, STDOUT_FILENO);
    dup2(Captured.savedErr, STDERR_FILENO);
    close(Captured.savedOut);
    close(Captured.savedErr);
    close(Captured.pipeRead);
    Captured = Capture{};
}

// --- Waking ------------------------------------------------------------------------------

// True once the session must end: the run's signal handlers make wakeFd readable.
bool Woken(int wakeFd) {
    if (wakeFd < 0) return false;
    pollfd fd = {wakeFd, POLLIN, 0};
    return poll(&fd, 1, 0) > 0;
}

// --- Drawing -----------------------------------------------------------------------------

struct Editor {
    std::string line;
    size_t cursor = 0;
    std::vector<std::string> history;
    size_t browsing = 0;  // index into history; history.size() = the line being typed
    std::string typed;    // the line being typed while browsing
};

Editor Edit;
bool Waiting = false;  // a ":wait" is running: input is kept until it ends

void Put(int y, int x, const std::string& text, attr_t attr = A_NORMAL) {
    if (y < 0 || y >= LINES || x >= COLS) return;
    attron(attr);
    mvaddnstr(y, x, text.c_str(), COLS - x);
    attroff(attr);
}

std::string Fit(const std::string& text, size_t width) {
    if (text.size() <= width) return text + std::string(width - text.size(), ' ');
    return text.substr(0, width > 1 ? width - 1 : 0) + "~";
}

// A level bar of width cells: 48 dB of range below full scale.
std::string Meter(int32_t peak, int width) {
    if (peak <= 0) return std::string(size_t(width), '.');
    double db = 20 * std::log10(double(peak) / 32767.0);
    int cells = int(std::lround((db + 48) / 48 * width));
    cells = cells < 0 ? 0 : cells > width ? width : cells;
    return std::string(size_t(cells), '#') + std::string(size_t(width - cells), '.');
}

// The mute and solo mark of a tap source: "M" muted, "S" soloed, "-" silenced by another's
// solo, blank when heard.
const char* MixMark(const PlayerView& v, int source) {
    uint32_t bit = 1u << source;
    if (v.muteMask & bit) return "M";
    if (v.soloMask & bit) return "S";
    return v.soloMask ? "-" : " ";
}

int DrawSlots(const PlayerView& v, int y) {
    Put(y++, 0, "Slot Length   Loop     Chips            File / title", A_BOLD);
    for (int s = 0; s < 4; ++s, ++y) {
        const PlayerSlotView& slot = v.slots[s];
        std::string row = " " + Fit(ViewSlotName(s), 4);
        if (!slot.loaded) {
            Put(y, 0, row + "-");
            continue;
        }
        row += Fit(ViewTime(slot.totalSamples), 9) +
               Fit(slot.loopSamples ? ViewTime(slot.loopSamples) : "-", 9) +
               Fit(ViewChips(slot), 17) + slot.name;
        if (slot.tags[Gd3TitleEn][0]) row += std::string("  \"") + slot.tags[Gd3TitleEn] + "\"";
        Put(y, 0, row);
    }
    return y;
}

int DrawChannels(const PlayerView& v, int y) {
    const int meterWidth = 16;
    Put(y++, 0, "Ch Owner  Key Note    Blk Fnum Level            M", A_BOLD);
    for (int c = 0; c < 9; ++c, ++y) {
        const PlayerChannelView& ch = v.channels[c];
        bool rhythmChannel = v.rhythmMode && c >= 6;
        std::string row = " " + std::to_string(c) + " " + Fit(ViewOwnerName(ch.owner), 7) +
                          Fit(ch.keyOn ? "on" : "-", 4) +
                          Fit(rhythmChannel ? "rhythm" : ViewNoteName(ch.block, ch.fnum), 8) +
                          Fit(std::to_string(ch.block), 4);
        char fnum[8];
        std::snprintf(fnum, sizeof fnum, "%03X", ch.fnum);
        row += Fit(fnum, 5) + Meter(ch.peak, meterWidth) + " " + MixMark(v, c);
        Put(y, 0, row, ch.owner < SfxTrackCount ? A_BOLD : A_NORMAL);
    }
    std::string rhythm = "Rhythm " + std::string(v.rhythmMode ? "on " : "off");
    if (v.rhythmMode)
        for (int r = 0; r < RhythmCount; ++r) {
            bool key = v.rhythmKeys & (0x10 >> r);
            std::string name = RhythmNames[r];
            if (key) name[0] = char(name[0] - 'a' + 'A'), name[1] = char(name[1] - 'a' + 'A');
            rhythm += "  " + name + " " + Meter(v.rhythmPeak[r], 6) + MixMark(v, 9 + r);
        }
    Put(y++, 0, rhythm);
    return y;
}

void DrawTracks(const PlayerView& v, int y, int x) {
    Put(y++, x, "Track  State    Slot Time     Loops", A_BOLD);
    auto row = [&](const std::string& name, const PlayerTrackView& t) {
        bool idle = t.playState >= 0x80;
        Put(y++, x,
            Fit(name, 7) + Fit(ViewStateName(t.playState), 9) + Fit(ViewSlotName(t.slot), 5) +
                Fit(idle ? "-" : ViewTime(t.sampleTime), 9) +
                (idle ? "-" : std::to_string(t.loopCount)));
    };
    row("Music", v.music);
    for (int i = 0; i < SfxTrackCount; ++i) row("SFX " + std::to_string(i), v.sfx[i]);
    Put(y + 1, x, "Muted: " + ViewSourceList(v.muteMask) + "  Solo: " + ViewSourceList(v.soloMask));
}

void Draw(const PlayerView& v) {
    erase();
    Put(0, 0,
        Fit("oplbench " OPLBENCH_VERSION "  " + std::to_string(v.chipRate) +
                " Hz   :help lists the commands, an empty line quits",
            size_t(COLS)),
        A_REVERSE);
    int y = DrawSlots(v, 1);
    DrawTracks(v, y, 52);
    y = DrawChannels(v, y);
    Put(y++, 0, std::string(size_t(COLS), '-'));
    int logRows = LINES - 1 - y;
    for (int i = 0; i < logRows; ++i) {
        long at = long(Log.size()) - logRows + i;
        if (at >= 0) Put(y + i, 0, Log[size_t(at)]);
    }
    std::string prompt = Waiting ? "(waiting) " : "> ";
    // The line scrolls so that the cursor stays on screen.
    size_t room = size_t(COLS) > prompt.size() + 1 ? size_t(COLS) - prompt.size() - 1 : 1;
    size_t first = Edit.cursor > room ? Edit.cursor - room : 0;
    Put(LINES - 1, 0, prompt + Edit.line.substr(first, room));
    move(LINES - 1, int(prompt.size() + Edit.cursor - first));
    refresh();
}

void Frame() {
    CaptureDrain();
    PlayerView v;
    PlayerSnapshot(&v);  // the driver lock is held only in here
    Draw(v);
}

// The view's ":wait": the screen keeps moving; typed keys wait in the terminal's queue.
int WaitWakeFd = -1;
void ViewWait(double seconds) {
    Waiting = true;
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end && !Woken(WaitWakeFd)) {
        Frame();
        napms(FrameMs);
    }
    Waiting = false;
}

// --- Line editing ------------------------------------------------------------------------

enum class KeyResult { None, Run, EndOfInput };

void HistoryShow(size_t index) {
    if (Edit.browsing == Edit.history.size()) Edit.typed = Edit.line;
    Edit.browsing = index;
    Edit.line = index == Edit.history.size() ? Edit.typed : Edit.history[index];
    Edit.cursor = Edit.line.size();
}

KeyResult Key(int key) {
    std::string& l = Edit.line;
    size_t& c = Edit.cursor;
    switch (key) {
        case '\n':
        case '\r':
        case KEY_ENTER:
            return KeyResult::Run;
        case 3:  // Ctrl-C
            return KeyResult::EndOfInput;
        case 4:  // Ctrl-D: end of input on an empty line, else delete
            if (l.empty()) return KeyResult::EndOfInput;
            if (c < l.size()) l.erase(c, 1);
            break;
        case KEY_LEFT:
        case 2:  // Ctrl-B
            if (c > 0) c--;
            break;
        case KEY_RIGHT:
        case 6:  // Ctrl-F
            if (c < l.size()) c++;
            break;
        case KEY_HOME:
        case 1:  // Ctrl-A
            c = 0;
            break;
        case KEY_END:
        case 5:  // Ctrl-E
            c = l.size();
            break;
        case KEY_BACKSPACE:
        case 127:
        case 8:
            if (c > 0) l.erase(--c, 1);
            break;
        case KEY_DC:
            if (c < l.size()) l.erase(c, 1);
            break;
        case 21:  // Ctrl-U
            l.erase(0, c);
            c = 0;
            break;
        case 11:  // Ctrl-K
            l.erase(c);
            break;
        case KEY_UP:
            if (Edit.browsing > 0) HistoryShow(Edit.browsing - 1);
            break;
        case KEY_DOWN:
            if (Edit.browsing < Edit.history.size()) HistoryShow(Edit.browsing + 1);
            break;
        default:
            if (key >= 32 && key < 256 && key != 127) l.insert(c++, 1, char(key));
            break;
    }
    return KeyResult::None;
}

// Runs the typed line as the console would; true when it quits.
bool RunLine() {
    std::string line = Edit.line;
    Edit.line.clear();
    Edit.cursor = 0;
    if (!line.empty() && (Edit.history.empty() || Edit.history.back() != line)) {
        Edit.history.push_back(line);
        if (Edit.history.size() > HistoryMax) Edit.history.erase(Edit.history.begin());
    }
    Edit.browsing = Edit.history.size();
    LogAdd("> " + line);
    bool quits = CommandExecute(line.data(), line.size());
    CaptureDrain();
    return quits;
}

}  // namespace

CommandLoopEnd ViewLoop(int wakeFd, const std::vector<std::string>& startLines) {
    int terminalOut = -1;
    if (!CaptureStart(&terminalOut)) {
        fprintf(stderr, "oplbench: the view cannot start (no pipe); plain console instead\n");
        return CommandLoop(wakeFd, startLines);
    }
    FILE* out = fdopen(dup(terminalOut), "w");
    SCREEN* screen = out ? newterm(nullptr, out, stdin) : nullptr;
    if (!screen) {
        CaptureEnd();
        if (out) fclose(out);
        fprintf(stderr, "oplbench: the terminal cannot show the view; plain console instead\n");
        return CommandLoop(wakeFd, startLines);
    }
    raw();  // Ctrl-C is a key here: it ends the session in order
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    timeout(FrameMs);
    Edit = Editor{};
    Log.clear();
    WaitWakeFd = wakeFd;
    void (*savedWait)(double) = CommandWaitHook;
    CommandWaitHook = ViewWait;

    CommandPrintHelp();
    CommandSlotsClear();
    for (const std::string& line : startLines) CommandExecute(line.data(), line.size());
    CommandLoopEnd end = CommandLoopQuit;
    for (;;) {
        if (Woken(wakeFd)) {
            end = CommandLoopWoken;
            break;
        }
        Frame();
        int key = getch();  // waits at most one frame
        if (key == ERR) continue;
        KeyResult r = Key(key);
        if (r == KeyResult::EndOfInput || (r == KeyResult::Run && RunLine())) break;
    }
    CaptureDrain();
    size_t beforeQuit = Log.size();
    CommandQuitSteps();
    CommandWaitHook = savedWait;
    endwin();
    delscreen(screen);
    fclose(out);
    // The quit's own message goes to the screen the view leaves, as the plain console has it.
    CaptureEnd();
    for (size_t i = beforeQuit < Log.size() ? beforeQuit : Log.size(); i < Log.size(); ++i)
        printf("%s\n", Log[i].c_str());
    Log.clear();
    fflush(stdout);
    return end;
}
