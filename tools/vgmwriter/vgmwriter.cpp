// vgmwriter.cpp - builds VGM files in memory and saves them, plain or gzip-compressed.
// Test and tool code only; nothing here runs on the render path.
#include "tools/vgmwriter/vgmwriter.h"

#include <zlib.h>

#include <cstdio>

#include "fmchip/opl2_layout.h"

namespace {

void Put(VgmWriter* w, uint8_t b) {
    w->bytes.push_back(b);
}

void PutU32(VgmWriter* w, uint32_t v) {
    for (int i = 0; i < 4; ++i) Put(w, uint8_t(v >> (8 * i)));
}

}  // namespace

void VgmWriterBegin(VgmWriter* w, uint32_t version, uint32_t headerSize) {
    if (headerSize < 0x40) headerSize = 0x40;
    w->bytes.assign(headerSize, 0);
    w->version = version;
    w->dataOffset = headerSize;
    w->totalSamples = 0;
    w->loopPos = 0;
    w->loopStartTime = 0;
    w->gd3Pos = 0;
}

void VgmWriterReg(VgmWriter* w, uint8_t command, uint8_t reg, uint8_t value) {
    Put(w, command);
    Put(w, reg);
    Put(w, value);
}

void VgmWriterOpl2Voice(VgmWriter* w, int ch, uint8_t level) {
    uint8_t op = ChanOpOffset[ch];
    const uint8_t rows[5][2] = {
        {0x20, 0x21}, {0x40, 0x18}, {0x60, 0xF4}, {0x80, 0x24}, {0xE0, 0x00}};
    for (const auto& row : rows) {
        VgmWriterOpl2(w, uint8_t(row[0] + op), row[1]);
        VgmWriterOpl2(w, uint8_t(row[0] + op + SecondOpOffset), row[0] == 0x40 ? level : row[1]);
    }
    VgmWriterOpl2(w, uint8_t(0xC0 + ch), 0x0E);  // feedback 7, FM connection
}

void VgmWriterOpl2Note(VgmWriter* w, int ch, uint16_t fnum, uint8_t block, bool keyOn) {
    VgmWriterOpl2(w, uint8_t(0xA0 + ch), uint8_t(fnum));
    VgmWriterOpl2(w, uint8_t(0xB0 + ch),
                  uint8_t((keyOn ? 0x20 : 0) | (block & 7) << 2 | (fnum >> 8 & 3)));
}

void VgmWriterArpeggio(VgmWriter* w, int firstCh, int channels, int steps, uint32_t stepSamples) {
    for (int ch = firstCh; ch < firstCh + channels; ++ch) VgmWriterOpl2Voice(w, ch, 4);
    for (int n = 0; n < steps; ++n) {
        for (int ch = firstCh; ch < firstCh + channels; ++ch) {
            int note = (n + 3 * ch) % 12;
            VgmWriterOpl2Note(w, ch, uint16_t(0x158 + 23 * note), uint8_t(3 + ch % 3), true);
        }
        VgmWriterWait(w, stepSamples);
        for (int ch = firstCh; ch < firstCh + channels; ++ch)
            VgmWriterOpl2(w, uint8_t(0xB0 + ch), 0);
    }
}

void VgmWriterLoad(VgmWriter* w, int channels, bool rhythm, uint32_t seconds) {
    for (int slot = 0; slot < 18; ++slot) {
        uint8_t off = OpSlotOffset(slot);
        VgmWriterOpl2(w, uint8_t(0x20 + off), uint8_t(0xE0 | (1 + slot % 4)));  // AM VIB EG MULT
        VgmWriterOpl2(w, uint8_t(0x40 + off), 0x00);
        VgmWriterOpl2(w, uint8_t(0x60 + off), 0xF0);
        VgmWriterOpl2(w, uint8_t(0x80 + off), 0x00);
    }
    for (int ch = 0; ch < 9; ++ch) {
        int fnum = 0x200 + 37 * ch;  // high enough for vibrato to move it
        VgmWriterOpl2(w, uint8_t(0xC0 + ch), 0x0E);
        VgmWriterOpl2(w, uint8_t(0xA0 + ch), uint8_t(fnum));
        uint8_t key = ch < channels ? 0x20 : 0x00;
        VgmWriterOpl2(w, uint8_t(0xB0 + ch), uint8_t(key | 4 << 2 | fnum >> 8));
    }
    VgmWriterOpl2(w, 0xBD, rhythm ? 0xFF : 0xC0);
    VgmWriterMarkLoop(w);
    VgmWriterWait(w, seconds * 44100);
    VgmWriterEnd(w);
}

void VgmWriterWait16(VgmWriter* w, uint16_t samples) {
    Put(w, 0x61);
    Put(w, uint8_t(samples));
    Put(w, uint8_t(samples >> 8));
    w->totalSamples += samples;
}

