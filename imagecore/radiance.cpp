// Radiance RGBE pieces. The run-length coder codes only repeats of 5 bytes or more as runs and
// keeps literals as long as it can; readers of other programs take any valid packet sequence.
#include "imagecore/radiance.h"

#include <cstring>

#include "imagecore/byte_order.h"
#include "platform/number_text.h"

namespace imagecore {

namespace {

constexpr int kMinRun = 5;
constexpr int kMaxPacket = 127;

// A two-character tag ("-Y", "+X") at pos, then a number as sscanf's %d reads it; pos moves
// past the number.
bool tagged_int(std::string_view sv, size_t &pos, char sign, char axis, int &v)
{
    if (pos + 1 >= sv.size() || sv[pos] != sign || sv[pos + 1] != axis)
        return false;
    return platform::parse_int(sv, pos + 2, v, &pos);
}

} // namespace

bool radiance_resolution(const char *line, int *height, int *width)
{
    const std::string_view sv(line);
    size_t pos = 0;
    int h = 0, w = 0;
    if (!tagged_int(sv, pos, '-', 'Y', h))
        return false;
    while (pos < sv.size() && platform::is_space(sv[pos]))
        ++pos;
    if (!tagged_int(sv, pos, '+', 'X', w))
        return false;
    *height = h;
    *width = w;
    return true;
}

std::string radiance_header(std::string_view lines, int height, int width)
{
    std::string s = "#?RADIANCE\n";
    s += lines;
    s += "FORMAT=32-bit_rle_rgbe\n\n-Y ";
    s += std::to_string(height);
    s += " +X ";
    s += std::to_string(width);
    s += '\n';
    return s;
}

bool radiance_peek_layout(FILE *f, RadianceLayout *layout)
{
    const long here = std::ftell(f);
    uint8_t b[4];
    if (here < 0 || std::fread(b, 1, 4, f) != 4 || std::fseek(f, here, SEEK_SET) != 0)
        return false;
    *layout =
        b[0] == 2 && b[1] == 2 && b[2] < 128 ? RadianceLayout::kRunLength : RadianceLayout::kFlat;
    return true;
}

ScanlineResult radiance_read_rle_row(FILE *f, int width, uint8_t *row)
{
    uint8_t head[4];
    if (std::fread(head, 1, 4, f) != 4)
        return ScanlineResult::kShortHeader;
    if (head[2] & 0x80)
        return ScanlineResult::kHighWidthByte;
    if (read_be16(head + 2) != width)
        return ScanlineResult::kWidthMismatch;
    for (int c = 0; c < 4; ++c) {
        uint8_t *d = row + size_t(c) * size_t(width);
        for (int x = 0; x < width;) {
            const int count = std::getc(f);
            if (count == EOF)
                return ScanlineResult::kEndAtPacket;
            if (count == 0)
                return ScanlineResult::kZeroCount;
            const int n = count > 128 ? count - 128 : count;
            if (n > width - x)
                return count > 128 ? ScanlineResult::kRunPastEnd : ScanlineResult::kPastComponent;
            if (count > 128) {
                const int v = std::getc(f);
                if (v == EOF)
                    return ScanlineResult::kEndInPacket;
                std::memset(d + x, v, size_t(n));
            } else if (std::fread(d + x, 1, size_t(n), f) != size_t(n)) {
                return ScanlineResult::kEndInPacket;
            }
            x += n;
        }
    }
    return ScanlineResult::kOk;
}

bool radiance_read_flat_row(FILE *f, int width, uint8_t *row, uint8_t *work)
{
    const size_t w = size_t(width);
    if (std::fread(work, 4, w, f) != w)
        return false;
    for (size_t x = 0; x < w; ++x)
        for (size_t c = 0; c < 4; ++c)
            row[c * w + x] = work[4 * x + c];
    return true;
}

size_t radiance_rle_encode(const uint8_t *d, int n, uint8_t *out)
{
    size_t o = 0;
    auto literal = [&](int cur, int len) {
        out[o++] = uint8_t(len);
        std::memcpy(out + o, d + cur, size_t(len));
        o += size_t(len);
    };
    int cur = 0, len = 0;
    while (cur < n) {
        while (len < kMaxPacket && cur + len + 1 < n && d[cur + len] != d[cur + len + 1])
            ++len;
        const int p = cur + len;
        if (p + 1 < n && d[p] == d[p + 1]) {
            int run = 2;
            while (run < kMaxPacket && p + run < n && d[p + run] == d[p])
                ++run;
            if (run >= kMinRun) {
                if (len > 0)
                    literal(cur, len);
                cur += len;
                out[o++] = uint8_t(128 + run);
                out[o++] = d[cur];
                cur += run;
                len = 0;
                continue;
            }
            len = len + run < kMaxPacket ? len + run : kMaxPacket;
        } else if (p + 1 >= n) {
            ++len; // the component's last byte joins the literal, which may reach 128
        }
        if (cur + len >= n || len >= kMaxPacket) {
            literal(cur, len);
            cur += len;
            len = 0;
        }
    }
    return o;
}

size_t radiance_row_work(int width)
{
    return size_t(width) * (radiance_flat_width(width) ? 4 : 2);
}

RowWriteResult radiance_write_row(FILE *f, const uint8_t *row, int width, uint8_t *work)
{
    const size_t w = size_t(width);
    if (radiance_flat_width(width)) {
        for (size_t x = 0; x < w; ++x)
            for (size_t c = 0; c < 4; ++c)
                work[4 * x + c] = row[c * w + x];
        return std::fwrite(work, 4, w, f) == w ? RowWriteResult::kOk : RowWriteResult::kFlatFailed;
    }
    const uint8_t head[4] = {2, 2, uint8_t(width >> 8), uint8_t(width & 255)};
    if (std::fwrite(head, 1, 4, f) != 4)
        return RowWriteResult::kRunLengthFailed;
    for (size_t c = 0; c < 4; ++c) {
        const size_t n = radiance_rle_encode(row + c * w, width, work);
        if (std::fwrite(work, 1, n, f) != n)
            return RowWriteResult::kRunLengthFailed;
    }
    return RowWriteResult::kOk;
}

} // namespace imagecore
