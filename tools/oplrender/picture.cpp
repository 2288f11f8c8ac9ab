// picture.cpp - drawing a render's SessionLog with cairo into PNG, SVG or PDF. Runs once,
// after the render; the layout is rows of fixed height under a shared time axis.
//
// Index
//   Layout and colours
//   Rows ................. owners and notes, rhythm hits, commands, waveform
//   PNG writing
//   PictureDraw
#include "tools/oplrender/picture.h"

#include <cairo-pdf.h>
#include <cairo-svg.h>
#include <cairo.h>
#include <fcntl.h>
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/threads.h"
#include "tools/oplrender/output.h"

namespace {

// --- Layout and colours ------------------------------------------------------------------

constexpr double PixelsPerSecond = 48;
constexpr double MinPlotWidth = 720, MaxPlotWidth = 4800;
constexpr double Left = 78, Right = 24, Top = 50;
constexpr double AxisHeight = 22, CommandsHeight = 84, ChannelHeight = 24;
constexpr double RhythmLane = 9, WaveHeight = 110, LegendHeight = 34, Gap = 8;
const char* const RhythmNames[5] = {"HH", "CY", "TT", "SD", "BD"};  // bits 0-4

struct Rgb {
    double r, g, b;
};
// SFX tracks 0-5, then the music; nobody is left white.
const Rgb OwnerColours[7] = {{0.89, 0.29, 0.20}, {0.96, 0.58, 0.10}, {0.20, 0.63, 0.17},
                             {0.58, 0.30, 0.72}, {0.85, 0.25, 0.60}, {0.10, 0.62, 0.70},
                             {0.25, 0.45, 0.80}};

const Rgb& OwnerColour(uint8_t owner) {
    return OwnerColours[owner < 6 ? owner : 6];
}

struct Layout {
    double plotWidth, width, height;
    double secondsShown;
    uint64_t samples;
    uint32_t rate;
    double axisY, commandsY, channelsY, rhythmY, waveY, legendY;
};

double XOf(const Layout& l, uint64_t sample) {
    return Left + double(sample) / double(std::max<uint64_t>(l.samples, 1)) * l.plotWidth;
}

void SetColour(cairo_t* cr, const Rgb& c, double alpha = 1.0) {
    cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha);
}

void Text(cairo_t* cr, double x, double y, const std::string& s, double size, bool bold = false) {
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
    cairo_move_to(cr, x, y);
    cairo_show_text(cr, s.c_str());
}

double TextWidth(cairo_t* cr, const std::string& s, double size) {
    cairo_set_font_size(cr, size);
    cairo_text_extents_t e;
    cairo_text_extents(cr, s.c_str(), &e);
    return e.x_advance;
}

// The note a channel plays: its frequency is f-number * (3579545 / 72) / 2^(20 - block).
std::string NoteName(uint16_t freqReg) {
    static const char* const names[12] = {"C",  "C#", "D",  "D#", "E",  "F",
                                          "F#", "G",  "G#", "A",  "A#", "B"};
    int fnum = freqReg & 0x3FF, block = freqReg >> 10;
    if (fnum == 0) return "";
    double hz = fnum * (3579545.0 / 72.0) / std::ldexp(1.0, 20 - block);
    int midi = int(std::lround(69 + 12 * std::log2(hz / 440.0)));
    if (midi < 0 || midi > 127) return "";
    return std::string(names[midi % 12]) + std::to_string(midi / 12 - 1);
}

// --- Rows --------------------------------------------------------------------------------

void DrawAxis(cairo_t* cr, const Layout& l) {
    double step = 1;
    for (double s : {1.0, 2.0, 5.0, 10.0, 30.0, 60.0, 120.0, 300.0})
        if (s * l.plotWidth / std::max(l.secondsShown, 1e-9) >= 60) {
            step = s;
            break;
        }
    cairo_set_line_width(cr, 1);
    for (double t = 0; t <= l.secondsShown + 1e-9; t += step) {
        double x = Left + t / std::max(l.secondsShown, 1e-9) * l.plotWidth;
        cairo_set_source_rgb(cr, 0.85, 0.85, 0.85);
        cairo_move_to(cr, x + 0.5, l.axisY + AxisHeight);
        cairo_line_to(cr, x + 0.5, l.legendY - Gap);
        cairo_stroke(cr);
        cairo_set_source_rgb(cr, 0.3, 0.3, 0.3);
        char label[32];
        std::snprintf(label, sizeof label, "%g s", t);
        Text(cr, x + 2, l.axisY + 14, label, 11);
    }
}

