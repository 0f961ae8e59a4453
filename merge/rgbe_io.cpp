// Radiance RGBE files to and from rgbeBufs, built on the format pieces of imagecore/radiance.h.
// Every path holds its file and scratch in RAII holders, so each return closes and frees.
#include "merge/rgbe_io.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "imagecore/radiance.h"
#include "merge/detail/clean_up.h"
#include "metadata/exif_records.h"
#include "platform/checked_size.h"
#include "platform/file_holder.h"
#include "platform/number_text.h"

namespace {

using imagecore::RadianceLayout;
using imagecore::ScanlineResult;

constexpr int kVerbose = 0;
constexpr int kHeaderLines = 100;
constexpr int kModelBytes = 64;
constexpr int kDateBytes = 20;
constexpr int kIccNameBytes = 32;
constexpr int32_t kRationalScale = 100000;

__attribute__((format(printf, 1, 2))) void say(const char *format, ...)
{
    if (!kVerbose)
        return;
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}

bool starts_with(const char *line, std::string_view prefix)
{
    return std::strncmp(line, prefix.data(), prefix.size()) == 0;
}

// ---------------------------------------------------------------------------------------------
// Metadata scan

// The characters after the prefix up to the line feed, at most size of them, into a zeroed
// buffer; stored into the record only when there was at least one. The buffer is cleared for
// every line so that a shorter second line keeps no tail of the first.
void copy_text(const char *text, int32_t *slots, int size)
{
    char buf[kModelBytes] = {};
    int n = 0;
    while (n < size && text[n] != '\0' && text[n] != '\n') {
        buf[n] = text[n];
        ++n;
    }
    if (n > 0)
        std::memcpy(slots, buf, size_t(size));
}

void store_rational(const char *line, size_t prefix, int32_t *slots)
{
    float v = 0;
    if (platform::parse_float(line, prefix, v))
        rational_from_float(v, &slots[0], &slots[1], kRationalScale, RationalOverflow::kRefuse);
}

void scan_metadata_line(const char *line, int32_t *exifBuf)
{
    if (starts_with(line, "CAMERA="))
        copy_text(line + 7, &exifBuf[kExifModel], kModelBytes);
    if (starts_with(line, "CAPDATE="))
        copy_text(line + 8, &exifBuf[kExifDateTime], kDateBytes);
    if (starts_with(line, "ICC_PROFILE=")) {
        const char *name = line + 12;
        if (starts_with(name, "sRGB"))
            exifBuf[7] = 0;
        else if (starts_with(name, "Adobe RGB"))
            exifBuf[7] = 1;
        else if (starts_with(name, "ProPhoto RGB"))
            exifBuf[7] = 2;
    }
    if (starts_with(line, "SHUTTER="))
        store_rational(line, 8, &exifBuf[kExifExposureNum]);
    if (starts_with(line, "APERTURE="))
        store_rational(line, 9, &exifBuf[kExifFNumberNum]);
    int iso = 0;
    if (starts_with(line, "ISO=") && platform::parse_int(line, 4, iso))
        exifBuf[kExifIso] = iso;
    if (starts_with(line, "FOCAL_LENGTH="))
        store_rational(line, 13, &exifBuf[kExifFocalNum]);
}

// ---------------------------------------------------------------------------------------------
// Readers

// Result codes of one scanline, for the full read (end of file -1, short header -1) and the
// reduced read (end of file -5, short header -2).
int scanline_code(ScanlineResult r, int endOfFile, int shortHeader)
{
    switch (r) {
    case ScanlineResult::kOk:
        return 0;
    case ScanlineResult::kShortHeader:
        return shortHeader;
    case ScanlineResult::kHighWidthByte:
        return -201;
    case ScanlineResult::kWidthMismatch:
        return -4;
    case ScanlineResult::kEndAtPacket:
    case ScanlineResult::kEndInPacket:
        return endOfFile;
    case ScanlineResult::kZeroCount:
    case ScanlineResult::kPastComponent:
    case ScanlineResult::kRunPastEnd:
        return -202;
    }
    return endOfFile;
}

int read_rgbe(int width, int height, const char *path, uint8_t *out)
{
    platform::FilePtr f = platform::open_file(path, "rb");
    if (!f)
        return -1;
    int h = 0, w = 0;
    const long line = imagecore::radiance_scan_header(
        f.get(), kHeaderLines, imagecore::kRadianceLineSize, &h, &w, [](const char *) {});
    if (line == imagecore::kHeaderEnd)
        return -1;
    if (line == imagecore::kHeaderNoResolution || w != width || h != height)
        return -200;
    RadianceLayout layout;
    if (!imagecore::radiance_peek_layout(f.get(), &layout))
        return -1;
    const size_t rowBytes = 4 * size_t(width);
    if (layout == RadianceLayout::kRunLength) {
        for (int y = 0; y < height; ++y) {
            const int r = scanline_code(
                imagecore::radiance_read_rle_row(f.get(), width, out + rowBytes * size_t(y)), -1,
                -1);
            if (r)
                return r;
        }
        return height;
    }
    std::vector<uint8_t> work(rowBytes);
    for (int y = 0; y < height; ++y)
        if (!imagecore::radiance_read_flat_row(f.get(), width, out + rowBytes * size_t(y),
                                               work.data()))
            return -1;
    return height;
}

// The source row or column that output index k takes: trunc(k x scale) in single precision,
// kept inside the source.
int source_index(int k, float scale, int limit)
{
    const float v = float(k) * scale;
    return v < float(limit) ? int(v) : limit - 1;
}

int read_preview(int srcW, int srcH, int outW, int outH, const char *path, uint8_t *out)
{
    const float scaleX = float(srcW) / float(outW), scaleY = float(srcH) / float(outH);
    platform::FilePtr f = platform::open_file(path, "rb");
    if (!f) {
        say("kv_io_read_preview_rgbe - could not open input Radiance file");
        return -1;
    }
    if (std::fseek(f.get(), 0, SEEK_END) != 0) {
        say("kv_io_read_preview_rgbe -  fseek SEEK_SET SEEK_END failed");
        return -2;
    }
    const long size = std::ftell(f.get());
    if (size < 0 || std::fseek(f.get(), 0, SEEK_SET) != 0) {
        say("kv_io_read_preview_rgbe - fseek 0 SEEK_SET failed");
        return -2;
    }
    const long lineMax = size / 128 - 128;
    if (lineMax < 2) {
        say("kv_io_read_preview_rgbe - ligneMax: %ld \n", lineMax);
        return -3;
    }
    int h = 0, w = 0;
    const long line = imagecore::radiance_scan_header(
        f.get(), lineMax, imagecore::kRadianceLineSize, &h, &w, [](const char *) {});
    if (line == imagecore::kHeaderEnd) {
        say("kv_io_read_preview_rgbe - fgets failed");
        return -2;
    }
    if (line == imagecore::kHeaderNoResolution || w != srcW || h != srcH)
        return -200;
    RadianceLayout layout;
    if (!imagecore::radiance_peek_layout(f.get(), &layout)) {
        say("kv_io_read_preview_rgbe - fread failed");
        return -2;
    }

    const size_t srcRow = 4 * size_t(srcW), outRow = 4 * size_t(outW);
    // Refused before the row buffer is had, with the code the first row would give: a header
    // may claim any width.
    if (layout == RadianceLayout::kRunLength && srcW > imagecore::kRadianceMaxRleWidth)
        return -4;
    const long here = std::ftell(f.get());
    if (layout == RadianceLayout::kFlat && (here < 0 || srcRow > size_t(size - here))) {
        say("kv_io_read_preview_rgbe - fread failed for row: %d\n", 0);
        return -2;
    }
    std::vector<uint8_t> row(srcRow), work(layout == RadianceLayout::kFlat ? srcRow : 0);
    std::vector<int> columns(static_cast<size_t>(outW));
    for (int i = 0; i < outW; ++i)
        columns[size_t(i)] = source_index(i, scaleX, srcW);

    int j = 0;
    for (int r = 0; r < srcH; ++r) {
        if (layout == RadianceLayout::kRunLength) {
            const int code =
                scanline_code(imagecore::radiance_read_rle_row(f.get(), srcW, row.data()), -5, -2);
            if (code == -5)
                say("kv_io_read_preview_rgbe - EOF for row: %d\n", r);
            else if (code == -2)
                say("kv_io_read_preview_rgbe - fread failed for row: %d\n", r);
            if (code)
                return code;
        } else if (j >= outH) {
            break; // every output row is filled: the rest of a flat file is not needed
        } else if (!imagecore::radiance_read_flat_row(f.get(), srcW, row.data(), work.data())) {
            say("kv_io_read_preview_rgbe - fread failed for row: %d\n", r);
            return -2;
        }
        // A while, not an if: should rounding ever give two output rows one source row, both
        // are filled.
        while (j < outH && source_index(j, scaleY, srcH) == r) {
            uint8_t *o = out + outRow * size_t(j);
            for (size_t c = 0; c < 4; ++c)
                for (int i = 0; i < outW; ++i)
                    o[c * size_t(outW) + size_t(i)] =
                        row[c * size_t(srcW) + size_t(columns[size_t(i)])];
            ++j;
        }
    }
    return srcH;
}

// ---------------------------------------------------------------------------------------------
// Writers

// A text of up to size bytes, ended by its first zero byte or line feed: a line feed inside
// would start a header line of its own.
std::string_view header_text(const char *bytes, size_t size)
{
    size_t n = 0;
    while (n < size && bytes[n] != '\0' && bytes[n] != '\n')
        ++n;
    return {bytes, n};
}

void append_line(std::string &s, std::string_view key, std::string_view text)
{
    s += key;
    s += text;
    s += '\n';
}

void append_quotient(std::string &s, std::string_view key, int32_t num, int32_t den, int digits)
{
    if (num > 0 && den > 0) {
        s += key;
        platform::append_fixed(s, double(float(num) / float(den)), digits);
        s += '\n';
    }
}

void append_count(std::string &s, std::string_view key, int32_t v)
{
    if (v > 0)
        append_line(s, key, std::to_string(v));
}

std::string metadata_lines(const int32_t *exifBuf, const char *iccName)
{
    std::string s;
    if (exifBuf) {
        char model[kModelBytes], date[kDateBytes];
        std::memcpy(model, &exifBuf[kExifModel], sizeof model);
        std::memcpy(date, &exifBuf[kExifDateTime], sizeof date);
        if (model[0] != '\0')
            append_line(s, "CAMERA=", header_text(model, sizeof model));
        if (date[0] != '\0')
            append_line(s, "CAPDATE=", header_text(date, sizeof date));
    }
    if (iccName && uint8_t(iccName[0]) >= 1 && uint8_t(iccName[0]) <= 127)
        append_line(s, "ICC_PROFILE=", header_text(iccName, strnlen(iccName, kIccNameBytes)));
    if (exifBuf) {
        append_quotient(s, "SHUTTER=", exifBuf[kExifExposureNum], exifBuf[kExifExposureDen], 6);
        append_quotient(s, "APERTURE=", exifBuf[kExifFNumberNum], exifBuf[kExifFNumberDen], 2);
        append_count(s, "ISO=", exifBuf[kExifIso]);
        append_quotient(s, "FOCAL_LENGTH=", exifBuf[kExifFocalNum], exifBuf[kExifFocalDen], 2);
        append_count(s, "35MM_EQUIV=", exifBuf[kExifFocal35]);
        append_quotient(s, "FOCAL_PLANE_XRESOLUTION=", exifBuf[kExifFocalPlaneXResNum],
                        exifBuf[kExifFocalPlaneXResDen], 2);
        append_count(s, "FOCAL_PLANE_RESOLUTIONUNIT=", exifBuf[kExifFocalPlaneUnit]);
    }
    return s;
}

// Writes the header (when not empty) and rows of the rgbeBuf to f, which the call closes.
int write_rows(platform::FilePtr f, const std::string &header, const uint8_t *rgbe, int width,
               int rows)
{
    if (!header.empty() && std::fwrite(header.data(), 1, header.size(), f.get()) != header.size())
        return -1;
    std::vector<uint8_t> work;
    try {
        work.resize(imagecore::radiance_row_work(width));
    } catch (const std::bad_alloc &) {
        return -4;
    }
    for (int y = 0; y < rows; ++y) {
        switch (imagecore::radiance_write_row(f.get(), rgbe + 4 * size_t(width) * size_t(y), width,
                                              work.data())) {
        case imagecore::RowWriteResult::kOk:
            break;
        case imagecore::RowWriteResult::kRunLengthFailed:
            return -1;
        case imagecore::RowWriteResult::kFlatFailed:
            say("kv_io_rgbe_write uncompressed failed on line %d\n", y);
            return -2;
        }
    }
    // Buffered bytes meet a full disk only here.
    return std::fclose(f.release()) == 0 ? rows : -1;
}

} // namespace

