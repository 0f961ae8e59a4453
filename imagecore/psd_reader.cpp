// PSD and PSB reader: header and resource probe, ICC profile, channel decoder. The probe and the
// profile reader share one scan so that both see the same (first) profile resource.
#include "imagecore/psd_reader.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "imagecore/byte_order.h"
#include "imagecore/pixel_buffers.h"
#include "imagecore/records.h"
#include "platform/checked_size.h"
#include "platform/file_holder.h"

uint16_t fget2m(FILE *f)
{
    return fgetm2(f);
}
uint32_t fget4m(FILE *f)
{
    return fgetm4(f);
}
uint64_t fget8m(FILE *f)
{
    uint64_t high = fgetm4(f);
    return high << 32 | fgetm4(f);
}

namespace imagecore {

size_t packbits_decode(const uint8_t *src, size_t srcLength, size_t &pos, uint8_t *dst,
                       size_t dstLength)
{
    size_t out = 0;
    while (out < dstLength && pos < srcLength) {
        int n = int(int8_t(src[pos++]));
        if (n >= 0) {
            size_t run = size_t(n) + 1;
            size_t avail = srcLength - pos;
            size_t take = run < avail ? run : avail;
            size_t put = take < dstLength - out ? take : dstLength - out;
            std::memcpy(dst + out, src + pos, put);
            out += put;
            pos += take;
        } else if (n != -128) {
            if (pos >= srcLength)
                break;
            uint8_t v = src[pos++];
            size_t run = size_t(1 - n);
            size_t put = run < dstLength - out ? run : dstLength - out;
            std::memset(dst + out, v, put);
            out += put;
        }
    }
    return out;
}

float psd_float_decode(const uint8_t *p)
{
    if (p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 0)
        return 0.0f;
    int e = (p[0] & 127) * 2 + (p[1] >> 7);
    uint32_t m = uint32_t(p[1] & 127) << 16 | uint32_t(p[2]) << 8 | p[3];
    double v = std::ldexp(1.0 + double(m) * 0x1p-23, e - 128);
    return float((p[0] & 128) ? -v : v);
}

} // namespace imagecore

