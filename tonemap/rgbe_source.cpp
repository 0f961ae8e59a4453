// Radiance files for the out-of-core mode, on the shared header and scanline pieces.
#include "tonemap/rgbe_source.h"

#include <climits>
#include <cstring>
#include <new>
#include <string_view>

#include "platform/checked_size.h"
#include "platform/number_text.h"
#include "tonemap/detail/radiance_rows.h"

namespace {

using imagecore::ScanlineResult;

// fgets limits: the reader takes lines of up to 128 characters, the size scan 127.
constexpr int kReaderLineSize = 129;
constexpr int kHeaderLineSize = imagecore::kRadianceLineSize;
constexpr float kDefaultPrimaries[8] = {0.648431f, 0.330856f, 0.321152f, 0.597871f,
                                        0.155886f, 0.066044f, 0.3101f,   0.3162f};

int scanline_code(ScanlineResult r)
{
    switch (r) {
    case ScanlineResult::kOk:
        return 0;
    case ScanlineResult::kShortHeader:
        return -2;
    case ScanlineResult::kEndAtPacket:
    case ScanlineResult::kEndInPacket:
        return -1;
    case ScanlineResult::kWidthMismatch:
        return -4;
    case ScanlineResult::kRunPastEnd:
        return -5;
    case ScanlineResult::kHighWidthByte:
    case ScanlineResult::kZeroCount:
    case ScanlineResult::kPastComponent:
        return -6;
    }
    return -2;
}

// "PRIMARIES=" and eight numbers, as sscanf with eight %f reads them.
bool primaries_line(const char *line, float *v)
{
    constexpr std::string_view kTag = "PRIMARIES=";
    const std::string_view sv(line);
    if (sv.substr(0, kTag.size()) != kTag)
        return false;
    size_t pos = kTag.size();
    for (int i = 0; i < 8; ++i) {
        pos = platform::number_start(sv, pos);
        size_t end = pos;
        while (end < sv.size() && !platform::is_space(sv[end]))
            ++end;
        if (!platform::parse_float(sv.substr(0, end), pos, v[i]))
            return false;
        pos = end;
    }
    return true;
}

} // namespace

namespace tonemap::detail {

long radiance_header_lines(long size)
{
    return size < 12801 ? size / 128 : 100;
}

int RadianceRows::open(const char *path, int width, int height)
{
    m_file = platform::open_file(path, "rb");
    if (!m_file)
        return -1;
    const long size = platform::file_length(m_file.get());
    if (size < 0)
        return -2;
    int h = 0, w = 0;
    const long line = imagecore::radiance_scan_header(m_file.get(), radiance_header_lines(size),
                                                      kReaderLineSize, &h, &w, [](const char *) {});
    if (line < 0)
        return -2;
    if (w != width || h != height)
        return -3;
    m_width = width;
    if (!imagecore::radiance_peek_layout(m_file.get(), &m_layout))
        return -2;
    if (m_layout == imagecore::RadianceLayout::kFlat) {
        try {
            m_work.resize(4 * size_t(width));
        } catch (const std::bad_alloc &) {
            return -4;
        }
    }
    return 0;
}

int RadianceRows::next(uint8_t *row)
{
    if (m_layout == imagecore::RadianceLayout::kRunLength)
        return scanline_code(imagecore::radiance_read_rle_row(m_file.get(), m_width, row));
    return imagecore::radiance_read_flat_row(m_file.get(), m_width, row, m_work.data()) ? 0 : -2;
}

} // namespace tonemap::detail

int decomp2(const char *path, const int *info, uint8_t *out)
{
    if (!info || !out || info[0] < 1 || info[1] < 1 ||
        !platform::image_bytes(info[0], info[1], 4, 1))
        return -3;
    tonemap::detail::RadianceRows rows;
    if (const int rc = rows.open(path, info[0], info[1]); rc < 0)
        return rc;
    const size_t rowBytes = 4 * size_t(info[0]);
    for (int y = 0; y < info[1]; ++y)
        if (const int rc = rows.next(out + size_t(y) * rowBytes); rc < 0)
            return rc;
    return info[1];
}

int decomp_rle(const char *path, const int *info, uint8_t *out)
{
    return decomp2(path, info, out);
}

int rgbe_dim2(const char *path, float *primaries, int *info)
{
    if (!primaries || !info)
        return -1;
    platform::FilePtr f = platform::open_file(path, "rb");
    const long size = f ? platform::file_length(f.get()) : -1;
    if (size < 0)
        return -1;
    float read[8];
    bool found = false;
    int h = 0, w = 0;
    const long line =
        imagecore::radiance_scan_header(f.get(), tonemap::detail::radiance_header_lines(size),
                                        kHeaderLineSize, &h, &w, [&](const char *text) {
                                            float v[8];
                                            if (primaries_line(text, v)) {
                                                std::memcpy(read, v, sizeof read);
                                                found = true;
                                            }
                                        });
    if (line == imagecore::kHeaderEnd)
        return -2;
    // A size of 0 or less is no image: later stages would size buffers by it.
    if (line == imagecore::kHeaderNoResolution || w < 1 || h < 1)
        return -3;
    info[0] = w;
    info[1] = h;
    info[2] = size > INT_MAX ? INT_MAX : int(size);
    if (found)
        info[6] = 32;
    for (int i = 0; i < 8; ++i)
        primaries[i] = info[6] > 0 ? (found ? read[i] : kDefaultPrimaries[i]) : 0.0f;
    return int(line);
}