void DrawChannels(cairo_t* cr, const Layout& l, const SessionLog& log) {
    for (int c = 0; c < LogChannels; ++c) {
        double y = l.channelsY + c * ChannelHeight;
        cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
        Text(cr, 8, y + 16, "ch" + std::to_string(c), 12, true);
        for (const OwnerInterval& o : SessionOwnerIntervals(log, c)) {
            if (o.owner == ChannelOwnerNobody) continue;
            SetColour(cr, OwnerColour(o.owner), 0.22);
            cairo_rectangle(cr, XOf(l, o.start), y + 1, XOf(l, o.end) - XOf(l, o.start),
                            ChannelHeight - 2);
            cairo_fill(cr);
        }
        // Key-on stretches at one pitch, in the colour of the channel's owner.
        for (size_t i = 0; i < log.frames.size(); ++i) {
            const LogChannel& ch = log.frames[i].channels[c];
            if (!ch.keyOn) continue;
            size_t j = i + 1;
            while (j < log.frames.size() && log.frames[j].channels[c].keyOn &&
                   log.frames[j].channels[c].freqReg == ch.freqReg &&
                   log.frames[j].channels[c].owner == ch.owner)
                ++j;
            uint64_t end = j < log.frames.size() ? log.frames[j].sample : log.samples;
            double x0 = XOf(l, log.frames[i].sample), x1 = XOf(l, end);
            SetColour(cr,
                      ch.owner == ChannelOwnerNobody ? Rgb{0.5, 0.5, 0.5} : OwnerColour(ch.owner));
            cairo_rectangle(cr, x0, y + 5, std::max(x1 - x0, 1.0), ChannelHeight - 10);
            cairo_fill(cr);
            std::string note = NoteName(ch.freqReg);
            if (!note.empty() && x1 - x0 > TextWidth(cr, note, 9) + 3) {
                cairo_set_source_rgb(cr, 1, 1, 1);
                Text(cr, x0 + 2, y + 15.5, note, 9);
            }
            i = j - 1;
        }
    }
}

void DrawRhythm(cairo_t* cr, const Layout& l, const SessionLog& log) {
    cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
    Text(cr, 8, l.rhythmY + 12, "drums", 12, true);
    for (int k = 0; k < 5; ++k) {
        double y = l.rhythmY + (4 - k) * RhythmLane;
        cairo_set_source_rgb(cr, 0.45, 0.45, 0.45);
        Text(cr, Left - 18, y + 8, RhythmNames[k], 7);
    }
    // Rhythm mode on: a pale band; each key bit going on: a hit.
    uint8_t previous = 0;
    for (size_t i = 0; i < log.frames.size(); ++i) {
        uint8_t bits = log.frames[i].rhythmBits;
        uint64_t end = i + 1 < log.frames.size() ? log.frames[i + 1].sample : log.samples;
        if (bits & 0x20) {
            cairo_set_source_rgba(cr, 0.5, 0.5, 0.5, 0.10);
            cairo_rectangle(cr, XOf(l, log.frames[i].sample), l.rhythmY,
                            XOf(l, end) - XOf(l, log.frames[i].sample), 5 * RhythmLane);
            cairo_fill(cr);
            for (int k = 0; k < 5; ++k) {
                if (!(bits & (1 << k)) || (previous & 0x20 && previous & (1 << k))) continue;
                double x = XOf(l, log.frames[i].sample), y = l.rhythmY + (4 - k) * RhythmLane;
                SetColour(cr, OwnerColours[6]);
                cairo_move_to(cr, x, y + 1);
                cairo_line_to(cr, x + 4, y + RhythmLane / 2);
                cairo_line_to(cr, x, y + RhythmLane - 1);
                cairo_close_path(cr);
                cairo_fill(cr);
            }
        }
        previous = bits;
    }
}