namespace {

// Diagnostics on standard error; off.
constexpr int kVerbose = 0;

constexpr uint16_t kResResolution = 1005;
constexpr uint16_t kResIcc = 1039;
constexpr uint16_t kResExif = 1058;

// The largest sides the format allows: 30000 for a PSD (version 1), 300000 for a PSB (2).
constexpr uint32_t kMaxSidePsd = 30000;
constexpr uint32_t kMaxSidePsb = 300000;

// What the header and the resource walk found.
struct PsdScan {
    uint16_t version = 0;
    uint16_t channels = 0;
    uint32_t height = 0, width = 0;
    uint16_t bits = 0;
    uint64_t layerOffset = 0; // start of the resources' data + their total length
    bool hasResolution = false;
    uint16_t hres = 0, vres = 0;
    bool hasIcc = false;
    uint64_t iccOffset = 0;
    uint32_t iccSize = 0;
    bool hasExif = false;
    uint64_t exifOffset = 0;
};

// Reads the header and walks the resources. Returns 0, or the probe's negative code.
int scan_psd(FILE *f, uint64_t length, PsdScan &s)
{
    using imagecore::read_be16;
    using imagecore::read_be32;
    using platform::read_at;
    uint8_t h[30];
    if (!read_at(f, length, 0, h, 4))
        return -1;
    if (std::memcmp(h, "8BPS", 4) != 0)
        return -2;
    // Signature, version and reserved bytes, channels, height, width, depth, mode, and the
    // colour-mode data length.
    if (!read_at(f, length, 0, h, 30))
        return -1;
    s.version = read_be16(h + 4);
    if (s.version != 1 && s.version != 2)
        return -2;
    s.channels = read_be16(h + 12);
    if (s.channels < 3)
        return -3;
    s.height = read_be32(h + 14);
    s.width = read_be32(h + 18);
    s.bits = read_be16(h + 22);
    if (read_be16(h + 24) != 3)
        return -3;
    const uint32_t maxSide = s.version == 2 ? kMaxSidePsb : kMaxSidePsd;
    if (s.width > maxSide || s.height > maxSide)
        return -1;
    uint64_t resLengthAt = 30 + uint64_t(read_be32(h + 26));
    uint8_t b[4];
    if (!read_at(f, length, resLengthAt, b, 4))
        return -1;
    uint64_t start = resLengthAt + 4;
    uint64_t total = read_be32(b);
    if (!platform::range_inside(start, total, length))
        return -1;
    uint64_t end = start + total;
    s.layerOffset = end;

    // Each block spans 12 + size + size mod 2 bytes; a block whose data passes the resources'
    // end stops the walk, so the walk never leaves the file and always advances.
    uint64_t p = start;
    while (p < end) {
        uint8_t blk[12];
        if (!read_at(f, length, p, blk, 12) || p + 12 > end || std::memcmp(blk, "8BIM", 4) != 0)
            break;
        uint16_t id = read_be16(blk + 4);
        uint32_t size = read_be32(blk + 8);
        uint64_t data = p + 12;
        if (!platform::range_inside(data, size, end))
            break;
        if (id == kResIcc && !s.hasIcc) {
            s.hasIcc = true;
            s.iccOffset = data;
            s.iccSize = size;
        } else if (id == kResExif) {
            s.hasExif = true;
            s.exifOffset = data;
        } else if (id == kResResolution && size >= 2) {
            uint8_t r[10];
            size_t n = size >= 10 ? 10 : 2;
            if (read_at(f, length, data, r, n)) {
                s.hasResolution = true;
                s.hres = read_be16(r);
                s.vres = n == 10 ? read_be16(r + 8) : 0;
            }
        }
        p = data + size + (size & 1);
    }
    return 0;
}

// Measures the stream and scans it: -1 when it cannot be measured, else scan_psd's result.
int measure_and_scan(FILE *f, uint64_t &length, PsdScan &s)
{
    return f && platform::stream_length(f, length) ? scan_psd(f, length, s) : -1;
}

// Stores v when it fits an int slot.
void set_slot(int *info, int slot, uint64_t v)
{
    if (v <= uint64_t(INT_MAX))
        info[slot] = int(v);
}

// Where a document's pixel data lies, once locate_pixels has checked that the file holds it.
struct PixelData {
    uint16_t compression = 0; // 1 PackBits; any other value is read as raw
    uint64_t start = 0;       // raw: the first plane; PackBits: the first packed byte
};

// The sum of a row-length table of `entries` big-endian entries of entrySize bytes at `at`, held
// at the file's length plus one once it passes that; false when the table does not lie inside
// the file. Read in slices: the table's size is the file's word.
bool packbits_table_sum(FILE *f, uint64_t length, uint64_t at, uint64_t entries, int entrySize,
                        uint64_t &sum)
{
    auto bytes = platform::checked_mul(entries, size_t(entrySize));
    if (!bytes || !platform::range_inside(at, *bytes, length))
        return false;
    uint8_t slice[8192]; // a multiple of both entry sizes
    sum = 0;
    for (uint64_t done = 0; done < *bytes;) {
        const size_t n = size_t(std::min<uint64_t>(sizeof slice, *bytes - done));
        if (!platform::read_at(f, length, at + done, slice, n))
            return false;
        for (size_t i = 0; i < n; i += size_t(entrySize))
            sum +=
                entrySize == 4 ? imagecore::read_be32(slice + i) : imagecore::read_be16(slice + i);
        sum = std::min(sum, length + 1);
        done += n;
    }
    return true;
}

// Follows the record to the pixel data and checks, before anything is allocated, that the file
// holds what the header and the compression promise: the header's version is the layout asked
// for ([10]); raw data holds every plane's bytes; PackBits data holds its row-length table and
// the sum of its lengths, enough to fill the three planes read. Returns 0 with d filled, or
// load_psd's code.
int locate_pixels(FILE *f, uint64_t length, const int *info, PixelData &d)
{
    const int64_t w = info[kInfoWidth], h = info[kInfoHeight], bits = info[kInfoBits];
    const int64_t channels = info[kInfoSamples], layerOffset = info[kInfoLayerOffset];
    const bool psb = info[kInfoPsdKind] == 64;
    if (bits != 8 && bits != 16 && bits != 32)
        return -1;
    if (w <= 0 || h <= 0 || channels < 3 || layerOffset < 0)
        return -1;
    uint8_t b[8];
    if (!platform::read_at(f, length, 4, b, 2) || imagecore::read_be16(b) != (psb ? 2 : 1))
        return -1;
    const size_t lenBytes = psb ? 8 : 4;
    if (!platform::read_at(f, length, uint64_t(layerOffset), b, lenBytes)) {
        if (kVerbose)
            std::fprintf(stderr, "load_psd fseek %d failed \n", int(layerOffset));
        return -1;
    }
    const uint64_t layerLength = psb ? imagecore::read_be64(b) : imagecore::read_be32(b);
    uint64_t at = uint64_t(layerOffset) + lenBytes;
    if (!platform::range_inside(at, layerLength, length))
        return -1;
    at += layerLength;
    if (!platform::read_at(f, length, at, b, 2))
        return -1;
    d.compression = imagecore::read_be16(b);
    d.start = at + 2;
    if (bits == 32 && d.compression != 0) {
        if (kVerbose)
            std::fprintf(stderr, "load_psd rle %d not supported for 32-bit PSD\n",
                         int(d.compression));
        return -2;
    }
    if (d.compression != 1) {
        auto planes = platform::checked_product({w, h, bits / 8, channels});
        return planes && platform::range_inside(d.start, *planes, length) ? 0 : -1;
    }
    uint64_t sum = 0;
    auto rows = platform::checked_product({h, channels});
    if (!rows || !packbits_table_sum(f, length, d.start, *rows, psb ? 4 : 2, sum))
        return -3;
    d.start += *rows * (psb ? 4 : 2);
    // A two-byte repeat run gives at most 128 bytes: data that cannot fill the three planes read
    // is short too.
    auto threePlanes = platform::checked_product({w, h, bits / 8, 3});
    auto reach = platform::checked_mul(sum, 64);
    return sum <= length - d.start && threePlanes && (!reach || *reach >= *threePlanes) ? 0 : -3;
}

// 8 and 16 bits: decodes planes 0..2 of the located data into the interleaved destination.
int load_planes(FILE *f, uint64_t length, const PixelData &d, size_t w, size_t h,
                size_t bytesPerSample, int channelOrder, size_t stride, void *dest)
{
    // locate_pixels has measured the data against these sizes.
    auto planeBytes = platform::checked_product({int64_t(w), int64_t(h), int64_t(bytesPerSample)});
    if (!planeBytes)
        return -1;

    const bool packbits = d.compression == 1;
    std::vector<uint8_t> packed;
    size_t pos = 0;
    if (packbits) {
        packed.resize(size_t(length - d.start));
        if (!platform::read_at(f, length, d.start, packed.data(), packed.size()))
            return -1;
    }

    std::vector<uint8_t> plane(*planeBytes);
    for (size_t k = 0; k < 3; ++k) {
        if (packbits) {
            if (imagecore::packbits_decode(packed.data(), packed.size(), pos, plane.data(),
                                           plane.size()) != plane.size())
                return -3;
        } else if (!platform::read_at(f, length, d.start + k * *planeBytes, plane.data(),
                                      plane.size())) {
            return -1;
        }
        size_t sample = channelOrder >= 1 ? k : 2 - k;
        if (bytesPerSample == 1) {
            auto *out = static_cast<uint8_t *>(dest);
            const uint8_t *in = plane.data();
            for (size_t y = 0; y < h; ++y) {
                uint8_t *row = out + y * stride + sample;
                for (size_t x = 0; x < w; ++x)
                    row[3 * x] = *in++;
            }
        } else {
            auto *out = static_cast<uint16_t *>(dest);
            const uint8_t *in = plane.data();
            for (size_t y = 0; y < h; ++y) {
                uint16_t *row = out + y * stride + sample;
                for (size_t x = 0; x < w; ++x, in += 2)
                    row[3 * x] = imagecore::read_be16(in);
            }
        }
    }
    return 0;
}

// 32 bits, raw: rows of planes 0..2 decoded and encoded into the rgbeBuf.
int load_float(FILE *f, uint64_t length, uint64_t dataStart, size_t w, size_t h, void *dest)
{
    auto rowBytes = platform::checked_mul(w, 4);
    auto planeBytes = rowBytes ? platform::checked_mul(*rowBytes, h) : std::nullopt;
    auto threePlanes = planeBytes ? platform::checked_mul(*planeBytes, 3) : std::nullopt;
    if (!threePlanes || !platform::range_inside(dataStart, *threePlanes, length))
        return -1;
    std::vector<uint8_t> rows(3 * *rowBytes);
    auto *out = static_cast<uint8_t *>(dest);
    for (size_t y = 0; y < h; ++y) {
        for (size_t k = 0; k < 3; ++k)
            if (!platform::read_at(f, length, dataStart + k * *planeBytes + y * *rowBytes,
                                   rows.data() + k * *rowBytes, *rowBytes))
                return -1;
        uint8_t *row = out + y * *rowBytes;
        const uint8_t *r = rows.data(), *g = r + *rowBytes, *b = g + *rowBytes;
        for (size_t x = 0; x < w; ++x)
            imagecore::put_rgbe(row, int(w), int(x), imagecore::psd_float_decode(r + 4 * x),
                                imagecore::psd_float_decode(g + 4 * x),
                                imagecore::psd_float_decode(b + 4 * x));
    }
    return 0;
}

} // namespace