int extract_rgbe_exif(const char *path, int32_t *exifBuf)
{
    if (!path || !exifBuf)
        return -3;
    platform::FilePtr f = platform::open_file(path, "rb");
    if (!f)
        return -1;
    exifBuf[7] = -1;
    int h = 0, w = 0;
    const long line = imagecore::radiance_scan_header(
        f.get(), kHeaderLines, imagecore::kRadianceLineSize, &h, &w,
        [exifBuf](const char *text) { scan_metadata_line(text, exifBuf); });
    if (line == imagecore::kHeaderEnd)
        return -1;
    return line == imagecore::kHeaderNoResolution ? kHeaderLines : int(line);
}

int kv_io_read_rgbe(int width, int height, const char *path, uint8_t *out)
{
    if (height < 1)
        return 0;
    if (!path || !out || width < 1 || !platform::checked_product({width, height, 4}))
        return -3;
    try {
        return read_rgbe(width, height, path, out);
    } catch (const std::bad_alloc &) {
        return -4;
    }
}

int kv_io_read_preview_rgbe(int srcWidth, int srcHeight, int outWidth, int outHeight,
                            const char *path, uint8_t *out)
{
    if (srcHeight < 1)
        return 0;
    if (!path || !out || outWidth < 1 || outWidth > srcWidth || outHeight < 1 ||
        outHeight > srcHeight || !platform::checked_product({srcWidth, 4}) ||
        !platform::checked_product({outWidth, outHeight, 4}))
        return -3;
    try {
        return read_preview(srcWidth, srcHeight, outWidth, outHeight, path, out);
    } catch (const std::bad_alloc &) {
        return -4;
    }
}

