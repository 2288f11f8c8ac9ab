// commands_ext.cpp - the extended console commands. Each takes the driver snapshot (one
// short step under the driver lock) and formats it outside the lock; mute and solo change
// the chip's mix under the lock.
#include "app/commands_ext.h"

#include <strings.h>
#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/commands.h"
#include "app/view_text.h"
#include "driver/player_view.h"

namespace {

constexpr double WaitMaxSeconds = 86400;

// The words after the ':' (the first is the command's name, right after the ':'), split at
// blanks; none when a blank follows the ':'.
std::vector<std::string> Words(const char* line, size_t length) {
    std::vector<std::string> words;
    if (length < 2 || line[1] == ' ' || line[1] == '\t') return words;
    std::string word;
    for (size_t i = 1; i <= length; ++i) {
        if (i == length || line[i] == ' ' || line[i] == '\t') {
            if (!word.empty()) words.push_back(word);
            word.clear();
        } else {
            word += line[i];
        }
    }
    return words;
}

bool Is(const std::vector<std::string>& words, const char* name) {
    return !words.empty() && strcasecmp(words[0].c_str(), name) == 0;
}

void SleepSeconds(double seconds) {
    timespec t;
    t.tv_sec = time_t(seconds);
    t.tv_nsec = long((seconds - double(t.tv_sec)) * 1e9);
    nanosleep(&t, nullptr);  // a signal ends it early; the session then ends at the next read
}

void PrintMute() {
    PlayerView v;
    PlayerSnapshot(&v);
    printf("Muted: %s  Solo: %s\n", ViewSourceList(v.muteMask).c_str(),
           ViewSourceList(v.soloMask).c_str());
}

// ":mute", ":solo", ":unmute": the named sources, or for ":unmute" alone every one.
void Mute(const std::vector<std::string>& words) {
    uint32_t named = 0;
    for (size_t i = 1; i < words.size(); ++i) {
        int source = ViewSourceParse(words[i]);
        if (source < 0) {
            printf("Wrong Channel!\n");
            return;
        }
        named |= 1u << source;
    }
    bool unmute = Is(words, "unmute");
    if (named == 0 && !unmute) {
        printf("Wrong Channel!\n");
        return;
    }
    if (unmute && named == 0) named = ~0u;
    PlayerLock();
    uint32_t mute = PlayerMuteMask(), solo = PlayerSoloMask();
    if (unmute) {
        mute &= ~named;
        solo &= ~named;
    } else if (Is(words, "mute")) {
        mute |= named;
    } else {
        solo |= named;
    }
    PlayerSetMute(mute, solo);
    PlayerUnlock();
    PrintMute();
}

void Info(const std::vector<std::string>& words) {
    int slot = -1;
    if (words.size() == 2 && words[1].size() == 1) {
        char c = char(toupper(static_cast<unsigned char>(words[1][0])));
        if (c == 'M') slot = 0;
        if (c >= '0' && c <= '3') slot = c - '0';
    }
    if (slot < 0) {
        printf("Wrong File Slot!\n");
        return;
    }
    PlayerView v;
    PlayerSnapshot(&v);
    fputs(ViewInfoText(v, slot).c_str(), stdout);
}

void Wait(const std::vector<std::string>& words) {
    char* end = nullptr;
    double seconds = words.size() == 2 ? std::strtod(words[1].c_str(), &end) : -1;
    if (words.size() != 2 || *end || !std::isfinite(seconds) || seconds < 0 ||
        seconds > WaitMaxSeconds) {
        printf("Wrong Time!\n");
        return;
    }
    fflush(stdout);  // what came before the pause is seen before it
    CommandWaitHook(seconds);
}

}  // namespace

void (*CommandWaitHook)(double seconds) = SleepSeconds;

void CommandPrintFullHelp() {
    CommandPrintHelp();
    printf("Empty line - Quit\n");
    printf(":help - This list\n");
    printf(":status - Slots, tracks and chip channel owners\n");
    printf(":info s - File information of Slot s\n");
    printf(":mute c... - Mute chip channels c (0-8, bd sd tt cy hh)\n");
    printf(":solo c... - Hear only the soloed chip channels\n");
    printf(":unmute [c...] - Mute and solo off (for c..., or all)\n");
    printf(":wait S - Read the next command after S seconds\n");
}

bool CommandIsWait(const char* line, size_t length) {
    return length > 0 && line[0] == ':' && Is(Words(line, length), "wait");
}

void CommandExtended(const char* line, size_t length) {
    std::vector<std::string> words = Words(line, length);
    if (Is(words, "help") && words.size() == 1) {
        CommandPrintFullHelp();
    } else if (Is(words, "status") && words.size() == 1) {
        PlayerView v;
        PlayerSnapshot(&v);
        fputs(ViewStatusText(v).c_str(), stdout);
    } else if (Is(words, "info")) {
        Info(words);
    } else if (Is(words, "mute") || Is(words, "solo") || Is(words, "unmute")) {
        Mute(words);
    } else if (Is(words, "wait")) {
        Wait(words);
    } else {
        printf("Unknown Command!\n");
    }
}
