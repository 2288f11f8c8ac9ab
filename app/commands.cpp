// commands.cpp - the command interpreter. One line is one command, chosen by its first
// character (folded to upper case, as are the slot and channel characters); every message
// is printed with printf to stdout exactly as the user sees it.
#include "app/commands.h"

#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/commands_ext.h"
#include "app/load_reason.h"
#include "driver/player.h"
#include "driver/vgm_slot.h"
#include "platform/console_key.h"

namespace {

constexpr int BadChoice = -1;
constexpr int MusicChannel = -2;  // the "M" channel character

// The character at index i folded to upper case, or 0 past the end of the line (which is
// what the zero-terminated line buffer holds there).
char FoldedAt(const char* line, size_t length, size_t i) {
    return i < length ? static_cast<char>(toupper(static_cast<unsigned char>(line[i]))) : 0;
}

// "M" is slot 0, "0".."3" are slots 0..3.
int SlotFromChar(char c) {
    if (c == 'M') return 0;
    if (c >= '0' && c <= '3') return c - '0';
    return BadChoice;
}

// "M" is the music track; "0".."9" give the numbers 0..9 (only 0..5 are tracks).
int ChannelFromChar(char c) {
    if (c == 'M') return MusicChannel;
    if (c >= '0' && c <= '9') return c - '0';
    return BadChoice;
}

// Stops the track if it plays, points it at the slot and starts it. Driver lock held.
void TrackRestart(Track* track, int slot) {
    if (track->playState == TrackPlaying) TrackStop(track);
    track->slot = &VgmSlots[slot];
    TrackStart(track);
}

void CommandLoad(const char* line, size_t length) {
    int slot = SlotFromChar(FoldedAt(line, length, 1));
    if (slot == BadChoice) {
        printf("Wrong File Slot!\n");
        return;
    }
    // The name is everything from the fourth character on (the third is skipped whatever it
    // is); a shorter line names no file, and opening the empty name fails with 0xFF.
    std::string path = length > 3 ? std::string(line + 3, length - 3) : std::string();
    uint8_t code = PlayerSlotReload(slot, path.c_str());
    if (code != VgmLoadOk) {
        printf("Load Error 0x%02X\n", code);
        fflush(stdout);  // the transcript line first, then its reason
        LoadFailureReport(path.c_str(), code);
    } else
        printf("VGM loaded into slot %d.\n", slot);
}

void CommandPlay(const char* line, size_t length) {
    int channel = ChannelFromChar(FoldedAt(line, length, 1));
    int slot = SlotFromChar(FoldedAt(line, length, 2));
    if (channel == BadChoice) {
        printf("Wrong Channel!\n");
        return;
    }
    if (slot == BadChoice) {
        printf("Wrong File Slot!\n");
        return;
    }
    if (channel >= SfxTrackCount) return;  // "6".."9": no such track, no message
    PlayerLockGuard lock;
    TrackRestart(channel == MusicChannel ? &MusicTrack : &SfxTracks[channel], slot);
}

void CommandStop(const char* line, size_t length) {
    int channel = ChannelFromChar(FoldedAt(line, length, 1));
    PlayerLockGuard lock;
    if (channel == MusicChannel)
        TrackStop(&MusicTrack);
    else if (channel == BadChoice)
        PlayerStopSfx(0xFF);  // "S" alone, or any other second character: all SFX
    else
        PlayerStopSfx(static_cast<uint8_t>(channel));  // 6..9 do nothing
}

}  // namespace

void CommandPrintHelp() {
    printf("Commands:\n");
    printf("Ls File.vgm - Load File.vgm into Slot s\n");
    printf("Pcs - Play Slot s on Channel c\n");
    printf("Sc - Stop Channel c\n");
    printf("S - Stop all SFX\n");
    printf("E - Pause Music\n");
    printf("R - Resume Music\n");
    printf("Channels: M = music, 0-5 = SFX\n");
    printf("Slots: M, 0-3 (M equals slot 0)\n");
}

void CommandSlotsClear() {
    PlayerLockGuard lock;
    memset(VgmSlots, 0, sizeof(VgmSlots));
}