// Command markers, their labels spread over five levels so that they do not overlap.
void DrawCommands(cairo_t* cr, const Layout& l, const SessionLog& log) {
    cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
    Text(cr, 8, l.commandsY + 14, "script", 12, true);
    const int levels = 5;
    double levelEnd[levels] = {0, 0, 0, 0, 0};
    const double levelHeight = (CommandsHeight - 4) / levels;
    for (const LogCommand& cmd : log.commands) {
        double x = XOf(l, cmd.sample);
        std::string command = cmd.command;
        // Long file names are cut to their last part.
        if (!command.empty() && (command[0] == 'L' || command[0] == 'l')) {
            size_t slash = command.rfind('/');
            if (slash != std::string::npos && command.size() > 3)
                command = command.substr(0, 3) + command.substr(slash + 1);
        }
        std::string label = command + (cmd.answer.empty() ? "" : "  " + cmd.answer);
        double w = TextWidth(cr, label, 9) + 6;
        int level = 0;
        while (level < levels - 1 && levelEnd[level] > x) ++level;
        levelEnd[level] = x + w;
        double y = l.commandsY + level * levelHeight;
        cairo_set_source_rgb(cr, 0.35, 0.35, 0.35);
        cairo_set_line_width(cr, 1);
        cairo_move_to(cr, std::floor(x) + 0.5, y);
        cairo_line_to(cr, std::floor(x) + 0.5, l.waveY + WaveHeight);
        double dashes[] = {2, 3};
        cairo_set_dash(cr, dashes, 2, 0);
        cairo_set_source_rgba(cr, 0.2, 0.2, 0.2, 0.25);
        cairo_stroke(cr);
        cairo_set_dash(cr, nullptr, 0, 0);
        cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
        Text(cr, x + 2, y + 10, command, 9, true);
        if (!cmd.answer.empty()) {
            bool error = cmd.answer.find('!') != std::string::npos ||
                         cmd.answer.compare(0, 10, "Load Error") == 0;
            if (error)
                cairo_set_source_rgb(cr, 0.8, 0.1, 0.1);
            else
                cairo_set_source_rgb(cr, 0.4, 0.4, 0.4);
            Text(cr, x + 4 + TextWidth(cr, command + " ", 9), y + 10, cmd.answer, 9);
        }
    }
}

void DrawWave(cairo_t* cr, const Layout& l, const SessionLog& log) {
    cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
    Text(cr, 8, l.waveY + 14, "mix", 12, true);
    double mid = l.waveY + WaveHeight / 2, half = WaveHeight / 2 - 2;
    cairo_set_source_rgb(cr, 0.96, 0.96, 0.96);
    cairo_rectangle(cr, Left, l.waveY, l.plotWidth, WaveHeight);
    cairo_fill(cr);
    size_t columns = log.waveMin.size();
    if (columns == 0) return;
    cairo_set_line_width(cr, 1);
    for (int px = 0; px < int(l.plotWidth); ++px) {
        size_t a = size_t(double(px) / l.plotWidth * double(columns));
        size_t b = std::max(a + 1, size_t(double(px + 1) / l.plotWidth * double(columns)));
        b = std::min(b, columns);
        if (a >= b) continue;
        int lo = 32767, hi = -32768;
        bool clipped = false;
        for (size_t k = a; k < b; ++k) {
            lo = std::min<int>(lo, log.waveMin[k]);
            hi = std::max<int>(hi, log.waveMax[k]);
            clipped = clipped || log.waveClipped[k];
        }
        double x = Left + px + 0.5;
        cairo_set_source_rgb(cr, 0.15, 0.3, 0.55);
        cairo_move_to(cr, x, mid - hi / 32768.0 * half);
        cairo_line_to(cr, x, mid - lo / 32768.0 * half + 0.5);
        cairo_stroke(cr);
        if (clipped) {
            cairo_set_source_rgb(cr, 0.9, 0.0, 0.0);
            cairo_rectangle(cr, x - 0.5, l.waveY, 1, 4);
            cairo_rectangle(cr, x - 0.5, l.waveY + WaveHeight - 4, 1, 4);
            cairo_fill(cr);
        }
    }
}

