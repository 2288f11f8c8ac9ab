// picture.cpp - drawing a render's SessionLog with cairo into PNG, SVG or PDF: rows of fixed
// height under a shared time axis. A PNG whose length is known is drawn a stretch of columns
// at a time while the render runs; anything else after it.
//
// Index
//   Layout and colours
//   Rows ................. owners and notes, rhythm hits, commands, waveform
//   The worker ........... during the render, after it
//   PictureDraw
#include "tools/oplrender/picture.h"

#include <cairo-pdf.h>
#include <cairo-svg.h>
#include <cairo.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "platform/large_buffer.h"
#include "tools/oplrender/output.h"
#include "tools/oplrender/png_writer.h"

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
    size_t columns;  // of the waveform, over all the samples
    double axisY, commandsY, channelsY, rhythmY, waveY, legendY;
};

Layout LayoutOf(uint64_t samples, uint32_t rate, uint32_t columnSamples) {
    Layout l{};
    l.samples = std::max<uint64_t>(samples, 1);
    l.rate = rate;
    l.columns = size_t((samples + columnSamples - 1) / columnSamples);
    l.secondsShown = double(l.samples) / rate;
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
    return l;
}

// Whole columns [x0, x1) of the picture: what lies wholly outside them is not drawn.
struct Slab {
    double x0, x1;
};

// True when something spanning columns [a, b] (with its antialiased edges) reaches the slab.
bool Touches(const Slab& s, double a, double b) {
    return b >= s.x0 - 2 && a <= s.x1 + 2;
}

double XOf(const Layout& l, uint64_t sample) {
    return Left + double(sample) / double(std::max<uint64_t>(l.samples, 1)) * l.plotWidth;
}

void SetColour(cairo_t* cr, const Rgb& c, double alpha = 1.0) {
    cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha);
}

// Every text names its face, so that its width never depends on what was drawn before on the
// same surface (a slab drawn on its own must measure as the whole picture does).
void SetFont(cairo_t* cr, double size, bool bold) {
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
}

void Text(cairo_t* cr, double x, double y, const std::string& s, double size, bool bold = false) {
    SetFont(cr, size, bold);
    cairo_move_to(cr, x, y);
    cairo_show_text(cr, s.c_str());
}

