#include "metadata/metadata_utils.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include "imagecore/byte_order.h"

int get_profile_name(int length, const uint8_t *profile, char *out)
{
    std::memset(out, 0, 32);
    if (length < 49 || profile == nullptr)
        return -1;
    static const struct {
        const char *name;
        int len;
    } kNames[] = {{"sRGB", 4}, {"Adobe RGB", 9}, {"ProPhoto RGB", 12}};

    int result = -1;
    for (int i = 32; i < length - 16; ++i) {
        if (std::memcmp(profile + i, "desc", 4) != 0)
            continue;
        // Reserved word and the high bytes of the ASCII count must be zero (count below 256).
        bool zero = true;
        for (int k = 4; k < 11; ++k)
            zero = zero && profile[i + k] == 0;
        if (!zero)
            continue;
        int n = profile[i + 11];
        int text = i + 12;
        for (int off = 0; off < n; ++off) {
            for (const auto &nm : kNames) {
                if (text + off + nm.len <= length &&
                    std::memcmp(profile + text + off, nm.name, static_cast<size_t>(nm.len)) == 0) {
                    std::memset(out, 0, 32);
                    std::memcpy(out, nm.name, static_cast<size_t>(nm.len));
                    return nm.len;
                }
            }
        }
        if (result < 0) {
            int avail = length - text;
            std::memcpy(out, profile + text, static_cast<size_t>(avail < 32 ? avail : 32));
            result = 32;
        }
    }
    return result;
}

int time_from_datetime(const char *text, time_t now, float *seconds)
{
    int y, mo, d, h, mi, s;
    if (text == nullptr || std::sscanf(text, "%d:%d:%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s) != 6)
        return -1;
    // A year or month at the bottom of the int range (a hostile text) must not overflow; such a
    // date lies before the epoch and is refused below anyway.
    if (y < INT_MIN + 1900 || mo == INT_MIN)
        return -1;
    struct tm t;
    std::memset(&t, 0, sizeof t);
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    t.tm_isdst = -1;
    time_t taken = std::mktime(&t);
    // A failed conversion returns -1; a capture at or before the epoch is no real date either.
    if (taken <= 0)
        return -1;
    *seconds = static_cast<float>(std::difftime(now, taken));
    return 1;
}

uint64_t iptc_record_length(const uint8_t *data, size_t size, uint64_t blockLen)
{
    size = size_t(std::min<uint64_t>(size, blockLen));
    if (data == nullptr || size < 5 || data[0] != 0x1C)
        return 0;
    const uint16_t word = imagecore::read_be16(data + 3);
    uint64_t head = 5, length = word;
    if (word & 0x8000) {
        const size_t n = word & 0x7FFF;
        if (n < 1 || n > 4 || 5 + n > size)
            return 0;
        length = 0;
        for (size_t i = 0; i < n; ++i)
            length = length << 8 | data[5 + i];
        head += n;
    }
    return length <= blockLen - head ? head + length : 0;
}

uint64_t iptc_records_length(const uint8_t *data, size_t size, uint64_t blockLen)
{
    if (data == nullptr)
        return 0;
    uint64_t at = 0;
    while (at < size) {
        const uint64_t n = iptc_record_length(data + at, size_t(size - at), blockLen - at);
        if (n == 0)
            break;
        at += n;
    }
    return at;
}
