// Numbers as text without the process locale: what sscanf "%d" / "%f" and printf "%.Nf" do in
// the "C" locale, so that a decimal-comma locale changes no byte a file holds and reads every
// file the same way.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <string>
#include <string_view>
#include <system_error>

namespace platform {

inline bool is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Where sscanf's number at pos begins: past leading white space and a '+' sign (from_chars
// takes no '+'; a "+-" stays to fail as it does for sscanf).
inline size_t number_start(std::string_view sv, size_t pos)
{
    while (pos < sv.size() && is_space(sv[pos]))
        ++pos;
    if (pos < sv.size() && sv[pos] == '+' && pos + 1 < sv.size() && sv[pos + 1] != '-')
        ++pos;
    return pos;
}

// sscanf "%d" at pos: leading white space, an optional sign, digits. A value outside the int
// range does not parse.
inline bool parse_int(std::string_view sv, size_t pos, int &out, size_t *endPos = nullptr)
{
    pos = number_start(sv, pos);
    if (pos >= sv.size())
        return false;
    int v = 0;
    auto r = std::from_chars(sv.data() + pos, sv.data() + sv.size(), v);
    if (r.ec != std::errc())
        return false;
    out = v;
    if (endPos)
        *endPos = static_cast<size_t>(r.ptr - sv.data());
    return true;
}

// Whether a decimal number's text (as from_chars matched it, sign included) that lies outside a
// type's range is too small for it rather than too large: the power of ten of its first
// significant digit, with the exponent added, is negative.
inline bool below_one(std::string_view num)
{
    const size_t e = std::min(num.find_first_of("eE"), num.size());
    long long power = 0, exponent = 0; // of the first significant digit
    bool point = false;
    for (size_t i = num.starts_with('-') ? 1 : 0; i < e; ++i) {
        if (num[i] == '.') {
            point = true;
        } else if (point) {
            --power; // a place after the point
            if (num[i] != '0')
                break;
        } else if (num[i] != '0') { // the integer digits from it on
            power = static_cast<long long>(std::min(num.find('.', i), e) - i) - 1;
            break;
        }
    }
    if (e < num.size()) {
        std::string_view x = num.substr(e + 1);
        if (x.starts_with('+'))
            x.remove_prefix(1);
        if (std::from_chars(x.data(), x.data() + x.size(), exponent).ec ==
            std::errc::result_out_of_range) // beyond any mantissa's length: its sign decides
            return x.starts_with('-');
    }
    return power + exponent < 0;
}

// from_chars for a float or a double as the number's text reads: one too small for the type is
// its zero (of the text's sign), the nearest value the type has; one too large does not read
// (result_out_of_range, out untouched).
template <class T> std::from_chars_result read_number(const char *first, const char *last, T &out)
{
    T v = 0;
    auto r = std::from_chars(first, last, v, std::chars_format::general);
    if (r.ec == std::errc::result_out_of_range && below_one({first, size_t(r.ptr - first)})) {
        out = *first == '-' ? -T(0) : T(0);
        r.ec = std::errc();
    } else if (r.ec == std::errc()) {
        out = v;
    }
    return r;
}

// sscanf "%f" at pos with the decimal point '.'. A value outside the float range does not parse.
inline bool parse_float(std::string_view sv, size_t pos, float &out)
{
    pos = number_start(sv, pos);
    if (pos >= sv.size())
        return false;
    float v = 0;
    auto r = std::from_chars(sv.data() + pos, sv.data() + sv.size(), v, std::chars_format::general);
    if (r.ec != std::errc())
        return false;
    out = v;
    return true;
}

// printf's "%.<precision>f" appended to s.
inline void append_fixed(std::string &s, double v, int precision)
{
    char buf[512];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, precision);
    s.append(buf, r.ec == std::errc() ? r.ptr : buf);
}

} // namespace platform