int kv_io_rgbe_write(const char *path, int width, int height, const int32_t *exifBuf,
                     const char *iccName, const uint8_t *rgbe)
{
    if (!path || !rgbe || !platform::image_bytes(width, height, 4, 1))
        return -3;
    try {
        platform::FilePtr f = platform::open_file(path, "wb");
        if (!f)
            return -1;
        const std::string header = imagecore::radiance_header(
            metadata_lines(exifBuf, iccName) + "Generated with Kestrovald Zenit 4.0 for Mac OS X\n",
            height, width);
        return write_rows(std::move(f), header, rgbe, width, height);
    } catch (const std::bad_alloc &) {
        return -4;
    }
}

int kv_write_strip_rgbe(const char *path, int strip, int rowsPerStrip, int width, int height,
                        const uint8_t *rows)
{
    if (!path || !rows || strip < 0 || rowsPerStrip < 1 ||
        !platform::image_bytes(width, height, 4, 1))
        return -3;
    const int64_t first = int64_t(strip) * rowsPerStrip;
    const int64_t count = height - first < rowsPerStrip ? height - first : rowsPerStrip;
    if (count <= 0)
        return 0;
    try {
        platform::FilePtr f = platform::open_file(path, strip == 0 ? "wb" : "ab");
        if (!f)
            return -1;
        const std::string header =
            strip == 0 ? imagecore::radiance_header(
                             "# Generated by Kestrovald Zenit v4.0 for Mac OS X\n", height, width)
                       : std::string();
        return write_rows(std::move(f), header, rows, width, int(count));
    } catch (const std::bad_alloc &) {
        return -4;
    }
}

int replaceOutliersWithMinMax(int n, const float *minima, const float *maxima, const char *path,
                              int width, int height, uint8_t *out)
{
    if (height < 1)
        return 0;
    if (!minima || !maxima)
        return -3;
    float mn = minima[0], mx = maxima[0];
    for (int i = 1; i < n; ++i) {
        if (minima[i] < mn)
            mn = minima[i];
        if (maxima[i] > mx)
            mx = maxima[i];
    }
    const int r = kv_io_read_rgbe(width, height, path, out);
    if (r < 0)
        return r;
    merge::detail::clean_up(out, width, height, merge::detail::grey_rgbe(mn),
                            merge::detail::grey_rgbe(mx));
    return r;
}
