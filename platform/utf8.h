// Well-formed UTF-8 as Unicode defines it, for the texts the program passes on (packet text,
// messages on a terminal): overlong forms, surrogates and values past U+10FFFF are ill-formed.
#pragma once

#include <cstddef>
#include <string_view>

namespace platform {

// The length of the well-formed UTF-8 character that opens s (not empty), or 0 when it is
// ill-formed; then `bad` is the length of its longest prefix that could start a well-formed
// character (at least 1), which a caller replaces or escapes as one unit. The excluded forms are
// told by the second byte's range.
inline size_t utf8_char(std::string_view s, size_t &bad)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned lead = byte(0);
    if (lead < 0x80)
        return 1;
    size_t follow = 0;
    unsigned lo = 0x80, hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF)
        follow = 1;
    else if (lead == 0xE0)
        follow = 2, lo = 0xA0;
    else if (lead == 0xED)
        follow = 2, hi = 0x9F;
    else if (lead >= 0xE1 && lead <= 0xEF)
        follow = 2;
    else if (lead == 0xF0)
        follow = 3, lo = 0x90;
    else if (lead == 0xF4)
        follow = 3, hi = 0x8F;
    else if (lead >= 0xF1 && lead <= 0xF3)
        follow = 3;
    else { // a continuation byte, C0, C1 or F5..FF
        bad = 1;
        return 0;
    }
    for (size_t i = 1; i <= follow; ++i) {
        if (i >= s.size() || byte(i) < lo || byte(i) > hi) {
            bad = i;
            return 0;
        }
        lo = 0x80, hi = 0xBF;
    }
    return follow + 1;
}

} // namespace platform