void DrawLegend(cairo_t* cr, const Layout& l) {
    double x = Left, y = l.legendY + 8;
    const char* names[8] = {"SFX 0", "SFX 1", "SFX 2", "SFX 3",
                            "SFX 4", "SFX 5", "music", "nobody"};
    for (int i = 0; i < 8; ++i) {
        if (i < 7)
            SetColour(cr, OwnerColours[i]);
        else
            cairo_set_source_rgb(cr, 0.8, 0.8, 0.8);
        cairo_rectangle(cr, x, y, 14, 10);
        if (i < 7)
            cairo_fill(cr);
        else
            cairo_stroke(cr);
        cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
        Text(cr, x + 18, y + 9, names[i], 11);
        x += 24 + TextWidth(cr, names[i], 11) + 14;
    }
    cairo_set_source_rgb(cr, 0.9, 0, 0);
    cairo_rectangle(cr, x, y, 3, 10);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
    Text(cr, x + 8, y + 9, "clipped", 11);
    Text(cr, x + 70, y + 9,
         "pale band: owner of the channel; bar: key on, with its note; triangle: rhythm hit", 11);
}

void DrawAll(cairo_t* cr, const Layout& l, const SessionLog& log) {
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
    std::string title = log.title;
    if (!log.gd3Title.empty()) title += "  \u2014  " + log.gd3Title;
    Text(cr, Left, 24, title, 16, true);
    char sub[96];
    std::snprintf(sub, sizeof sub, "%.2f s at %u Hz", double(l.samples) / l.rate, l.rate);
    cairo_set_source_rgb(cr, 0.4, 0.4, 0.4);
    Text(cr, Left, 40, sub, 11);
    DrawAxis(cr, l);
    DrawChannels(cr, l, log);
    DrawRhythm(cr, l, log);
    DrawWave(cr, l, log);
    DrawCommands(cr, l, log);
    DrawLegend(cr, l);
}

std::string Extension(const std::string& path) {
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return "";
    std::string e = path.substr(dot + 1);
    for (char& c : e) c = char(std::tolower(static_cast<unsigned char>(c)));
    return e;
}

}  // namespace

bool PictureFormatOk(const std::string& path, std::string* error) {
    std::string e = Extension(path);
    if (e == "png" || e == "svg" || e == "pdf") return true;
    *error = "cannot tell the picture format of " + path + " (known: .png .svg .pdf)";
    return false;
}

namespace {

// --- PNG writing -------------------------------------------------------------------------

// The rows of an RGB24 image surface through libpng, which reports its errors by a jump back
// here (nothing in this function owns anything to unwind). False on such an error.
bool WritePngRows(png_structp png, png_infop info, FILE* f, cairo_surface_t* surface,
                  png_byte* row) {
    if (setjmp(png_jmpbuf(png)) != 0) return false;
    int width = cairo_image_surface_get_width(surface);
    int height = cairo_image_surface_get_height(surface);
    png_init_io(png, f);
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, 1);
    png_set_compression_mem_level(png, 4);  // as small and a little quicker than 8 here
    png_set_filter(png, 0, PNG_FILTER_NONE);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y) {
        const unsigned char* line = cairo_image_surface_get_data(surface) +
                                    size_t(y) * cairo_image_surface_get_stride(surface);
        const uint32_t* pixels = reinterpret_cast<const uint32_t*>(line);
        for (int x = 0; x < width; ++x) {
            row[3 * x] = png_byte(pixels[x] >> 16);
            row[3 * x + 1] = png_byte(pixels[x] >> 8);
            row[3 * x + 2] = png_byte(pixels[x]);
        }
        png_write_row(png, row);
    }
    png_write_end(png, nullptr);
    return true;
}

// Writes an RGB24 image surface as an 8-bit RGB PNG. The picture is flat colours, whose runs
// repeat every three bytes: zlib's fastest level finds them without any row filter, and
// keeps the file small at a fraction of the time of the default level (cairo's own PNG
// writer offers no choice). False with *reason.
bool WritePng(cairo_surface_t* surface, const std::string& path, std::string* reason) {
    cairo_surface_flush(surface);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        *reason = std::strerror(errno);
        return false;
    }
    std::vector<png_byte> row(size_t(cairo_image_surface_get_width(surface)) * 3);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    bool written = png && info && WritePngRows(png, info, f, surface, row.data());
    png_destroy_write_struct(&png, &info);
    bool closed = std::fclose(f) == 0;
    if (!written || !closed)
        *reason = closed ? "the PNG could not be written" : std::strerror(errno);
    return written && closed;
}

}  // namespace

