// Exposure fields of the ImageDescription text. A hand-rolled scanner rather than sscanf: the
// field layout is positional and the numbers carry unit letters glued to them.
#include "metadata/image_description.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <string_view>
#include <vector>

#include "imagecore/float_clamp.h"
#include "platform/file_holder.h"

namespace {

// A run of this many characters or more is no number of this text; it stops all parsing.
constexpr size_t kLongRun = 7;

struct Scan {
    std::string_view text;
    int numerator = 0, denominator = 0;
    int gain[3] = {-1, -1, -1}; // R, G, B
    int last = 0;
    bool stop = false;

    bool separator_at(size_t i) const
    {
        return i + 1 < text.size() && text[i] == ',' && text[i + 1] == ' ';
    }
    size_t field_end(size_t from) const
    {
        size_t i = from;
        while (i < text.size() && !separator_at(i))
            ++i;
        return i;
    }
    // First position at or after `from` holding one of the stop characters (or the end).
    size_t run_end(size_t from, std::string_view stops) const
    {
        size_t i = from;
        while (i < text.size() && stops.find(text[i]) == std::string_view::npos)
            ++i;
        return i;
    }
    // The decimal value of the digits after the run's last '.'; other characters are ignored.
    // Runs are shorter than kLongRun, so the value fits an int.
    int value(size_t from, size_t to) const
    {
        size_t start = from;
        for (size_t i = from; i < to; ++i)
            if (text[i] == '.')
                start = i + 1;
        int v = 0;
        for (size_t i = start; i < to; ++i)
            if (text[i] >= '0' && text[i] <= '9')
                v = v * 10 + (text[i] - '0');
        return v;
    }

    void exposure_field(size_t from)
    {
        size_t end = field_end(from);
        for (size_t j = from; j < end && !stop; ++j) {
            char c = text[j];
            if (numerator != 0 || c == ' ')
                continue;
            size_t k = j;
            if (c != '/' && c != 's') {
                // A comma ends a number too: "1/250, " must not read the comma as a digit.
                size_t e = run_end(j, " /s,");
                if (e - j >= kLongRun) {
                    stop = true;
                    return;
                }
                numerator = value(j, e);
                k = e;
            }
            if (k < text.size() && text[k] == '/' && k + 1 < text.size() && text[k + 1] != 's' &&
                text[k + 1] != ' ') {
                size_t e = run_end(k + 1, " s,");
                if (e - (k + 1) >= kLongRun) {
                    stop = true;
                    return;
                }
                denominator = value(k + 1, e);
                k = e;
            }
            j = std::max(j, k > 0 ? k - 1 : 0);
        }
    }

    void gains_field(size_t from)
    {
        size_t end = field_end(from);
        for (size_t j = from; j < end && !stop; ++j) {
            int channel = text[j] == 'R' ? 0 : text[j] == 'G' ? 1 : text[j] == 'B' ? 2 : -1;
            if (channel < 0)
                continue;
            size_t e = run_end(j + 1, " .,");
            size_t len = e - (j + 1);
            int v = 0;
            if (len > kLongRun - 1)
                stop = true;
            else if (len > 0)
                v = value(j + 1, e);
            gain[channel] = v;
            last = v;
            if (channel == 2)
                stop = true;
        }
    }
};

} // namespace

int parse_image_description(FILE *f, int64_t length, ExifInfo *info)
{
    if (f == nullptr || info == nullptr)
        return -3;
    if (length < 0)
        return -1;
    // A count larger than what is left of the file is a short read: refuse before allocating.
    long here = std::ftell(f);
    long size = platform::file_length(f);
    if (here < 0 || size < 0 || length > size - here)
        return -1;

    std::vector<char> buf;
    try {
        buf.assign(static_cast<size_t>(length) + 1, '\0');
    } catch (const std::bad_alloc &) {
        return -1;
    }
    if (length > 0 &&
        std::fread(buf.data(), 1, static_cast<size_t>(length), f) != static_cast<size_t>(length))
        return -1;

    Scan s;
    s.text = std::string_view(buf.data(), static_cast<size_t>(length));
    int field = 1;
    bool sawSeparator = false;
    for (size_t i = 0; i < s.text.size() && field <= 10; ++i) {
        if (!s.separator_at(i))
            continue;
        sawSeparator = true;
        if (field == 7) {
            if (!s.stop)
                s.exposure_field(i + 2);
            field = 8;
        } else if (field >= 8 && field <= 10) {
            if (!s.stop)
                s.gains_field(i + 2);
            ++field;
        } else {
            ++field;
        }
    }

    const int r = s.gain[0], g = s.gain[1], b = s.gain[2];
    if (sawSeparator && r >= 0 && g >= 0 && b >= 0) {
        if (s.denominator > 0)
            info->exposureTime =
                static_cast<float>(s.numerator) / static_cast<float>(s.denominator);
        double m = std::rint((std::max({r, g, b}) + std::min({r, g, b})) * 0.5);
        // Gains of up to six digits overflow any ISO; saturate instead of wrapping.
        info->iso = imagecore::clamp_to_int(std::rint(std::exp2(m / 30)) * 200);
        if (s.denominator > 0 && s.numerator >= 1 && s.numerator <= 99998 && s.last >= 1 &&
            s.last <= 99998)
            info->sourceFlag = 2;
    }
    return s.last;
}