double TextWidth(cairo_t* cr, const std::string& s, double size, bool bold = false) {
    SetFont(cr, size, bold);
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

void DrawAxis(cairo_t* cr, const Layout& l, const Slab& slab) {
    double step = 1;
    for (double s : {1.0, 2.0, 5.0, 10.0, 30.0, 60.0, 120.0, 300.0})
        if (s * l.plotWidth / std::max(l.secondsShown, 1e-9) >= 60) {
            step = s;
            break;
        }
    cairo_set_line_width(cr, 1);
    for (double t = 0; t <= l.secondsShown + 1e-9; t += step) {
        double x = Left + t / std::max(l.secondsShown, 1e-9) * l.plotWidth;
        if (!Touches(slab, x, x + 60)) continue;  // the line and its label
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

void DrawChannels(cairo_t* cr, const Layout& l, const SessionLog& log, const Slab& slab) {
    for (int c = 0; c < LogChannels; ++c) {
        double y = l.channelsY + c * ChannelHeight;
        for (const OwnerInterval& o : SessionOwnerIntervals(log, c)) {
            if (o.owner == ChannelOwnerNobody || !Touches(slab, XOf(l, o.start), XOf(l, o.end)))
                continue;
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
            i = j - 1;
            // The note's name lies inside its bar.
            if (!Touches(slab, x0, std::max(x1, x0 + 1))) continue;
            SetColour(cr,
                      ch.owner == ChannelOwnerNobody ? Rgb{0.5, 0.5, 0.5} : OwnerColour(ch.owner));
            cairo_rectangle(cr, x0, y + 5, std::max(x1 - x0, 1.0), ChannelHeight - 10);
            cairo_fill(cr);
            std::string note = NoteName(ch.freqReg);
            if (!note.empty() && x1 - x0 > TextWidth(cr, note, 9) + 3) {
                cairo_set_source_rgb(cr, 1, 1, 1);
                Text(cr, x0 + 2, y + 15.5, note, 9);
            }
        }
    }
}

void DrawRhythm(cairo_t* cr, const Layout& l, const SessionLog& log, const Slab& slab) {
    // Rhythm mode on: a pale band; each key bit going on: a hit.
    uint8_t previous = 0;
    for (size_t i = 0; i < log.frames.size(); ++i) {
        uint8_t bits = log.frames[i].rhythmBits;
        uint64_t end = i + 1 < log.frames.size() ? log.frames[i + 1].sample : log.samples;
        if (bits & 0x20 && Touches(slab, XOf(l, log.frames[i].sample), XOf(l, end) + 4)) {
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
void DrawCommands(cairo_t* cr, const Layout& l, const SessionLog& log, const Slab& slab) {
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
        // The command in bold, then its answer.
        double commandWidth = TextWidth(cr, command + " ", 9, true);
        double w = commandWidth + (cmd.answer.empty() ? 0 : TextWidth(cr, cmd.answer, 9)) + 10;
        int level = 0;
        while (level < levels - 1 && levelEnd[level] > x) ++level;
        levelEnd[level] = x + w;
        if (!Touches(slab, x, x + w)) continue;
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
            Text(cr, x + 4 + commandWidth, y + 10, cmd.answer, 9);
        }
    }
}

void DrawWave(cairo_t* cr, const Layout& l, const SessionLog& log, const Slab& slab) {
    double mid = l.waveY + WaveHeight / 2, half = WaveHeight / 2 - 2;
    cairo_set_source_rgb(cr, 0.96, 0.96, 0.96);
    cairo_rectangle(cr, Left, l.waveY, l.plotWidth, WaveHeight);
    cairo_fill(cr);
    size_t columns = l.columns;
    cairo_set_line_width(cr, 1);
    int first = std::max(0, int(slab.x0 - Left) - 2);
    int last = std::min(int(l.plotWidth), int(slab.x1 - Left) + 2);
    for (int px = first; px < last; ++px) {
        size_t a = size_t(double(px) / l.plotWidth * double(columns));
        size_t b = std::max(a + 1, size_t(double(px + 1) / l.plotWidth * double(columns)));
        b = std::min(b, columns);
        if (a >= b || b > log.waveMin.size()) continue;  // (not yet rendered: beyond the slab)
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

// The row names and the legend: outside the time axis, drawn once.
void DrawFixed(cairo_t* cr, const Layout& l) {
    cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
    Text(cr, 8, l.commandsY + 14, "script", 12, true);
    for (int c = 0; c < LogChannels; ++c)
        Text(cr, 8, l.channelsY + c * ChannelHeight + 16, "ch" + std::to_string(c), 12, true);
    Text(cr, 8, l.rhythmY + 12, "drums", 12, true);
    Text(cr, 8, l.waveY + 14, "mix", 12, true);
    cairo_set_source_rgb(cr, 0.45, 0.45, 0.45);
    for (int k = 0; k < 5; ++k)
        Text(cr, Left - 18, l.rhythmY + (4 - k) * RhythmLane + 8, RhythmNames[k], 7);

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

// The title, with the GD3 title that is known only once the music has begun.
void DrawTitle(cairo_t* cr, const Layout& l, const SessionLog& log) {
    cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
    std::string title = log.title;
    if (!log.gd3Title.empty()) title += "  \u2014  " + log.gd3Title;
    Text(cr, Left, 24, title, 16, true);
    char sub[96];
    std::snprintf(sub, sizeof sub, "%.2f s at %u Hz", double(l.samples) / l.rate, l.rate);
    cairo_set_source_rgb(cr, 0.4, 0.4, 0.4);
    Text(cr, Left, 40, sub, 11);
}

// The time axis and all it carries over the slab's columns, layer by layer.
void DrawPlot(cairo_t* cr, const Layout& l, const SessionLog& log, const Slab& slab) {
    DrawAxis(cr, l, slab);
    DrawChannels(cr, l, log, slab);
    DrawRhythm(cr, l, log, slab);
    DrawWave(cr, l, log, slab);
    DrawCommands(cr, l, log, slab);
}

void DrawBlank(cairo_t* cr, const Layout& l) {
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    DrawFixed(cr, l);
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

// --- The worker ----------------------------------------------------------------------------

namespace {

// Columns of the time axis drawn per thread during the render, and how far behind the render
// a slab must end: a note's name, a rhythm hit or a waveform column past the slab's end is
// then known for good (none is wider than this).
constexpr double SlabColumns = 128, SlabMargin = 64;
// Columns drawn beyond each side of a slab and not kept: cairo shades a shape's edge pixels
// differently where the surface or a clip cuts the shape, so a slab is drawn on a wider copy
// and only its own columns are kept, which come out as in a picture drawn at once.
constexpr double SlabPad = 8;

}  // namespace

struct PictureCanvas {
    Layout layout;
    cairo_surface_t* surface = nullptr;
    cairo_t* cr = nullptr;
    Slab slab{};  // what the running thread draws
    // A PNG's pixels, and the copy a slab is drawn on (kept from slab to slab): large buffers,
    // whose pages are faulted in a few at a time. Null where cairo holds the memory.
    unsigned char* pixels = nullptr;
    size_t pixelBytes = 0;
    unsigned char* part = nullptr;
    size_t partBytes = 0;
};

namespace {

std::string PictureError(const std::string& path, const std::string& reason) {
    return "cannot write the picture " + path + ": " + reason;
}

// Lets go of the canvas's surface, its memory and the canvas (its cairo context is gone).
void CanvasFree(PictureCanvas* canvas) {
    cairo_surface_destroy(canvas->surface);
    LargeBufferFree(canvas->pixels, canvas->pixelBytes);
    LargeBufferFree(canvas->part, canvas->partBytes);
    delete canvas;
}

// An image surface of width x height on the large buffer *pixels of *bytes, made anew when it
// is too small; on cairo's own memory when no large buffer can be had.
cairo_surface_t* ImageOn(unsigned char** pixels, size_t* bytes, int width, int height) {
    int stride = cairo_format_stride_for_width(CAIRO_FORMAT_RGB24, width);
    size_t need = size_t(std::max(stride, 0)) * size_t(height);
    if (need > *bytes) {
        LargeBufferFree(*pixels, *bytes);
        *pixels = static_cast<unsigned char*>(LargeBufferAlloc(need));
        *bytes = *pixels ? need : 0;
    }
    if (*pixels == nullptr) return cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
    return cairo_image_surface_create_for_data(*pixels, CAIRO_FORMAT_RGB24, width, height, stride);
}

// Writes the drawn canvas into temp (by the extension of path) and lets go of it; also
// forces the file to the disk when the job is durable. A PNG's rows are deflated with the
// threads of share. False with *error naming path.
bool CanvasWrite(PictureCanvas* canvas, const std::string& path, const std::string& temp,
                 bool durable, PngShare* share, std::string* error) {
    cairo_status_t status = cairo_status(canvas->cr);
    cairo_destroy(canvas->cr);
    std::string reason;
    if (status == CAIRO_STATUS_SUCCESS && Extension(path) == "png")
        PngWrite(canvas->surface, temp, &reason, share);
    cairo_surface_finish(canvas->surface);
    if (status == CAIRO_STATUS_SUCCESS) status = cairo_surface_status(canvas->surface);
    CanvasFree(canvas);
    if (status != CAIRO_STATUS_SUCCESS) reason = cairo_status_to_string(status);
    if (reason.empty() && durable) {
        int fd = open(temp.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || fsync(fd) != 0) reason = std::strerror(errno);
        if (fd >= 0) close(fd);
    }
    if (!reason.empty()) *error = PictureError(path, reason);
    return reason.empty();
}

// A canvas for layout l: an image for a PNG, else the vector file temp itself. Null when
// out of memory.
PictureCanvas* CanvasOpen(const Layout& l, const std::string& path, const std::string& temp) {
    std::string e = Extension(path);
    PictureCanvas* canvas = new (std::nothrow) PictureCanvas;
    if (canvas == nullptr) return nullptr;
    canvas->layout = l;
    canvas->surface =
        e == "svg"   ? cairo_svg_surface_create(temp.c_str(), l.width, l.height)
        : e == "pdf" ? cairo_pdf_surface_create(temp.c_str(), l.width, l.height)
                     : ImageOn(&canvas->pixels, &canvas->pixelBytes, int(l.width), int(l.height));
    canvas->cr = cairo_create(canvas->surface);
    DrawBlank(canvas->cr, l);
    return canvas;
}

// The worker's jobs, in order: the fonts; during the render, the blank canvas (the image's
// pages are touched here, not after the render) and one slab per job; after it, the rest.
void WarmUp(void* /*parameter*/) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
    cairo_t* cr = cairo_create(surface);
    for (bool bold : {false, true}) Text(cr, 0, 0, "0", 9, bold);
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
}

void BlankJob(void* parameter) {
    PictureJob* job = static_cast<PictureJob*>(parameter);
    job->canvas = CanvasOpen(LayoutOf(job->planned, job->seen.rate, job->seen.columnSamples),
                             job->path, job->temp);
}

// Draws the canvas's slab: on a copy of its columns and SlabPad more on each side (as far as
// the canvas goes), of which the slab's own columns are copied back.
void DrawSlab(PictureCanvas* canvas, const SessionLog& log) {
    const Layout& l = canvas->layout;
    const Slab& slab = canvas->slab;
    int a = int(std::max(0.0, slab.x0 - SlabPad)), b = int(std::min(l.width, slab.x1 + SlabPad));
    int height = int(l.height);
    // The copy's memory serves every slab, made anew only for a wider one.
    cairo_surface_t* part = ImageOn(&canvas->part, &canvas->partBytes, b - a, height);
    cairo_surface_flush(canvas->surface);
    unsigned char* from = cairo_image_surface_get_data(canvas->surface);
    unsigned char* to = cairo_image_surface_get_data(part);
    int fromStride = cairo_image_surface_get_stride(canvas->surface);
    int toStride = cairo_image_surface_get_stride(part);
    if (to != nullptr)
        for (int y = 0; y < height; ++y)
            std::memcpy(to + size_t(y) * toStride, from + size_t(y) * fromStride + 4 * a,
                        size_t(b - a) * 4);
    cairo_surface_mark_dirty(part);
    cairo_t* cr = cairo_create(part);
    cairo_translate(cr, -a, 0);
    DrawPlot(cr, l, log, {double(a), double(b)});
    cairo_destroy(cr);
    cairo_surface_flush(part);
    int x0 = int(slab.x0), x1 = int(slab.x1);
    if (to != nullptr)
        for (int y = 0; y < height; ++y)
            std::memcpy(from + size_t(y) * fromStride + 4 * x0,
                        to + size_t(y) * toStride + 4 * (x0 - a), size_t(x1 - x0) * 4);
    cairo_surface_mark_dirty(canvas->surface);
    cairo_surface_destroy(part);
}

void SlabJob(void* parameter) {
    PictureJob* job = static_cast<PictureJob*>(parameter);
    DrawSlab(job->canvas, job->seen);
}

// After the render: what is left of the canvas, or all of a new one, then the file.
void Draw(PictureJob* job) {
    PictureCanvas* canvas = job->canvas;
    job->canvas = nullptr;
    const SessionLog& log = canvas ? job->seen : *job->log;
    if (canvas) {
        DrawSlab(canvas, log);
    } else {
        canvas =
            CanvasOpen(LayoutOf(log.samples, log.rate, log.columnSamples), job->path, job->temp);
        if (canvas == nullptr) {
            job->error = PictureError(job->path, std::strerror(ENOMEM));
            return;
        }
        DrawPlot(canvas->cr, canvas->layout, log, {0, canvas->layout.width});
    }
    DrawTitle(canvas->cr, canvas->layout, log);
    job->drawn = CanvasWrite(canvas, job->path, job->temp, job->durable, job->share, &job->error);
}

// Draw, then the share is closed: PictureFinish, waiting in it, stops waiting there.
void DrawJob(void* parameter) {
    PictureJob* job = static_cast<PictureJob*>(parameter);
    Draw(job);
    if (job->share != nullptr) PngShareClose(job->share);
}

// Waits for the worker's job, if there is a worker.
void WaitForWorker(PictureJob* job) {
    if (job->worker != nullptr) WorkerWait(job->worker);
}

// Appends from[to->size(), end) to *to.
template <typename T>
void CatchUp(std::vector<T>* to, const std::vector<T>& from, size_t end) {
    to->insert(to->end(), from.begin() + long(to->size()), from.begin() + long(end));
}

// Hands the log's final part to the worker's copy: the frames before sample done
// (a frame at done may still be replaced), the commands, the waveform's whole columns; or,
// once the render has ended, all of it.
void SeenCatchUp(SessionLog* seen, const SessionLog& log, uint64_t done, bool all) {
    size_t frames = log.frames.size();
    while (!all && frames > seen->frames.size() && log.frames[frames - 1].sample >= done) --frames;
    CatchUp(&seen->frames, log.frames, frames);
    CatchUp(&seen->commands, log.commands, log.commands.size());
    size_t columns = all ? log.waveMin.size() : size_t(done / log.columnSamples);
    CatchUp(&seen->waveMin, log.waveMin, columns);
    CatchUp(&seen->waveMax, log.waveMax, columns);
    CatchUp(&seen->waveClipped, log.waveClipped, columns);
}

// Lets go of a canvas begun during the render (the worker's jobs have ended).
void CanvasDrop(PictureJob* job) {
    if (job->canvas == nullptr) return;
    cairo_destroy(job->canvas->cr);
    CanvasFree(job->canvas);
    job->canvas = nullptr;
}

// Stops drawing during the render: the picture is drawn whole after it.
void FollowNoMore(PictureJob* job) {
    WaitForWorker(job);
    CanvasDrop(job);
    job->followFrom = UINT64_MAX;
}

}  // namespace

void PictureWarmUp(PictureJob* job, const std::string& path) {
    job->path = path;
    job->worker = WorkerCreate();
    if (job->worker == nullptr) return;  // the fonts load as the picture is drawn
    if (Extension(path) == "png") job->followFrom = 0;
    WorkerPost(job->worker, WarmUp, job);
}

void PictureFollow(PictureJob* job, const SessionLog& log, uint64_t done, uint64_t total) {
    if (done < job->followFrom || !WorkerIdle(job->worker)) return;
    if (job->planned == 0) {
        // The length is known: the canvas is laid out (the fonts are loaded).
        if (total == 0) return;
        job->planned = total;
        job->seen.rate = log.rate;
        job->seen.columnSamples = log.columnSamples;
        job->seen.samples = total;  // what is not known yet lasts to the end
        SessionLogReserve(&job->seen, total);
        WorkerPost(job->worker, BlankJob, job);
        return;
    }
    if (total != job->planned || job->canvas == nullptr) return FollowNoMore(job);
    const Layout& l = job->canvas->layout;
    double to = std::floor(XOf(l, done) - SlabMargin);
    if (to >= job->drawnTo + 1) {
        SeenCatchUp(&job->seen, log, done, false);
        job->canvas->slab = {job->drawnTo, to};
        job->drawnTo = to;
        WorkerPost(job->worker, SlabJob, job);
    }
    // The next slab: SlabColumns further, once the render is SlabMargin past it.
    double next = (job->drawnTo + SlabColumns + SlabMargin - Left) / l.plotWidth;
    job->followFrom = uint64_t(std::ceil(next * double(l.samples)));
}

void PictureDrop(PictureJob* job) {
    FollowNoMore(job);
    WorkerDestroy(job->worker);
    job->worker = nullptr;
}

void PictureStart(PictureJob* job, const SessionLog& log, const std::string& path) {
    WaitForWorker(job);
    if (job->worker == nullptr) job->worker = WorkerCreate();
    job->log = &log;
    job->path = path;
    if (job->canvas && job->planned == log.samples) {
        SeenCatchUp(&job->seen, log, log.samples, true);
        job->seen.title = log.title;
        job->seen.gd3Title = log.gd3Title;
        job->canvas->slab = {job->drawnTo, job->canvas->layout.width};
    } else {
        CanvasDrop(job);
    }
    job->temp = OutputTempName(path);
    OutputTempRegister(job->temp);
    job->share = new (std::nothrow) PngShare;
    if (job->worker != nullptr)
        WorkerPost(job->worker, DrawJob, job);
    else
        DrawJob(job);  // no thread to be had: drawn here and now
}

bool PictureFinish(PictureJob* job, bool keep, std::string* error) {
    // This thread would only wait: it deflates a share of the PNG's rows instead.
    if (job->share != nullptr) PngHelp(job->share);
    WaitForWorker(job);
    delete job->share;
    job->share = nullptr;
    WorkerDestroy(job->worker);
    job->worker = nullptr;
    bool ok = keep && job->drawn;
    if (ok && std::rename(job->temp.c_str(), job->path.c_str()) != 0) {
        job->error = PictureError(job->path, std::strerror(errno));
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