namespace {

// Draws the log into temp, a file of the picture's format (by path's extension). False with
// *error naming path.
bool DrawInto(const SessionLog& log, const std::string& path, const std::string& temp,
              std::string* error) {
    Layout l{};
    l.samples = std::max<uint64_t>(log.samples, 1);
    l.rate = log.rate;
    l.secondsShown = double(l.samples) / log.rate;
    l.plotWidth =
        std::round(std::clamp(l.secondsShown * PixelsPerSecond, MinPlotWidth, MaxPlotWidth));
    l.width = Left + l.plotWidth + Right;
    l.axisY = Top;
    l.commandsY = l.axisY + AxisHeight;
    l.channelsY = l.commandsY + CommandsHeight + Gap;
    l.rhythmY = l.channelsY + LogChannels * ChannelHeight + Gap;
    l.waveY = l.rhythmY + 5 * RhythmLane + Gap;
    l.legendY = l.waveY + WaveHeight + Gap;
    l.height = l.legendY + LegendHeight;

    std::string e = Extension(path);
    cairo_surface_t* surface =
        e == "svg"   ? cairo_svg_surface_create(temp.c_str(), l.width, l.height)
        : e == "pdf" ? cairo_pdf_surface_create(temp.c_str(), l.width, l.height)
                     : cairo_image_surface_create(CAIRO_FORMAT_RGB24, int(l.width), int(l.height));
    cairo_t* cr = cairo_create(surface);
    DrawAll(cr, l, log);
    cairo_status_t status = cairo_status(cr);
    cairo_destroy(cr);
    std::string reason;
    if (status == CAIRO_STATUS_SUCCESS && e == "png") WritePng(surface, temp, &reason);
    cairo_surface_finish(surface);
    if (status == CAIRO_STATUS_SUCCESS) status = cairo_surface_status(surface);
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS) reason = cairo_status_to_string(status);
    if (!reason.empty()) *error = "cannot write the picture " + path + ": " + reason;
    return reason.empty();
}

uint32_t WarmUp(void* /*parameter*/) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
    cairo_t* cr = cairo_create(surface);
    for (bool bold : {false, true}) Text(cr, 0, 0, "0", 9, bold);
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
    return 0;
}

uint32_t DrawJob(void* parameter) {
    PictureJob* job = static_cast<PictureJob*>(parameter);
    job->drawn = DrawInto(*job->log, job->path, job->temp, &job->error);
    if (job->drawn && job->durable) {
        int fd = open(job->temp.c_str(), O_RDONLY | O_CLOEXEC);
        job->drawn = fd >= 0 && fsync(fd) == 0;
        if (!job->drawn)
            job->error = "cannot write the picture " + job->path + ": " + std::strerror(errno);
        if (fd >= 0) close(fd);
    }
    return 0;
}

}  // namespace

void PictureWarmUp(PictureJob* job) {
    job->warming = CreateThread(nullptr, 0, WarmUp, nullptr, 0, nullptr);
}

void PictureWarmedUp(PictureJob* job) {
    if (job->warming != nullptr) {
        WaitForSingleObject(job->warming, INFINITE);
        CloseHandle(job->warming);
        job->warming = nullptr;
    }
}

void PictureStart(PictureJob* job, const SessionLog& log, const std::string& path) {
    PictureWarmedUp(job);
    job->log = &log;
    job->path = path;
    job->temp = OutputTempName(path);
    OutputTempRegister(job->temp);
    job->thread = CreateThread(nullptr, 0, DrawJob, job, 0, nullptr);
    if (job->thread == nullptr) DrawJob(job);  // no thread to be had: drawn here and now
}

bool PictureFinish(PictureJob* job, bool keep, std::string* error) {
    if (job->thread != nullptr) {
        WaitForSingleObject(job->thread, INFINITE);
        CloseHandle(job->thread);
        job->thread = nullptr;
    }
    bool ok = keep && job->drawn;
    if (ok && std::rename(job->temp.c_str(), job->path.c_str()) != 0) {
        job->error = "cannot write the picture " + job->path + ": " + std::strerror(errno);
        ok = false;
    }
    if (!ok) unlink(job->temp.c_str());
    OutputTempForget(job->temp);
    if (keep && !ok) *error = job->error;
    return ok || !keep;
}

bool PictureDraw(const SessionLog& log, const std::string& path, std::string* error) {
    PictureJob job;
    PictureStart(&job, log, path);
    return PictureFinish(&job, true, error);
}