int getPsdInfo(FILE *f, int *imageInfos)
{
    uint64_t length = 0;
    PsdScan s;
    int status = measure_and_scan(f, length, s);
    // The header fields are recorded as soon as they pass, as a walk that stops early keeps what
    // it found.
    if (s.channels >= 3) {
        imageInfos[kInfoSamples] = s.channels;
        set_slot(imageInfos, kInfoHeight, s.height);
        set_slot(imageInfos, kInfoWidth, s.width);
        imageInfos[kInfoBits] = s.bits;
    }
    if (status < 0)
        return status;
    if (s.hasResolution) {
        imageInfos[kInfoXRes] = s.hres;
        imageInfos[kInfoYRes] = s.vres;
    }
    if (s.hasIcc)
        set_slot(imageInfos, kInfoIccLength, s.iccSize);
    if (s.hasExif)
        set_slot(imageInfos, kInfoExifOffset, s.exifOffset);
    if (s.layerOffset > uint64_t(INT_MAX))
        return -1;
    imageInfos[kInfoLayerOffset] = int(s.layerOffset);
    return int(s.layerOffset);
}

int getPsdInfo(const char *path, int *imageInfos)
{
    platform::FilePtr f = platform::open_file(path, "rb");
    return f ? getPsdInfo(f.get(), imageInfos) : -1;
}

