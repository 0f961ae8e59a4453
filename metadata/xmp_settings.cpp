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
#include "platform/utf8.h"

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
    {"Strength", 1, kVersionValue},
    {"ColorSaturation", 2, kVersionValue},
    {"Luminosity", 0, kVersionValue},
    {"WhiteClip", 3, kClipValue},
    {"BlackClip", 4, kClipValue},
    {"SmoothingMode", 16, kSmoothingMode},
    {"Smoothing", 17, kSmoothing},
    {"Microcontrast", 6, kMicrocontrast},
    {"Microsmoothing", 7, kMicrosmoothing},
    {"Gamma", 8, kGamma},
    {"HighlightsSmoothing", 9, kVersionValue},
    {"ShadowsSmoothing", 10, kVersionValue},
    {"ShadowsClipping", 11, kVersionValue},
    {"ColorTemperature", 12, kVersionValue},
    {"SaturationHighlights", 13, kVersionValue},
    {"SaturationShadows", 14, kVersionValue},
};
constexpr Element kRodo[] = {
    {"Brightness", 0, kVersionValue},  {"Compression", 1, kVersionValue},
    {"Contrast", 2, kVersionValue},    {"WhiteClip", 3, kClipValue},
    {"BlackClip", 4, kClipValue},      {"ColorTemperature", 12, kVersionValue},
    {"Saturation", 13, kVersionValue},
};
constexpr Element kFusionAdjust[] = {
    {"Accentuation", 0, kRealValue},
    {"BlendingPoint", 1, kRealValue},
    {"Shadows", 2, kRealValue},
    {"Saturation", 3, kRealValue},
    {"WhiteClip", 4, kClipValue},
    {"BlackClip", 5, kClipValue},
    {"MidtonesAdjustment", 6, kRealValue},
};
constexpr Element kFusionIntensive[] = {
    {"Strength", 0, kRealValue},
    {"Saturation", 1, kRealValue},
    {"Radius", 2, kRealValue},
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

// <kvtm:name>value</kvtm:name> and a line end.
void append_element(std::string &s, const char *name, const std::string &value)
{
    s += "<kvtm:";
    s += name;
    s += '>';
    s += value;
    s += "</kvtm:";
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
                append_element(s, "Smoothing", fixed(p[17], 1));
            } else if (mode == 0) {
                int level = imagecore::clamp_to_int(p[5]);
                append_element(s, "Smoothing",
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
        const size_t len = platform::utf8_char(rest, bad);
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

// The namespace declaration is recognised up to and including the slash after the host.
string_view namespace_start()
{
    const string_view ns(metadata::kKvtmNamespace);
    return ns.substr(0, ns.find('/', ns.find("://") + 3) + 1);
}

string_view trimmed(string_view t)
{
    while (!t.empty() && platform::is_space(t.front()))
        t.remove_prefix(1);
    while (!t.empty() && platform::is_space(t.back()))
        t.remove_suffix(1);
    return t;
}

bool ends_name(char c)
{
    return platform::is_space(c) || c == '=' || c == '>' || c == '/' || c == '<' || c == '\'' ||
           c == '"';
}

enum class TagStep { Attribute, Open, Empty, Broken };

// The next attribute of a start tag from p on (its name and its quoted value, which holds no
// '<'), or how the tag ends: '>' (Open), "/>" (Empty), or text that is no tag, the packet's end
// included (Broken). p moves past what was read; on Broken, to where the tag stopped reading as
// one, never past the next '<'.
TagStep next_attribute(string_view sv, size_t &p, string_view &name, string_view &value)
{
    const auto skip_space = [&] {
        while (p < sv.size() && platform::is_space(sv[p]))
            ++p;
    };
    skip_space();
    if (p >= sv.size())
        return TagStep::Broken;
    if (sv[p] == '>') {
        ++p;
        return TagStep::Open;
    }
    if (sv[p] == '/') {
        if (p + 1 >= sv.size() || sv[p + 1] != '>')
            return TagStep::Broken;
        p += 2;
        return TagStep::Empty;
    }
    const size_t from = p;
    while (p < sv.size() && !ends_name(sv[p]))
        ++p;
    name = sv.substr(from, p - from);
    skip_space();
    if (name.empty() || p >= sv.size() || sv[p] != '=')
        return TagStep::Broken;
    ++p;
    skip_space();
    if (p >= sv.size() || (sv[p] != '"' && sv[p] != '\''))
        return TagStep::Broken;
    const size_t close = sv.find_first_of(sv[p] == '"' ? "\"<" : "'<", p + 1);
    if (close == npos || sv[close] == '<') {
        p = std::min(close, sv.size());
        return TagStep::Broken;
    }
    value = sv.substr(p + 1, close - p - 1);
    p = close + 1;
    return TagStep::Attribute;
}

// The value of the first entry of table whose word begins text.
template <class Table> bool read_word(string_view text, const Table &table, float &out)
{
    for (const auto &w : table) {
        if (text.substr(0, w.word.size()) == w.word) {
            out = static_cast<float>(w.value_of());
            return true;
        }
    }
    return false;
}

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

metadata::SettingsPacket::SettingsPacket(string_view sv)
{
    // Prefix bindings that matter: those to the namespace, and those that hide one of them.
    struct Binding {
        string_view prefix;
        bool ours;
        size_t level; // the element depth it holds from
    };
    std::array<Binding, kMaxBindings> bindings{};
    size_t bound = 0, depth = 0;
    const auto ours = [&](string_view prefix) {
        for (size_t k = bound; k-- > 0;)
            if (bindings[k].prefix == prefix)
                return bindings[k].ours;
        return false;
    };
    const auto leave = [&](size_t level) {
        while (bound > 0 && bindings[bound - 1].level > level)
            --bound;
    };
    const string_view nsStart = namespace_start();

    for (size_t i = 0;;) {
        const size_t lt = sv.find('<', i);
        if (lt == npos)
            return;
        // Markup that holds no properties is skipped whole. Unterminated, a comment or CDATA
        // section runs to the end, where it holds what a cut took away. Other markup ends before
        // the next '<', or its '<' is text. Every search but those two stops at the next '<',
        // which the scan goes on from: it reads each byte a few times at most.
        const string_view rest = sv.substr(lt);
        if (rest.starts_with("<!--") || rest.starts_with("<![CDATA[")) {
            const string_view close = rest[2] == '-' ? "-->" : "]]>";
            const size_t end = sv.find(close, lt + 4);
            if (end == npos)
                return;
            i = end + close.size();
            continue;
        }
        if (rest.starts_with("<?") || rest.starts_with("<!") || rest.starts_with("</")) {
            const string_view close = rest[1] == '?' ? "?>" : ">";
            const size_t next = std::min(sv.find('<', lt + 1), sv.size());
            const size_t end = sv.substr(0, next).find(close, lt + 2);
            if (end == npos) {
                i = lt + 1;
                continue;
            }
            if (rest[1] == '/' && depth > 0)
                leave(--depth);
            i = end + close.size();
            continue;
        }
        size_t p = lt + 1;
        while (p < sv.size() && !ends_name(sv[p]))
            ++p;
        if (p == lt + 1) { // a '<' in text
            i = lt + 1;
            continue;
        }
        const string_view element = sv.substr(lt + 1, p - lt - 1);
        const size_t attributes = p, boundBefore = bound;
        string_view name, value;
        bool declares = false;
        // The tag's own declarations hold for its name and attributes: they come first.
        TagStep step;
        while ((step = next_attribute(sv, p, name, value)) == TagStep::Attribute) {
            if (name != "xmlns" && !name.starts_with("xmlns:"))
                continue;
            const string_view prefix = name.substr(std::min<size_t>(name.size(), 6));
            const bool mine = value.starts_with(nsStart);
            declares = declares || mine;
            if (mine || ours(prefix)) {
                if (bound == kMaxBindings)
                    return;
                bindings[bound++] = {prefix, mine, depth + 1};
            }
        }
        if (step == TagStep::Broken) { // text that is no tag: read on after it
            bound = boundBefore;
            i = std::max(p, lt + 1);
            continue;
        }
        m_declared = m_declared || declares;
        const size_t tagEnd = p;
        for (p = attributes; next_attribute(sv, p, name, value) == TagStep::Attribute;) {
            const size_t colon = name.find(':');
            if (colon != npos && name.substr(0, colon) != "xmlns" && ours(name.substr(0, colon)) &&
                !add(name.substr(colon + 1), value, size_t(name.data() - sv.data())))
                return;
        }
        // An unprefixed element is in the default namespace, which the prefix "" stands for.
        // Its text ends at the next tag: a packet cut inside it gives no text, not a part.
        const size_t colon = element.find(':');
        if (ours(colon == npos ? string_view() : element.substr(0, colon))) {
            const size_t textEnd = step == TagStep::Empty ? tagEnd : sv.find('<', tagEnd);
            if (textEnd == npos)
                return;
            if (!add(element.substr(colon == npos ? 0 : colon + 1),
                     sv.substr(tagEnd, textEnd - tagEnd), lt + 1))
                return;
        }
        if (step == TagStep::Empty)
            leave(depth);
        else
            ++depth;
        i = tagEnd;
    }
}

bool metadata::SettingsPacket::add(string_view name, string_view text, size_t pos)
{
    if (m_count == kMaxProperties)
        return false;
    m_properties[m_count++] = {name, trimmed(text), pos};
    if (name == "Version" && !m_versioned) {
        int a, b;
        size_t e;
        const string_view t = m_properties[m_count - 1].text;
        if (parse_int(t, 0, a, &e) && e < t.size() && t[e] == '.' && parse_int(t, e + 1, b)) {
            m_versioned = true;
            m_major = a;
            m_minor = b;
        }
    }
    return true;
}

const metadata::SettingsPacket::Property *metadata::SettingsPacket::find(string_view name) const
{
    for (size_t k = 0; k < m_count; ++k)
        if (m_properties[k].name == name)
            return &m_properties[k];
    return nullptr;
}

bool metadata::SettingsPacket::version(int &major, int &minor) const
{
    if (m_versioned)
        major = m_major, minor = m_minor;
    return m_versioned;
}

const metadata::SettingsPacket::Property *metadata::SettingsPacket::method() const
{
    return m_versioned ? find("Method") : nullptr;
}

int metadata::SettingsPacket::method_id() const
{
    // A prefix names the method, as packets have always been read: a name grown by a later
    // suffix still reads as the method it begins with.
    if (const Property *m = method())
        for (const auto &n : kMethodNames)
            if (m->text.starts_with(n.name))
                return n.id;
    return 0;
}

bool metadata::SettingsPacket::microcontrast_words() const
{
    return m_major <= 2 && m_minor <= 4;
}

int metadata::recorded_method(string_view packet)
{
    const SettingsPacket s(packet);
    int major, minor;
    if (!s.version(major, minor))
        return 0;
    if (!s.method())
        return kMethodNotNamed;
    const int id = s.method_id();
    return id > 0 ? id : kMethodUnknown;
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
                append_element(s, "Method", m->name);
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

    if (length < 36)
        return 0;
    const metadata::SettingsPacket packetView(sv);
    if (!packetView.declared())
        return 0;
    using Property = metadata::SettingsPacket::Property;
    const Property *methodProperty = packetView.method();
    const int method = packetView.method_id();
    if (mode == -1)
        return methodProperty == nullptr ? -5 : method;
    if (method != mode)
        return -5;

    int major = 0, minor = 0;
    packetView.version(major, minor);
    // Numbers of versions up to 2 are integers; clips are real numbers in every version.
    const auto version_value = [&](string_view t, float &v) {
        int n;
        if (major > 2)
            return parse_float(t, 0, v);
        if (!parse_int(t, 0, n))
            return false;
        v = static_cast<float>(n);
        return true;
    };
    bool gammaFound = false;
    if (const MethodInfo *m = method_info(method); m != nullptr && methodProperty != nullptr) {
        float *p = tmParam;
        for (size_t i = 0; i < m->count; ++i) {
            const Element &e = m->elements[i];
            const Property *found = packetView.find(e.name);
            if (e.kind == kMicrosmoothing) {
                // The older name and the newer: the first met in the packet.
                const Property *older = packetView.find("NoiseSmoothing");
                if (older && (!found || older->pos < found->pos))
                    found = older;
            }
            if (found == nullptr)
                continue;
            const string_view t = found->text;
            float v = 0;
            switch (e.kind) {
            case kVersionValue:
            case kMicrosmoothing:
                if (version_value(t, v))
                    p[e.slot] = v;
                break;
            case kRealValue:
            case kClipValue:
                if (parse_float(t, 0, v))
                    p[e.slot] = v;
                break;
            case kSmoothingMode:
                if (t.starts_with("Light"))
                    p[16] = 0;
                else if (t.starts_with("Slider"))
                    p[16] = 1;
                break;
            case kSmoothing: {
                // The slider's number or the light level's word, by the mode read or given.
                const int mode16 = imagecore::clamp_to_int(p[16]);
                if (mode16 == 1 && parse_float(t, 0, v))
                    p[17] = v;
                else if (mode16 == 0 && read_word(t, kLevelRead, v))
                    p[5] = v;
                break;
            }
            case kMicrocontrast:
                if (packetView.microcontrast_words() ? read_word(t, kMicrocontrastWords, v)
                                                     : version_value(t, v))
                    p[e.slot] = v;
                break;
            case kGamma:
                gammaFound = true;
                // A gamma at or below 0 (or not finite) has no logarithm: it does not parse.
                if (parse_float(t, 0, v) && std::isfinite(v) && v > 0)
                    p[e.slot] =
                        static_cast<float>((1.0 - std::log2(static_cast<double>(v))) * 50.0);
                break;
            }
        }
    }
    if (!gammaFound)
        tmParam[8] = 50;
    return methodProperty == nullptr ? 0 : static_cast<int>(methodProperty->pos);
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
