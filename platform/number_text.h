// Numbers as text without the process locale: what sscanf "%d" / "%f" and printf "%.Nf" do in
// the "C" locale, so that a decimal-comma locale changes no byte a file holds and reads every
// file the same way.
#pragma once

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
