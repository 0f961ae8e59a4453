// Writer and reader of the settings packet. Numbers go through to_chars / from_chars so that a
// decimal-comma locale changes no byte of a packet and reads every packet the same way.
#include "metadata/xmp_settings.h"

#include <expat.h>

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

// What XML 1.0 can carry for the character that opens text (not empty), with in `used` the
// bytes it stands for: U+FFFD for an ill-formed UTF-8 sequence and for U+FFFE and U+FFFF, which
// XML excludes, a space for a control byte (every one for a line of text; else those XML
// excludes, all but tab, line feed and carriage return), else the character itself.
string_view xml_piece(string_view text, bool oneLine, size_t &used)
{
    constexpr string_view kReplacement = "\xEF\xBF\xBD";
    size_t bad = 0;
    const size_t len = platform::utf8_char(text, bad);
    const unsigned char c = static_cast<unsigned char>(text[0]);
    used = len == 0 ? bad : len;
    if (len == 0)
        return kReplacement;
    if (len == 1 && (c < 0x20 || c == 0x7F) &&
        (oneLine || (c < 0x20 && c != '\t' && c != '\n' && c != '\r')))
        return " ";
    if (len == 3 && text.substr(0, 2) == "\xEF\xBF" && static_cast<unsigned char>(text[2]) >= 0xBE)
        return kReplacement; // U+FFFE, U+FFFF
    return text.substr(0, len);
}

