// png_writer.cpp - the picture's PNG files. libpng writes the chunks; the image data, one zlib
// stream of the rows (each led by its filter type), is put together here from bands of rows
// that compressors of their own deflate on the writing thread and any thread that helps.
#include "tools/oplrender/png_writer.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

// How the bands join: every band but the last ends on a byte boundary (a sync flush), so the
// next band's deflate data follows it directly, and no band refers back into another (each has
// its own compressor); the stream's checksum is made from the bands' (adler32_combine).

namespace {

typedef std::vector<unsigned char> Bytes;

// The picture is flat colours, whose runs repeat every three bytes: zlib's fastest level finds
// them without help, at a fraction of the time of the default level.
constexpr int Level = 1;

// Writes count pixels 0x00RRGGBB as the bytes R G B at out, which has a byte to spare: each pixel
// is stored whole as R G B 0 (byte-swapped and shifted where the machine is little-endian), and the
// next pixel's store overwrites the 0.
void RgbBytes(const unsigned char* pixels, int count, unsigned char* out) {
    const uint32_t* p = reinterpret_cast<const uint32_t*>(pixels);
    for (int x = 0; x < count; ++x) {
        uint32_t rgb =
            std::endian::native == std::endian::little ? __builtin_bswap32(p[x]) >> 8 : p[x] << 8;
        std::memcpy(out + 3 * x, &rgb, 4);
    }
}

// Gives a compressor n bytes (with flush) and appends what it makes to *data. False on an
// error of zlib's.
bool Feed(z_stream* z, const unsigned char* in, size_t n, int flush, Bytes* data) {
    z->next_in = const_cast<unsigned char*>(in);
    z->avail_in = uInt(n);
    unsigned char out[1 << 14];
    int r;
    do {
        z->next_out = out;
        z->avail_out = sizeof out;
        r = deflate(z, flush);
        data->insert(data->end(), out, out + (sizeof out - z->avail_out));
    } while (r == Z_OK && z->avail_out == 0);
    return r != Z_STREAM_ERROR && (flush != Z_FINISH || r == Z_STREAM_END);
}

// A band of the surface's rows, deflated whole with no row filter.
struct Band {
    const unsigned char* pixels = nullptr;  // the band's first row on the image surface
    int stride = 0, width = 0, rows = 0;
    bool last = false;  // ends the stream; otherwise ends on a byte boundary
    Bytes data;         // raw deflate data
    uLong adler = adler32(0, nullptr, 0);
    bool ok = false;
};

void DeflateBand(Band* p) {
    z_stream z{};
    if (deflateInit2(&z, Level, Z_DEFLATED, -15, 4, Z_DEFAULT_STRATEGY) != Z_OK) return;
    Bytes row(size_t(p->width) * 3 + 2);  // the filter type (0), the row, a byte to spare
    bool ok = true;
    for (int y = 0; y < p->rows && ok; ++y) {
        RgbBytes(p->pixels + size_t(y) * size_t(p->stride), p->width, row.data() + 1);
        p->adler = adler32(p->adler, row.data(), uInt(row.size() - 1));
        ok = Feed(&z, row.data(), row.size() - 1, Z_NO_FLUSH, &p->data);
    }
    p->ok = ok && Feed(&z, nullptr, 0, p->last ? Z_FINISH : Z_SYNC_FLUSH, &p->data);
    deflateEnd(&z);
}

constexpr int PngBands = 16;

}  // namespace

// The rows in bands, and the next band that no thread has taken. The rows differ in cost (the
// waveform's are dearer than the channel rows'), so each thread takes the next band as it
// finishes one rather than a fixed part of the picture.
struct PngRows {
    Band bands[PngBands];
    int count = 0;
    std::atomic<int> next{0};
};

