// Writer and reader of the settings packet. Numbers go through to_chars / from_chars so that a
// decimal-comma locale changes no byte of a packet and reads every packet the same way.
#include "metadata/xmp_settings.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "imagecore/float_clamp.h"
#include "platform/file_holder.h"
#include "platform/number_text.h"

namespace {

using platform::append_fixed;
using platform::parse_float;
using platform::parse_int;
using std::string_view;
constexpr size_t npos = string_view::npos;

constexpr string_view kXmpMetaNs = metadata::kXmpMetaNamespace;
constexpr string_view kRdfNs = metadata::kRdfNamespace;
constexpr string_view kAuxNs = "http://ns.adobe.com/exif/1.0/aux/";

enum Kind {
    kVersionValue,  // written "%1.1f"; read "%d" up to version 2, "%f" after
    kRealValue,     // written "%1.1f"; read "%f"
    kClipValue,     // written "%f"; read "%f"
    kSmoothingMode, // slot 16: "Slider" / "Light"
    kSmoothing,     // slot 17 (slider mode) or the level word of slot 5 (light mode)
    kMicrocontrast, // version value, or a word in packets up to version 2.4
    kMicrosmoothing,
    kGamma, // slot 8 shown as the gamma 2^((50 - v) / 50)
};

struct Element {
    const char *name;
    int slot;
    Kind kind;
};

constexpr Element kDeredid[] = {
    {"kvtm:Strength", 1, kVersionValue},
    {"kvtm:ColorSaturation", 2, kVersionValue},
    {"kvtm:Luminosity", 0, kVersionValue},
    {"kvtm:WhiteClip", 3, kClipValue},
    {"kvtm:BlackClip", 4, kClipValue},
    {"kvtm:SmoothingMode", 16, kSmoothingMode},
    {"kvtm:Smoothing", 17, kSmoothing},
    {"kvtm:Microcontrast", 6, kMicrocontrast},
    {"kvtm:Microsmoothing", 7, kMicrosmoothing},
    {"kvtm:Gamma", 8, kGamma},
    {"kvtm:HighlightsSmoothing", 9, kVersionValue},
    {"kvtm:ShadowsSmoothing", 10, kVersionValue},
    {"kvtm:ShadowsClipping", 11, kVersionValue},
    {"kvtm:ColorTemperature", 12, kVersionValue},
    {"kvtm:SaturationHighlights", 13, kVersionValue},
    {"kvtm:SaturationShadows", 14, kVersionValue},
};
constexpr Element kRodo[] = {
    {"kvtm:Brightness", 0, kVersionValue},  {"kvtm:Compression", 1, kVersionValue},
    {"kvtm:Contrast", 2, kVersionValue},    {"kvtm:WhiteClip", 3, kClipValue},
    {"kvtm:BlackClip", 4, kClipValue},      {"kvtm:ColorTemperature", 12, kVersionValue},
    {"kvtm:Saturation", 13, kVersionValue},
};
constexpr Element kFusionAdjust[] = {
    {"kvtm:Accentuation", 0, kRealValue},
    {"kvtm:BlendingPoint", 1, kRealValue},
    {"kvtm:Shadows", 2, kRealValue},
    {"kvtm:Saturation", 3, kRealValue},
    {"kvtm:WhiteClip", 4, kClipValue},
    {"kvtm:BlackClip", 5, kClipValue},
    {"kvtm:MidtonesAdjustment", 6, kRealValue},
};
constexpr Element kFusionIntensive[] = {
    {"kvtm:Strength", 0, kRealValue},
    {"kvtm:Saturation", 1, kRealValue},
    {"kvtm:Radius", 2, kRealValue},
};

struct MethodInfo {
    int id;
    const char *name;
    const Element *elements;
    size_t count;
};
constexpr MethodInfo kMethods[] = {
    {1, "Deredid Edazozed", kDeredid, std::size(kDeredid)},
    {2, "Rodo Vizezadadu", kRodo, std::size(kRodo)},
    {10, "Fusion/Adjust", kFusionAdjust, std::size(kFusionAdjust)},
    {11, "Fusion/Intensive", kFusionIntensive, std::size(kFusionIntensive)},
};

const MethodInfo *method_info(int id)
{
    for (const auto &m : kMethods)
        if (m.id == id)
            return &m;
    return nullptr;
}

// Method names the reader takes, older names first.
constexpr struct {
    string_view name;
    int id;
} kMethodNames[] = {
    {"Rezizizo Zuvovudo", 1}, {"Vovadi Davorovure", 2}, {"Deredid Edazozed", 1},
    {"Rodo Vizezadadu", 2},   {"Fusion/Adjust", 10},    {"Fusion/Intensive", 11},
};

// Light-mode level words as written; each but the first is filled to 8 characters.
constexpr const char *kLevelWords[] = {"Very High", "High    ", "Medium  ", "Low     ", "Very Low"};
struct LevelWord {
    string_view word;
    int level;
    int value_of() const { return level; }
};
constexpr LevelWord kLevelRead[] = {
    {"Very High", 0}, {"High", 1}, {"Medium", 2}, {"Low", 3}, {"Very Low", 4}};

// Microcontrast words of packets up to version 2.4.
struct MicroWord {
    string_view word;
    int value;
    int value_of() const { return value; }
};
constexpr MicroWord kMicrocontrastWords[] = {{"High", 0},        {"Medium High", -2},
                                             {"Medium Low", -6}, {"Medium", -2},
                                             {"Low", -9},        {"Very Low", -10}};

void append_element(std::string &s, const char *name, const std::string &value)
{
    s += '<';
    s += name;
    s += '>';
    s += value;
    s += "</";
    s += name;
    s += ">\n";
}

std::string fixed(double v, int precision)
{
    std::string s;
    append_fixed(s, v, precision);
    return s;
}

void write_settings(std::string &s, const MethodInfo &m, const float *p)
{
    for (size_t i = 0; i < m.count; ++i) {
        const Element &e = m.elements[i];
        switch (e.kind) {
        case kVersionValue:
        case kRealValue:
        case kMicrocontrast:
        case kMicrosmoothing:
            append_element(s, e.name, fixed(p[e.slot], 1));
            break;
        case kClipValue:
            append_element(s, e.name, fixed(p[e.slot], 6));
            break;
        case kSmoothingMode: {
            int mode = imagecore::clamp_to_int(p[16]);
            append_element(s, e.name, mode == 1 ? "Slider" : "Light");
            if (mode == 1) {
                append_element(s, "kvtm:Smoothing", fixed(p[17], 1));
            } else if (mode == 0) {
                int level = imagecore::clamp_to_int(p[5]);
                append_element(s, "kvtm:Smoothing",
                               level >= 0 && level <= 4 ? kLevelWords[level] : "Light");
            }
            break;
        }
        case kSmoothing:
            break; // written with its mode
        case kGamma:
            append_element(s, e.name, fixed(std::exp2((50.0 - p[e.slot]) / 50.0), 1));
            break;
        }
    }
}

// Appends text as XML element or attribute text: the five characters with a meaning in XML as
// their entities. The text must already be made of XML characters (lens_text).
void append_xml_escaped(std::string &s, string_view text)
{
    for (char c : text) {
        switch (c) {
        case '<':
            s += "&lt;";
            break;
        case '>': // "]]>" is not allowed in text
            s += "&gt;";
            break;
        case '&':
            s += "&amp;";
            break;
        case '\'':
            s += "&apos;";
            break;
        case '"':
            s += "&quot;";
            break;
        default:
            s += c;
            break;
        }
    }
}

// The length of the well-formed UTF-8 character that opens s, or 0 when it is ill-formed; then
// `bad` is the length of its longest prefix that could start a well-formed character (at least
// 1), which is replaced as one unit. Overlong forms, surrogates and values past U+10FFFF are
// excluded through the second byte's range.
size_t utf8_char(string_view s, size_t &bad)
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

// The lens name as XML 1.0 can carry it on one line: U+FFFD for each ill-formed UTF-8 sequence
// and for U+FFFE and U+FFFF, which XML excludes; a space for each control byte. A replacement
// is three bytes where one or two stood, so characters that would take the name past 63 bytes
// (the reader's limit; or the name's own length when that is longer) are left out.
std::string lens_text(string_view name)
{
    constexpr string_view kReplacement = "\xEF\xBF\xBD";
    const size_t room = std::max<size_t>(63, name.size());
    std::string out;
    for (size_t i = 0; i < name.size();) {
        const string_view rest = name.substr(i);
        size_t bad = 0;
        const size_t len = utf8_char(rest, bad);
        const unsigned char c = static_cast<unsigned char>(rest[0]);
        string_view piece = rest.substr(0, len);
        if (len == 0)
            piece = kReplacement;
        else if (len == 1 && (c < 0x20 || c == 0x7F))
            piece = " ";
        else if (len == 3 && rest.substr(0, 2) == "\xEF\xBF" &&
                 static_cast<unsigned char>(rest[2]) >= 0xBE)
            piece = kReplacement; // U+FFFE, U+FFFF
        if (out.size() + piece.size() > room)
            break;
        out += piece;
        i += len == 0 ? bad : len;
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Reading

// Appends code point cp in UTF-8.
void append_utf8(std::string &s, uint32_t cp)
{
    if (cp < 0x80) {
        s += char(cp);
    } else if (cp < 0x800) {
        s += char(0xC0 | cp >> 6);
        s += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        s += char(0xE0 | cp >> 12);
        s += char(0x80 | (cp >> 6 & 0x3F));
        s += char(0x80 | (cp & 0x3F));
    } else {
        s += char(0xF0 | cp >> 18);
        s += char(0x80 | (cp >> 12 & 0x3F));
        s += char(0x80 | (cp >> 6 & 0x3F));
        s += char(0x80 | (cp & 0x3F));
    }
}

// The text with its XML references resolved: the five entities and numeric character
// references (&#60; &#x3C;). Anything else, a lone '&' included, stays as written.
std::string xml_unescaped(string_view text)
{
    constexpr std::pair<string_view, char> kEntities[] = {
        {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&apos;", '\''}, {"&quot;", '"'}};
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (text[i] != '&') {
            out += text[i++];
            continue;
        }
        bool done = false;
        for (const auto &[entity, c] : kEntities) {
            if (text.substr(i, entity.size()) == entity) {
                out += c;
                i += entity.size();
                done = true;
                break;
            }
        }
        if (!done && text.substr(i, 2) == "&#") {
            const bool hex = text.substr(i + 2, 1) == "x";
            const size_t from = i + (hex ? 3 : 2);
            const size_t semi = text.find(';', from);
            uint32_t cp = 0;
            if (semi != npos && semi > from) {
                auto r = std::from_chars(text.data() + from, text.data() + semi, cp, hex ? 16 : 10);
                if (r.ec == std::errc() && r.ptr == text.data() + semi && cp > 0 &&
                    cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF)) {
                    append_utf8(out, cp);
                    i = semi + 1;
                    done = true;
                }
            }
        }
        if (!done)
            out += text[i++];
    }
    return out;
}

// The first occurrence of `name` followed by a quote and `value`: the text of a namespace
// declaration. Returns its position or npos.
size_t find_declaration(string_view sv, string_view name, string_view value)
{
    for (size_t p = sv.find(name); p != npos; p = sv.find(name, p + 1)) {
        size_t q = p + name.size();
        if (q < sv.size() && (sv[q] == '\'' || sv[q] == '"') &&
            sv.substr(q + 1).substr(0, value.size()) == value)
            return p;
    }
    return npos;
}

bool starts_with_at(string_view sv, size_t pos, string_view word)
{
    return pos <= sv.size() && sv.substr(pos).substr(0, word.size()) == word;
}

int lens_from_packet(string_view sv, char *lensOut)
{
    size_t decl = find_declaration(sv, "xmlns:aux=", kAuxNs);
    if (decl == npos)
        return 0;
    constexpr string_view kLens = "aux:Lens";
    size_t q = sv.find(kLens, decl + 11 + kAuxNs.size());
    while (q != npos && !(q + kLens.size() < sv.size() &&
                          (sv[q + kLens.size()] == '>' || sv[q + kLens.size()] == '=')))
        q = sv.find(kLens, q + 1);
    if (q == npos)
        return 0;

    size_t start, end;
    if (sv[q + kLens.size()] == '>') {
        start = q + kLens.size() + 1;
        end = sv.find("</aux:Lens", start);
    } else {
        start = q + kLens.size() + 2; // "=" and the opening quote
        // The value ends at the quote that opened it, so single-quoted values read too.
        const size_t quotePos = q + kLens.size() + 1;
        char quote = quotePos < sv.size() && sv[quotePos] == '\'' ? '\'' : '"';
        end = start <= sv.size() ? sv.find(quote, start) : npos;
    }
    // The 63-character limit holds for the name itself, not for its escaped form.
    if (end != npos && end > start) {
        const std::string lens = xml_unescaped(sv.substr(start, end - start));
        if (!lens.empty() && lens.size() <= 63)
            std::memcpy(lensOut, lens.data(), lens.size());
    }
    return static_cast<int>(q);
}

struct PacketReader {
    string_view sv;
    int major = 0, minor = 0;
    size_t methodPos = npos;
    int valueOffset = 1; // 1 element form ("name>value"), 2 attribute form ("name="value")

    // Position of the value of the first `name` at or after methodPos, or npos.
    size_t value_pos(string_view name) const
    {
        size_t p = sv.find(name, methodPos);
        return p == npos ? npos : p + name.size() + static_cast<size_t>(valueOffset);
    }

    bool read_version_value(size_t pos, float &out) const
    {
        if (major <= 2) {
            int v;
            if (!parse_int(sv, pos, v))
                return false;
            out = static_cast<float>(v);
            return true;
        }
        return parse_float(sv, pos, out);
    }

    // The value at pos or, when it does not parse, one character later (past a quote).
    template <class F> bool at_or_after(size_t pos, F parse) const
    {
        return pos != npos && (parse(pos) || parse(pos + 1));
    }

    template <class Table> bool read_word(size_t pos, const Table &table, float &out) const
    {
        return at_or_after(pos, [&](size_t at) {
            for (const auto &w : table) {
                if (starts_with_at(sv, at, w.word)) {
                    out = static_cast<float>(w.value_of());
                    return true;
                }
            }
            return false;
        });
    }
};

} // namespace

bool metadata::is_settings_method(int method)
{
    return method_info(method) != nullptr;
}

const char *metadata::settings_method_name(int method)
{
    const MethodInfo *m = method_info(method);
    return m ? m->name : nullptr;
}

int embed_xmp(int embed_type, int curMethod, const float *tmParam, int lensInfoLen,
              const char *lensInfo, char *out)
{
    try {
        const bool wrap = curMethod <= 200;
        const int method = wrap ? curMethod : curMethod - 200;
        const MethodInfo *m = method_info(method);
        if ((embed_type != 0 && out == nullptr) || (m != nullptr && tmParam == nullptr))
            return -3;

        std::string s;
        if (wrap) {
            s += "<x:xmpmeta xmlns:x='";
            s += kXmpMetaNs;
            s += "'>\n<rdf:RDF xmlns:rdf='";
            s += kRdfNs;
            s += "'>\n\n";
        }
        if (lensInfoLen > 0 && lensInfo != nullptr) {
            s += "<rdf:Description rdf:about=''\nxmlns:aux='";
            s += kAuxNs;
            s += "'>\n<aux:Lens>";
            append_xml_escaped(s, lens_text(string_view(lensInfo, strnlen(lensInfo, 64))));
            s += "</aux:Lens>\n</rdf:Description>\n\n";
        }
        if (method > 0) {
            s += "<rdf:Description rdf:about=''\nxmlns:kvtm='";
            s += metadata::kKvtmNamespace;
            s += "'>\n<kvtm:Version>4.0</kvtm:Version>\n";
            if (m != nullptr) {
                append_element(s, "kvtm:Method", m->name);
                write_settings(s, *m, tmParam);
            }
            s += "</rdf:Description>\n\n";
        }
        if (wrap)
            s += "</rdf:RDF>\n</x:xmpmeta>\n";

        if (s.size() > INT_MAX)
            return -4;
        if (embed_type != 0)
            std::memcpy(out, s.data(), s.size());
        return static_cast<int>(s.size());
    } catch (const std::bad_alloc &) {
        return -4;
    }
}

int get_settings_from_xmp(int mode, int length, const char *packet, char *lensOut, float *tmParam)
{
    if (packet == nullptr || length < 1 || packet[length - 1] != 0)
        return -3;
    const string_view sv(packet, static_cast<size_t>(length) - 1);

    if (mode == 100) {
        if (lensOut == nullptr)
            return -3;
        return length < 45 ? 0 : lens_from_packet(sv, lensOut);
    }
    if (mode != -1 && tmParam == nullptr)
        return -3;

    // The declaration is recognised up to and including the slash that follows the host.
    const string_view ns(metadata::kKvtmNamespace);
    const string_view nsPrefix = ns.substr(0, ns.find('/', ns.find("://") + 3) + 1);
    if (length < 36)
        return 0;
    size_t decl = find_declaration(sv, "xmlns:kvtm=", nsPrefix);
    if (decl == npos)
        return 0;

    PacketReader r{sv};
    constexpr string_view kVersion = "kvtm:Version";
    size_t versionPos = npos;
    for (size_t p = sv.find(kVersion, decl); p != npos; p = sv.find(kVersion, p + 1)) {
        auto version_at = [&](size_t at) {
            int a, b;
            size_t e;
            if (!parse_int(sv, at, a, &e) || e >= sv.size() || sv[e] != '.' ||
                !parse_int(sv, e + 1, b))
                return false;
            r.major = a;
            r.minor = b;
            return true;
        };
        if (version_at(p + 13) || version_at(p + 14)) {
            versionPos = p;
            break;
        }
    }

    int method = 0;
    constexpr string_view kMethod = "kvtm:Method";
    if (versionPos != npos)
        r.methodPos = sv.find(kMethod, versionPos);
    if (r.methodPos != npos) {
        size_t after = r.methodPos + kMethod.size();
        r.valueOffset = after < sv.size() && sv[after] == '=' ? 2 : 1;
        size_t namePos = after + static_cast<size_t>(r.valueOffset);
        for (const auto &n : kMethodNames) {
            if (starts_with_at(sv, namePos, n.name)) {
                method = n.id;
                break;
            }
        }
    }

    if (mode == -1)
        return r.methodPos == npos ? -5 : method;
    if (method != mode)
        return -5;

    bool gammaFound = false;
    if (const MethodInfo *m = method_info(method); m != nullptr && r.methodPos != npos) {
        float *p = tmParam;
        for (size_t i = 0; i < m->count; ++i) {
            const Element &e = m->elements[i];
            float v = 0;
            switch (e.kind) {
            case kVersionValue:
                if (r.at_or_after(r.value_pos(e.name),
                                  [&](size_t at) { return r.read_version_value(at, v); }))
                    p[e.slot] = v;
                break;
            case kRealValue:
            case kClipValue:
                if (r.at_or_after(r.value_pos(e.name),
                                  [&](size_t at) { return parse_float(sv, at, v); }))
                    p[e.slot] = v;
                break;
            case kSmoothingMode:
                if (r.at_or_after(r.value_pos(e.name), [&](size_t at) {
                        if (starts_with_at(sv, at, "Light"))
                            return v = 0, true;
                        if (starts_with_at(sv, at, "Slider"))
                            return v = 1, true;
                        return false;
                    }))
                    p[16] = v;
                break;
            case kSmoothing: {
                // The delimiter is part of the name here, so that SmoothingMode does not match.
                const string_view base(e.name);
                std::string name = std::string(base) + (r.valueOffset == 2 ? "=" : ">");
                size_t at = sv.find(name, r.methodPos);
                if (at != npos)
                    at += base.size() + static_cast<size_t>(r.valueOffset);
                int mode16 = imagecore::clamp_to_int(p[16]);
                if (mode16 == 1) {
                    if (r.at_or_after(at, [&](size_t a) { return parse_float(sv, a, v); }))
                        p[17] = v;
                } else if (mode16 == 0) {
                    if (r.read_word(at, kLevelRead, v))
                        p[5] = v;
                }
                break;
            }
            case kMicrocontrast: {
                size_t at = r.value_pos(e.name);
                if (r.major <= 2 && r.minor <= 4) {
                    if (r.read_word(at, kMicrocontrastWords, v))
                        p[e.slot] = v;
                } else if (r.at_or_after(at,
                                         [&](size_t a) { return r.read_version_value(a, v); })) {
                    p[e.slot] = v;
                }
                break;
            }
            case kMicrosmoothing: {
                size_t a = r.value_pos("kvtm:NoiseSmoothing");
                size_t b = r.value_pos("kvtm:Microsmoothing");
                // The first of the two names met in the text; both names have 19 characters.
                size_t at = a < b ? a : b;
                if (r.at_or_after(at, [&](size_t x) { return r.read_version_value(x, v); }))
                    p[e.slot] = v;
                break;
            }
            case kGamma: {
                size_t at = r.value_pos(e.name);
                if (at == npos)
                    break;
                gammaFound = true;
                // A gamma at or below 0 (or not finite) has no logarithm: it does not parse. The
                // retry one character later is for an opening quote, not for the sign of "-1".
                if (r.at_or_after(at, [&](size_t x) { return parse_float(sv, x, v); }) &&
                    std::isfinite(v) && v > 0)
                    p[e.slot] =
                        static_cast<float>((1.0 - std::log2(static_cast<double>(v))) * 50.0);
                break;
            }
            }
        }
    }
    if (!gammaFound)
        tmParam[8] = 50;
    return r.methodPos == npos ? 0 : static_cast<int>(r.methodPos);
}

int parse_xmp(const char *path, int mode, float *tmParam)
{
    platform::FilePtr f = platform::open_file(path, "rb");
    if (!f)
        return -1;
    long size = platform::file_length(f.get());
    if (size < 0 || size >= INT_MAX)
        return -1;
    std::vector<char> buf;
    try {
        buf.assign(static_cast<size_t>(size) + 1, '\0');
    } catch (const std::bad_alloc &) {
        return -4;
    }
    if (size > 0 &&
        std::fread(buf.data(), 1, static_cast<size_t>(size), f.get()) != static_cast<size_t>(size))
        return -2;
    return get_settings_from_xmp(mode, static_cast<int>(size) + 1, buf.data(), nullptr, tmParam);
}