void VgmWriterWait(VgmWriter* w, uint32_t samples) {
    while (samples > 0) {
        if (samples == 735) {
            Put(w, 0x62);
            w->totalSamples += 735;
            return;
        }
        if (samples == 882) {
            Put(w, 0x63);
            w->totalSamples += 882;
            return;
        }
        if (samples <= 16) {
            Put(w, uint8_t(0x70 + samples - 1));
            w->totalSamples += samples;
            return;
        }
        uint32_t piece = samples > 65535 ? 65535 : samples;
        VgmWriterWait16(w, uint16_t(piece));
        samples -= piece;
    }
}

void VgmWriterDataBlock(VgmWriter* w, uint8_t type, const uint8_t* data, uint32_t size) {
    Put(w, 0x67);
    Put(w, 0x66);
    Put(w, type);
    PutU32(w, size);
    w->bytes.insert(w->bytes.end(), data, data + size);
}

void VgmWriterRaw(VgmWriter* w, const std::vector<uint8_t>& raw) {
    w->bytes.insert(w->bytes.end(), raw.begin(), raw.end());
}

void VgmWriterMarkLoop(VgmWriter* w) {
    w->loopPos = uint32_t(w->bytes.size());
    w->loopStartTime = w->totalSamples;
}

void VgmWriterEnd(VgmWriter* w) {
    Put(w, 0x66);
}

void VgmWriterGd3(VgmWriter* w, const std::vector<std::u16string>& fields) {
    constexpr size_t FieldCount = 11;
    w->gd3Pos = uint32_t(w->bytes.size());
    for (char c : {'G', 'd', '3', ' '}) Put(w, uint8_t(c));
    PutU32(w, 0x100);
    size_t lengthAt = w->bytes.size();
    PutU32(w, 0);
    for (size_t i = 0; i < FieldCount; ++i) {
        if (i < fields.size())
            for (char16_t u : fields[i]) {
                Put(w, uint8_t(u));
                Put(w, uint8_t(u >> 8));
            }
        Put(w, 0);
        Put(w, 0);
    }
    VgmWriterPatchU32(w, uint32_t(lengthAt), uint32_t(w->bytes.size() - lengthAt - 4));
}

void VgmWriterPatchU32(VgmWriter* w, uint32_t offset, uint32_t value) {
    if (w->bytes.size() < size_t(offset) + 4) w->bytes.resize(size_t(offset) + 4, 0);
    for (int i = 0; i < 4; ++i) w->bytes[offset + i] = uint8_t(value >> (8 * i));
}

// Header fields written (offsets relative to themselves, as the format stores them):
//   0x00 "Vgm "   0x04 eof - 4   0x08 version   0x14 GD3 - 0x14 (0 = none)   0x18 total samples
//   0x1C loop - 0x1C (0 = none)   0x20 loop samples   0x34 data - 0x34   0x50 YM3812 clock
void VgmWriterFinish(VgmWriter* w) {
    const uint8_t ident[4] = {'V', 'g', 'm', ' '};
    for (int i = 0; i < 4; ++i) w->bytes[i] = ident[i];
    VgmWriterPatchU32(w, 0x04, uint32_t(w->bytes.size()) - 4);
    VgmWriterPatchU32(w, 0x08, w->version);
    VgmWriterPatchU32(w, 0x14, w->gd3Pos ? w->gd3Pos - 0x14 : 0);
    VgmWriterPatchU32(w, 0x18, w->totalSamples);
    VgmWriterPatchU32(w, 0x1C, w->loopPos ? w->loopPos - 0x1C : 0);
    VgmWriterPatchU32(w, 0x20, w->loopPos ? w->totalSamples - w->loopStartTime : 0);
    VgmWriterPatchU32(w, 0x34, w->dataOffset - 0x34);
    if (w->dataOffset >= 0x54) VgmWriterPatchU32(w, 0x50, 3579545);
}

std::vector<uint8_t> VgmGzip(const std::vector<uint8_t>& bytes) {
    z_stream zs{};
    // windowBits 15 + 16 asks zlib for a gzip wrapper instead of a zlib one.
    if (deflateInit2(&zs, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
    std::vector<uint8_t> out(deflateBound(&zs, uLong(bytes.size())) + 32);
    zs.next_in = const_cast<Bytef*>(bytes.data());
    zs.avail_in = uInt(bytes.size());
    zs.next_out = out.data();
    zs.avail_out = uInt(out.size());
    int rc = deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    if (rc != Z_STREAM_END) return {};
    return out;
}

bool VgmSaveBytes(const char* path, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path, "wb");
    if (!f) return false;
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = (std::fclose(f) == 0) && ok;
    return ok;
}

bool VgmWriterSave(const VgmWriter* w, const char* path, bool gzip) {
    if (!gzip) return VgmSaveBytes(path, w->bytes);
    std::vector<uint8_t> packed = VgmGzip(w->bytes);
    return !packed.empty() && VgmSaveBytes(path, packed);
}