// The lens name as XML 1.0 can carry it on one line, in room bytes at most. A replacement is
// three bytes where one or two stood, so characters that would take the name past room bytes
// are left out.
std::string lens_text(string_view name, size_t room)
{
    std::string out;
    for (size_t i = 0, used = 0; i < name.size(); i += used) {
        const string_view piece = xml_piece(name.substr(i), true, used);
        if (out.size() + piece.size() > room)
            break;
        out += piece;
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Reading

// The namespace declaration is recognised up to and including the slash after the host.
string_view namespace_start()
{
    const string_view ns(metadata::kKvtmNamespace);
    return ns.substr(0, ns.find('/', ns.find("://") + 3) + 1);
}

void trim(std::string &t)
{
    size_t from = 0, to = t.size();
    while (from < to && platform::is_space(t[from]))
        ++from;
    while (to > from && platform::is_space(t[to - 1]))
        --to;
    t.erase(to).erase(0, from);
}

// A number as sscanf "%f" finds it (white space and a '+' before it, anything after it), except
// that one too small for a float reads as zero, as the text says to a float's precision.
bool read_float(string_view t, float &v)
{
    const size_t from = platform::number_start(t, 0);
    return from < t.size() &&
           platform::read_number(t.data() + from, t.data() + t.size(), v).ec == std::errc();
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

// The parse: expat's handlers over the packet, fed as the content of an element that binds x
// and rdf. Names come as "namespace\x01local" (XML forbids the byte in both).
struct metadata::SettingsPacket::Reader {
    static constexpr char kSeparator = '\x01';
    static constexpr string_view kClose = "</w>";
    static constexpr int kNone = -1, kLens = -2; // what an open element collects text into
    static constexpr size_t kMaxStep = size_t(1) << 30;

    Reader(SettingsPacket &owner, XML_Parser p, string_view bytes)
        : s(owner), parser(p), packet(bytes)
    {
    }

    SettingsPacket &s;
    XML_Parser parser;
    string_view packet;
    // What is fed: packet[0, head) (a byte order mark, an XML declaration), the wrapper, the
    // packet from `from` on as the body (`fed` bytes of it so far, repaired where it holds bytes
    // XML excludes; marks pair the positions after each repair in the body and in the packet
    // from `from`), the close.
    size_t head = 0, wrapper = 0, from = 0, fed = 0;
    std::vector<std::pair<size_t, size_t>> marks;
    struct Open {
        int into; // the property its text goes to: its own, the nearest open one's, or kNone
        bool own;
    };
    std::vector<Open> open;
    std::vector<bool> closed; // per property: its element (or attribute) is complete
    bool lensClosed = false;

    // Where byte k of the body stands in the packet (within a repaired character, near it).
    size_t in_packet(size_t k) const
    {
        const auto mark = std::upper_bound(marks.begin(), marks.end(), std::pair(k, npos));
        return from +
               (mark == marks.begin() ? k : std::prev(mark)->second + k - std::prev(mark)->first);
    }
    // The position in the packet of what expat reads now.
    size_t at() const
    {
        const auto i = static_cast<size_t>(std::max<XML_Index>(XML_GetCurrentByteIndex(parser), 0));
        if (i < head + wrapper)
            return std::min(i, head);
        const size_t k = i - head - wrapper;
        return k >= fed ? packet.size() : std::min(in_packet(k), packet.size());
    }
    void stop(const char *why)
    {
        if (!s.m_fault) {
            s.m_fault = why;
            s.m_faultAt = at();
        }
        XML_StopParser(parser, XML_FALSE);
    }
    // The property a name (with its namespace) and text make, or kNone when it is none of the
    // reader's; kLens for the first aux:Lens.
    int add(string_view name, string_view text, bool complete)
    {
        const size_t sep = name.find(kSeparator);
        if (sep == npos)
            return kNone;
        const string_view ns = name.substr(0, sep), local = name.substr(sep + 1);
        Property p{std::string(local), std::string(text), at() + 1, 0};
        if (ns == kAuxNs && local == "Lens") {
            if (s.m_lens.pos > 0)
                return kNone;
            s.m_lens = std::move(p);
            lensClosed = complete;
            return kLens;
        }
        if (!ns.starts_with(namespace_start()))
            return kNone;
        if (s.m_properties.size() == kMaxProperties) {
            stop("more than 128 properties of the program's namespace");
            return kNone;
        }
        s.m_properties.push_back(std::move(p));
        closed.push_back(complete);
        return static_cast<int>(s.m_properties.size() - 1);
    }
    Property *collecting()
    {
        if (open.empty() || open.back().into == kNone)
            return nullptr;
        return open.back().into == kLens ? &s.m_lens : &s.m_properties[size_t(open.back().into)];
    }
    // Handlers: an exception must not cross expat's C frames.
    template <class F> static void guarded(void *data, F f)
    {
        auto *r = static_cast<Reader *>(data);
        try {
            f(*r);
        } catch (const std::bad_alloc &) {
            r->stop("out of memory");
        }
    }
    static void start(void *data, const XML_Char *name, const XML_Char **atts)
    {
        guarded(data, [&](Reader &r) {
            const int own = r.add(name, {}, false);
            r.open.push_back(
                {own != kNone || r.open.empty() ? own : r.open.back().into, own != kNone});
            for (; *atts && !r.s.m_fault; atts += 2)
                r.add(atts[0], atts[1], true);
        });
    }
    static void end(void *data, const XML_Char *)
    {
        guarded(data, [&](Reader &r) {
            if (r.open.empty())
                return;
            if (const Open o = r.open.back(); o.own && o.into == kLens)
                r.lensClosed = true;
            else if (o.own)
                r.closed[size_t(o.into)] = true;
            r.open.pop_back();
        });
    }
    static void text(void *data, const XML_Char *t, int len)
    {
        guarded(data, [&](Reader &r) {
            Property *p = r.collecting();
            if (!p)
                return;
            p->text.append(t, size_t(len));
            // What repairs in the bytes this text comes from added to it.
            const auto i = XML_GetCurrentByteIndex(r.parser);
            const auto n = XML_GetCurrentByteCount(r.parser);
            if (!r.marks.empty() && i >= XML_Index(r.head + r.wrapper) && n > 0) {
                const size_t k = size_t(i) - r.head - r.wrapper;
                const size_t span = r.in_packet(k + size_t(n)) - r.in_packet(k);
                p->grown += size_t(n) - std::min(span, size_t(n));
            }
        });
    }
    static void declaration(void *data, const XML_Char *, const XML_Char *uri)
    {
        auto *r = static_cast<Reader *>(data);
        if (uri && string_view(uri).starts_with(namespace_start()))
            r->s.m_declared = true;
    }

    void read()
    {
        // A byte order mark and an XML declaration stay at the start, where XML wants them.
        head = packet.starts_with("\xEF\xBB\xBF") ? 3 : 0;
        if (const string_view rest = packet.substr(head);
            rest.starts_with("<?xml") && rest.size() > 5 && platform::is_space(rest[5]))
            if (const size_t end = rest.find("?>"); end != npos)
                head += end + 2;
        // Bytes that open no markup come before a packet held in a file: it starts at its
        // wrapper.
        from = head;
        while (from < packet.size() && platform::is_space(packet[from]))
            ++from;
        if (from < packet.size() && packet[from] != '<') {
            const size_t wrapped =
                std::min(packet.find("<?xpacket begin", from), packet.find("<x:xmpmeta", from));
            from = wrapped == npos ? head : wrapped;
        }
        std::string wrap = "<w xmlns:x='";
        ((((wrap += kXmpMetaNs) += "' xmlns:rdf='") += kRdfNs) += "'>");
        wrapper = wrap.size();
        XML_SetUserData(parser, this);
        XML_SetElementHandler(parser, start, end);
        XML_SetCharacterDataHandler(parser, text);
        XML_SetStartNamespaceDeclHandler(parser, declaration);
        if (!feed(packet.substr(0, head)) || !feed(wrap) || !feed_body() || !feed(kClose, true)) {
            if (!s.m_fault) {
                const XML_Error e = XML_GetErrorCode(parser);
                s.m_faultAt = at();
                const char *why = XML_ErrorString(e);
                s.m_fault = !why ? "too long"
                            : s.m_faultAt < packet.size() || e == XML_ERROR_NO_MEMORY
                                ? why
                                : "it ends inside a tag or an element";
            }
        }
    }
    bool feed(string_view part, bool last = false)
    {
        return part.size() <= size_t(INT_MAX) &&
               XML_Parse(parser, part.data(), static_cast<int>(part.size()), last) == XML_STATUS_OK;
    }
    // The body in parts that double from 4 KiB, so that binary bytes after a fault are not
    // repaired in vain while a token cut between parts is scanned again twice at most in all.
    // Bytes that are no XML characters are read as the writer writes them (U+FFFD, a space):
    // a packet written without care for its encoding keeps its lens.
    bool feed_body()
    {
        const string_view tail = packet.substr(from);
        for (size_t done = 0, step = 4096; done < tail.size();
             step = std::min(step * 2, kMaxStep)) {
            const string_view rest = tail.substr(done);
            std::string copy;
            size_t i = 0, run = 0; // the byte read next; the first not copied yet
            while (i < rest.size() && i < step) {
                const unsigned char c = static_cast<unsigned char>(rest[i]);
                if ((c >= 0x20 && c < 0x7F) || c == '\t' || c == '\n' || c == '\r') {
                    ++i;
                    continue;
                }
                size_t used = 0;
                const string_view piece = xml_piece(rest.substr(i), false, used);
                if (piece.data() != rest.data() + i) {
                    copy.append(rest.substr(run, i - run)) += piece;
                    marks.emplace_back(fed + copy.size(), done + i + used);
                    run = i + used;
                }
                i += used;
            }
            const size_t end = i;
            if (!copy.empty())
                copy.append(rest.substr(run, end - run));
            const string_view part = copy.empty() ? rest.substr(0, end) : string_view(copy);
            fed += part.size(); // before the feed: a fault in it lies inside the body
            if (!feed(part))
                return false;
            done += end;
        }
        return true;
    }
};

metadata::SettingsPacket::SettingsPacket(string_view sv)
{
    // A property whose element a fault left open holds part of its text at most: it is none.
    const auto finish = [&](Reader &r) {
        size_t kept = 0;
        for (size_t k = 0; k < m_properties.size(); ++k)
            if (r.closed[k] && kept++ != k)
                m_properties[kept - 1] = std::move(m_properties[k]);
        m_properties.resize(kept);
        if (!r.lensClosed)
            m_lens = {};
        for (Property &p : m_properties)
            trim(p.text);
    };
    XML_Parser parser = XML_ParserCreateNS("UTF-8", Reader::kSeparator);
    if (parser == nullptr) {
        m_fault = "out of memory";
        return;
    }
    try {
        Reader r(*this, parser, sv);
        r.read();
        finish(r);
    } catch (const std::bad_alloc &) {
        m_properties.clear();
        m_lens = {};
        m_fault = "out of memory";
    }
    XML_ParserFree(parser);
    for (const Property &p : m_properties) {
        int a, b;
        size_t e;
        const string_view t = p.text;
        if (p.name == "Version" && parse_int(t, 0, a, &e) && e < t.size() && t[e] == '.' &&
            parse_int(t, e + 1, b)) {
            m_versioned = true;
            m_major = a;
            m_minor = b;
            break;
        }
    }
}

const metadata::SettingsPacket::Property *metadata::SettingsPacket::find(string_view name) const
{
    for (const Property &p : m_properties)
        if (p.name == name)
            return &p;
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
            // Past the reader's 63 bytes, or the name's own length when that is longer.
            const string_view name(lensInfo, strnlen(lensInfo, 64));
            append_xml_escaped(s, lens_text(name, std::max<size_t>(63, name.size())));
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
        if (length < 45)
            return 0;
        const metadata::SettingsPacket packetView(sv);
        const metadata::SettingsPacket::Property *lens = packetView.lens();
        if (lens == nullptr)
            return 0;
        // The 63-character limit holds for the name itself, not for its escaped form; a name that
        // U+FFFD for bytes that are not UTF-8 lengthened is cut at whole characters, as embed_xmp
        // cuts it.
        std::string name = lens->text;
        if (name.size() > 63 && name.size() - lens->grown <= 63)
            name = lens_text(name, 63);
        if (!name.empty() && name.size() <= 63)
            std::memcpy(lensOut, name.data(), name.size());
        return static_cast<int>(std::min<size_t>(lens->pos, INT_MAX));
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
            return read_float(t, v);
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
                if (older && (!found || older < found))
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
                if (read_float(t, v))
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
                if (mode16 == 1 && read_float(t, v))
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
                if (read_float(t, v) && std::isfinite(v) && v > 0)
                    p[e.slot] =
                        static_cast<float>((1.0 - std::log2(static_cast<double>(v))) * 50.0);
                break;
            }
        }
    }
    if (!gammaFound)
        tmParam[8] = 50;
    return methodProperty == nullptr
               ? 0
               : static_cast<int>(std::min<size_t>(methodProperty->pos, INT_MAX));
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