int psd_profile(FILE *f, uint8_t *dest, size_t capacity)
{
    uint64_t length = 0;
    PsdScan s;
    int status = measure_and_scan(f, length, s);
    if (status < 0)
        return status;
    if (!s.hasIcc)
        return 0;
    if (s.iccSize > capacity || s.iccSize > uint32_t(INT_MAX))
        return -3;
    if (s.iccSize == 0)
        return 0;
    if (!dest)
        return -3;
    if (!platform::read_at(f, length, s.iccOffset, dest, s.iccSize))
        return -1;
    return int(s.iccSize);
}

int psd_profile(const char *path, uint8_t *dest, size_t capacity)
{
    platform::FilePtr f = platform::open_file(path, "rb");
    return f ? psd_profile(f.get(), dest, capacity) : -1;
}

int psd_pixels_present(FILE *f, const int *imageInfos, uint64_t *loadBytes)
{
    uint64_t length = 0;
    PixelData d;
    if (!f || !platform::stream_length(f, length))
        return -1;
    const int r = locate_pixels(f, length, imageInfos, d);
    // What load_planes allocates: a plane, and PackBits data whole.
    if (r == 0 && loadBytes) {
        const auto plane = platform::checked_product(
            {imageInfos[kInfoWidth], imageInfos[kInfoHeight], imageInfos[kInfoBits] / 8});
        *loadBytes = plane.value_or(0) + (d.compression == 1 ? length - d.start : 0);
    }
    return r;
}

int psd_pixels_present(const char *path, const int *imageInfos, uint64_t *loadBytes)
{
    platform::FilePtr f = platform::open_file(path, "rb");
    return f ? psd_pixels_present(f.get(), imageInfos, loadBytes) : -1;
}

int load_psd(int channelOrder, FILE *f, const int *imageInfos, int rowLength, void *dest)
{
    const int w = imageInfos[kInfoWidth], h = imageInfos[kInfoHeight];
    if (!f || !dest)
        return -1;
    try {
        uint64_t length = 0;
        PixelData d;
        if (!platform::stream_length(f, length))
            return -1;
        if (int r = locate_pixels(f, length, imageInfos, d); r < 0)
            return r;
        if (imageInfos[kInfoBits] == 32) {
            try {
                int r = load_float(f, length, d.start, size_t(w), size_t(h), dest);
                return r < 0 ? r : h;
            } catch (const std::bad_alloc &) {
                return -1;
            }
        }
        size_t stride = size_t(3) * size_t(w);
        if (rowLength > 0 && size_t(rowLength) > stride)
            stride = size_t(rowLength);
        int r = load_planes(f, length, d, size_t(w), size_t(h), size_t(imageInfos[kInfoBits] / 8),
                            channelOrder, stride, dest);
        return r < 0 ? r : h;
    } catch (const std::bad_alloc &) {
        return -4;
    }
}

int load_psd(int channelOrder, const char *path, const int *imageInfos, int rowLength, void *dest)
{
    platform::FilePtr f = platform::open_file(path, "rb");
    return f ? load_psd(channelOrder, f.get(), imageInfos, rowLength, dest) : -1;
}