bool CommandExecute(const char* line, size_t length) {
    // Only the line end goes: a final LF, or CR LF. A last line without one keeps all its
    // characters, and CR LF files leave no CR on their file names.
    if (length > 0 && line[length - 1] == '\n') {
        --length;
        if (length > 0 && line[length - 1] == '\r') --length;
    }
    if (length == 0) return true;

    switch (FoldedAt(line, length, 0)) {
        case 'L':
            CommandLoad(line, length);
            break;
        case 'P':
            CommandPlay(line, length);
            break;
        case 'S':
            CommandStop(line, length);
            break;
        case 'E': {
            PlayerLockGuard lock;
            PlayerPauseMusic();
            break;
        }
        case 'R': {
            PlayerLockGuard lock;
            PlayerResumeMusic();
            break;
        }
        case ':':
            CommandExtended(line, length);
            break;
        default:
            printf("Unknown Command!\n");
            break;
    }
    return false;
}

void CommandQuitSteps() {
    {
        PlayerLockGuard lock;
        PlayerStopAll();
    }
    for (int slot = 0; slot < 4; ++slot) PlayerSlotFree(slot);
    printf("Quit.\n");
}

// --- Line reader -------------------------------------------------------------------------

namespace {

// Waits until the input or the wake-up descriptor is readable; false when woken.
bool WaitForInput(const CommandReader* reader) {
    if (reader->wakeFd < 0) return true;
    for (;;) {
        pollfd fds[2] = {{reader->wakeFd, POLLIN, 0}, {reader->fd, POLLIN, 0}};
        int ready = poll(fds, 2, -1);
        if (ready < 0 && errno != EINTR) return true;  // let the read report the trouble
        if (fds[0].revents != 0) return false;
        if (ready > 0) return true;
    }
}

}  // namespace

CommandReadResult CommandLineRead(CommandReader* reader, std::string* line) {
    line->clear();
    bool tooLong = false;
    bool any = false;
    for (;;) {
        if (reader->chunkStart == reader->chunkEnd) {
            if (!WaitForInput(reader)) return CommandReadWoken;
            ssize_t got = read(reader->fd, reader->chunk, sizeof reader->chunk);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            reader->chunkStart = 0;
            reader->chunkEnd = static_cast<size_t>(got);
        }
        const char* from = reader->chunk + reader->chunkStart;
        size_t available = reader->chunkEnd - reader->chunkStart;
        const char* lf = static_cast<const char*>(memchr(from, '\n', available));
        size_t take = lf != nullptr ? static_cast<size_t>(lf - from) + 1 : available;
        any = true;
        if (!tooLong) {
            size_t content = line->size() + take - (lf != nullptr ? 1 : 0);
            if (content > CommandLineMax) {
                tooLong = true;
                line->clear();
            } else {
                line->append(from, take);
            }
        }
        reader->chunkStart += take;
        if (lf != nullptr) break;
    }
    if (!any) return CommandReadEnd;
    if (tooLong) return CommandReadTooLong;
    return CommandReadLine;
}

CommandLoopEnd CommandLoop(int wakeFd, const std::vector<std::string>& startLines) {
    CommandPrintHelp();
    CommandSlotsClear();
    for (const std::string& line : startLines) CommandExecute(line.data(), line.size());
    // Messages are flushed after every command so that a reader on a pipe sees them as
    // they happen, not when the buffer fills. A flush that fails means nobody reads them.
    CommandLoopEnd end = CommandLoopQuit;
    if (fflush(stdout) != 0) end = CommandLoopOutputLost;
    CommandReader reader = {0, wakeFd, {}, 0, 0};
    std::string line;
    while (end == CommandLoopQuit) {
        CommandReadResult read = CommandLineRead(&reader, &line);
        if (read == CommandReadWoken) end = CommandLoopWoken;
        if (read == CommandReadWoken || read == CommandReadEnd) break;
        bool quits = false;
        if (read == CommandReadTooLong)
            printf("Unknown Command!\n");
        else
            quits = CommandExecute(line.data(), line.size());
        if (fflush(stdout) != 0) end = CommandLoopOutputLost;
        if (quits) break;
    }
    CommandQuitSteps();
    if (fflush(stdout) != 0 && end == CommandLoopQuit) end = CommandLoopOutputLost;
    if (end == CommandLoopQuit && ConsoleKeyRead(wakeFd) == ConsoleKeyWoken) end = CommandLoopWoken;
    return end;
}