namespace {

void DeflateBands(PngRows* rows) {
    for (int k; (k = rows->next.fetch_add(1, std::memory_order_relaxed)) < rows->count;)
        DeflateBand(&rows->bands[k]);
}

// Deflates bands of rows on this thread and on the share's helpers; returns once every band
// has been deflated and no helper holds rows.
void DeflateShared(PngRows* rows, PngShare* share) {
    if (share == nullptr) return DeflateBands(rows);
    {
        std::lock_guard<std::mutex> hold(share->lock);
        share->rows = rows;
    }
    share->changed.notify_all();
    DeflateBands(rows);
    // Every band is taken: one still in a helper's hands is done when it leaves.
    std::unique_lock<std::mutex> held(share->lock);
    share->changed.wait(held, [share] { return share->helping == 0; });
    share->rows = nullptr;
}

// The signature and the header, the image data as one chunk (the zlib header, the bands, the
// checksum, written where they lie), the end: libpng writes the chunks and reports its errors by
// a jump back here (nothing in this function owns anything to unwind).
bool WritePngChunks(png_structp png, png_infop info, FILE* f, int width, int height,
                    const PngRows& rows, uLong adler) {
    if (setjmp(png_jmpbuf(png)) != 0) return false;
    png_init_io(png, f);
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    // The zlib header: deflate, a 32 KB window at most, the fastest level.
    const png_byte head[2] = {0x78, 0x01};
    png_byte tail[4];
    for (int k = 0; k < 4; ++k) tail[k] = png_byte(adler >> (24 - 8 * k));
    size_t length = sizeof head + sizeof tail;
    for (int k = 0; k < rows.count; ++k) length += rows.bands[k].data.size();
    png_write_chunk_start(png, reinterpret_cast<png_const_bytep>("IDAT"), png_uint_32(length));
    png_write_chunk_data(png, head, sizeof head);
    for (int k = 0; k < rows.count; ++k)
        png_write_chunk_data(png, rows.bands[k].data.data(), rows.bands[k].data.size());
    png_write_chunk_data(png, tail, sizeof tail);
    png_write_chunk_end(png);
    png_write_chunk(png, reinterpret_cast<png_const_bytep>("IEND"), nullptr, 0);
    return true;
}

// Writes the PNG file of a width x height image whose deflated rows are in rows, with the
// checksum adler. False with *reason.
bool WritePngFile(const std::string& path, int width, int height, const PngRows& rows, uLong adler,
                  std::string* reason) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        *reason = std::strerror(errno);
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    bool written = png && info && WritePngChunks(png, info, f, width, height, rows, adler);
    png_destroy_write_struct(&png, &info);
    bool closed = std::fclose(f) == 0;
    if (!written || !closed)
        *reason = closed ? "the PNG could not be written" : std::strerror(errno);
    return written && closed;
}

}  // namespace

void PngHelp(PngShare* share) {
    std::unique_lock<std::mutex> held(share->lock);
    share->changed.wait(held, [share] { return share->rows != nullptr || share->closed; });
    if (share->rows == nullptr) return;
    PngRows* rows = share->rows;
    ++share->helping;
    held.unlock();
    DeflateBands(rows);
    held.lock();
    --share->helping;
    held.unlock();
    share->changed.notify_all();
}

void PngShareClose(PngShare* share) {
    {
        std::lock_guard<std::mutex> hold(share->lock);
        share->closed = true;
    }
    share->changed.notify_all();
}

bool PngWrite(cairo_surface_t* surface, const std::string& path, std::string* reason,
              PngShare* share) {
    cairo_surface_flush(surface);
    int width = cairo_image_surface_get_width(surface);
    int height = cairo_image_surface_get_height(surface);
    int stride = cairo_image_surface_get_stride(surface);
    const unsigned char* pixels = cairo_image_surface_get_data(surface);
    PngRows rows;
    rows.count = std::clamp(height, 1, PngBands);
    for (int k = 0; k < rows.count; ++k) {
        int first = int(int64_t(height) * k / rows.count);
        int end = int(int64_t(height) * (k + 1) / rows.count);
        Band& band = rows.bands[k];
        band.pixels = pixels + size_t(first) * size_t(stride);
        band.stride = stride;
        band.width = width;
        band.rows = end - first;
        band.last = k == rows.count - 1;
    }
    DeflateShared(&rows, share);
    // The stream's checksum, from the bands'.
    uLong adler = adler32(0, nullptr, 0);
    for (int k = 0; k < rows.count; ++k) {
        const Band& band = rows.bands[k];
        if (!band.ok) {
            *reason = std::strerror(ENOMEM);
            return false;
        }
        uLong length = uLong(band.rows) * (uLong(width) * 3 + 1);
        adler = adler32_combine(adler, band.adler, z_off_t(length));
    }
    return WritePngFile(path, width, height, rows, adler, reason);
}
