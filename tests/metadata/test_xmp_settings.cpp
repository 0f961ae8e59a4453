// The settings packet: exact bytes of the writer, write-read round trips for every method, the
// older packet versions and names, the attribute form, lens extraction, and locale independence.
#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <string>
#include <vector>

#include "tests/metadata/exif_test_util.h"

using exiftest::bytes_of;
using exiftest::xmp_packet;
using testsupport::Bytes;

namespace {

// Reads a packet given without its terminating zero, from a buffer of exactly its length.
int read_packet(int mode, const std::string &packet, float *p, char *lens = nullptr)
{
    std::vector<char> exact(packet.begin(), packet.end());
    exact.push_back(0);
    return get_settings_from_xmp(mode, int(exact.size()), exact.data(), lens, p);
}
const std::string kHead = "<x:xmpmeta xmlns:x='adobe:ns:meta/'>\n"
                          "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>\n\n";
const std::string kTail = "</rdf:RDF>\n</x:xmpmeta>\n";
const std::string kDeredid = "<kvtm:Method>Deredid Edazozed</kvtm:Method>\n";
// A whole packet with one settings description in element form.
std::string packet(const std::string &version, const std::string &body)
{
    return kHead + "<rdf:Description rdf:about=''\nxmlns:kvtm='" + metadata::kKvtmNamespace +
           "'>\n<kvtm:Version>" + version + "</kvtm:Version>\n" + body + "</rdf:Description>\n\n" +
           kTail;
}

} // namespace

TEST(EmbedXmp, MethodZeroIsThe128ByteWrapperAndAbove200ItIsLeftOut)
{
    float p[kTmParamCount];
    tmparam_default(11, 0, p);
    EXPECT_EQ(kHead + xmp_packet(211, p) + kTail, xmp_packet(11, p)); // 2xx: no wrapper
    // Method 0 without a lens: the wrapper alone, closing lines included: 128 bytes.
    EXPECT_EQ(xmp_packet(0, p), kHead + kTail);
    EXPECT_EQ(kHead.size() + kTail.size(), 128u);
}

TEST(GetSettingsFromXmp, RoundTripsForEveryMethod)
{
    float in[kTmParamCount], out[kTmParamCount];
    const float values[] = {-3.5f, 55.5f, 12.3f, 0.125f, 0.75f, 2, -4.5f, 7.5f,  60, 1.5f,
                            2.5f,  3.5f,  -10,   20.5f,  -6,    0, 1,     33.3f, 0,  0};
    std::copy(values, values + kTmParamCount, in);
    std::fill(out, out + kTmParamCount, -99);
    ASSERT_GT(read_packet(1, xmp_packet(1, in), out), 0);
    for (int slot = 0; slot < kTmParamCount; ++slot) {
        if (slot == kDeGamma) // 2^(-0.2) = 0.87 travels as "0.9": (1 - log2 0.9) x 50 = 57.6
            EXPECT_NEAR(out[slot], 57.6, 1e-3); // the float 0.9 moves it by about 2e-4
        else // 5 is written in light mode only; 15, 18, 19 never: the caller's values stay
            EXPECT_EQ(out[slot], slot == 5 || slot == 15 || slot >= 18 ? -99 : in[slot]) << slot;
    }
    const std::pair<int, std::vector<int>> others[] = {
        {2, {0, 1, 2, 3, 4, 12, 13}}, {10, {0, 1, 2, 3, 4, 5, 6}}, {11, {0, 1, 2}}};
    for (const auto &[method, slots] : others) {
        std::fill(in, in + kTmParamCount, 0);
        for (size_t k = 0; k < slots.size(); ++k)
            in[slots[k]] = -5.5f + 1.5f * float(k); // one decimal: exact through "%1.1f"
        std::fill(out, out + kTmParamCount, -99);
        ASSERT_GT(read_packet(method, xmp_packet(method, in), out), 0) << method;
        for (int slot = 0; slot < kTmParamCount; ++slot) {
            bool carried = std::find(slots.begin(), slots.end(), slot) != slots.end();
            EXPECT_EQ(out[slot], carried     ? in[slot]
                                 : slot == 8 ? 50.0f
                                             : -99.0f) // no Gamma: 50
                << "method " << method << " slot " << slot;
        }
        EXPECT_EQ(read_packet(-1, xmp_packet(method, in), nullptr), method);
    }
    EXPECT_EQ(read_packet(2, xmp_packet(1, in), in), -5);
    // The light mode, without the wrapper after a lens, reads back to what writes it again.
    tmparam_default(1, 0, in);
    in[kDeSmoothingMode] = 0, in[kDeLightSmoothing] = 3;
    std::fill(out, out + kTmParamCount, -99);
    ASSERT_GT(read_packet(1, xmp_packet(201, in, "Prime"), out), 0);
    EXPECT_EQ(xmp_packet(201, out, "Prime"), xmp_packet(201, in, "Prime"));
    for (const int method : {1, 2, 10, 11}) // what each packet tells of the file carrying it
        EXPECT_EQ(metadata::recorded_method(xmp_packet(method, in)), method);
}

TEST(GetSettingsFromXmp, OlderVersionsNamesAndTheAttributeForm)
{
    float out[kTmParamCount] = {};
    const std::string older = "<kvtm:Method>Vovadi Davorovure</kvtm:Method>\n<kvtm:Brightness>4.5<";
    EXPECT_GT(read_packet(2, packet("3.0", older + "/kvtm:Brightness>\n"), out), 0);
    EXPECT_EQ(out[kRoBrightness], 4.5f);
    EXPECT_EQ(read_packet(-1, packet("3.0", "<kvtm:Method>Rezizizo Zuvovudo</kvtm:Method>\n"), out),
              1);
    // Up to version 2 numbers are integers; clips are always real numbers.
    const std::string v1 =
        "<kvtm:Strength>70.6</kvtm:Strength>\n<kvtm:WhiteClip>0.5</kvtm:WhiteClip>\n";
    ASSERT_GT(read_packet(1, packet("1.0", kDeredid + v1), out), 0);
    EXPECT_EQ(std::pair(out[kDeStrength], out[kDeWhiteClip]), std::pair(70.0f, 0.5f));
    // Microcontrast words up to version 2.4; after it, or an unknown word, leave the slot.
    for (auto [version, word, value] : {std::tuple{"2.4", "Medium High", -2.0f},
                                        {"2.4", "Very Low", -10.0f},
                                        {"2.5", "Medium Low", 5.0f},
                                        {"2.4", "Strong", 5.0f}}) {
        out[kDeMicrocontrast] = 5;
        std::string body = kDeredid + "<kvtm:Microcontrast>" + word + "</kvtm:Microcontrast>\n";
        ASSERT_GT(read_packet(1, packet(version, body), out), 0);
        EXPECT_EQ(out[kDeMicrocontrast], value) << version << " " << word;
    }
    std::fill(out, out + kTmParamCount, -1);
    ASSERT_GT(read_packet(1,
                          kHead + "<rdf:Description rdf:about=''\n xmlns:kvtm=\"" +
                              metadata::kKvtmNamespace +
                              "\"\n kvtm:Version=\"4.0\"\n kvtm:Method=\"Deredid Edazozed\"\n"
                              " kvtm:Strength=\"61.5\"\n kvtm:SmoothingMode=\"Light\"\n"
                              " kvtm:Smoothing=\"Medium  \"/>\n" +
                              kTail,
                          out),
              0);
    EXPECT_EQ(std::vector<float>({out[0], out[1], out[5], out[8], out[kDeSmoothingMode]}),
              std::vector<float>({-1, 61.5f, 2, 50, 0}));
}

namespace {

// The Gamma slot of the gamma 1.5 a packet shows.
const float kGamma15 = float((1 - std::log2(1.5)) * 50);

std::string el(const std::string &name, const std::string &value)
{
    return "<kvtm:" + name + ">" + value + "</kvtm:" + name + ">";
}

std::string corrupt_file(const std::string &name)
{
    const Bytes b = testsupport::read_file(HDR_SOURCE_DIR "/tests/data/corrupt/xmp/" + name);
    return std::string(b.begin(), b.end());
}

} // namespace

// What a packet reads as: the method it names (mode -1), what it tells of the file carrying it,
// and, read for its method over slots of -99, the slots listed (every other stays -99). Older
// forms are pinned; the order of properties, their form and the description holding them mean
// nothing; a prefix counts where its binding is in scope; a value is its text as XML gives it;
// a packet is read up to the point where it stops being well-formed XML, and a cut packet reads
// nothing false.
TEST(GetSettingsFromXmp, ReadsEachSettingInItsOwnFormWhereverItStands)
{
    const std::string ns = metadata::kKvtmNamespace, d = "<rdf:Description rdf:about=''",
                      decl = "<d xmlns:kvtm='" + ns + "' ",
                      props = "kvtm:Version='4.0' kvtm:Method='Rodo Vizezadadu'/>";
    const std::string rez = el("Method", "Rezizizo Zuvovudo");
    const std::string v1 = packet("1.0", rez + el("Strength", " 70.6") + el("Microsmoothing", "4") +
                                             el("NoiseSmoothing", "5") + el("Gamma", "2.0"));
    const std::string mixed = kHead + d + " xmlns:kvtm='" + ns +
                              "' kvtm:Version='4.0' kvtm:Method='Deredid Edazozed'>\n" +
                              el("Strength", "60") + el("Gamma", "1.5") + "</rdf:Description>" +
                              kTail;
    const std::string spread =
        "<r xmlns:z = \"" + ns + "\">" + d + "\n z:Method\n=\n\"Rodo Vizezadadu\"/>" + d +
        "><z:Contrast>\n -2.5\n</z:Contrast></rdf:Description>" + d + " z:Version='4.0'/></r>";
    const std::string hidden =
        d + " xmlns:kvtm='urn:x'>" + el("Strength", "5") + el("Method", "Rodo Vizezadadu") +
        "</rdf:Description>" + d + " xmlns:kvtm='" + ns + "' kvtm:Version='4.0'><!-- " +
        el("Strength", "6") + " --><![CDATA[" + el("Gamma", "2") + "]]>" +
        el("Method", "Deredid Edazozed") + "<x:y xmlns:kvtm='urn:x'>" + el("Strength", "7") +
        "</x:y>" + el("Strength", "61") + "</rdf:Description>";
    // XML's meanings: comments and instructions are no text, CDATA is, references are decoded
    // (in words too), an array's item is its property's text.
    const std::string xml = packet(
        "4.0", kDeredid + el("Strength", "5<!-- c -->0") + el("ColorSaturation", "<![CDATA[60]]>") +
                   el("Luminosity", "&#x2D;2<?pi 7?>.5") + el("WhiteClip", " &#48;.5 ") +
                   el("SmoothingMode", "Li&#x67;ht") + el("Smoothing", "<![CDATA[Very]]> &#76;ow") +
                   el("Microcontrast", "<rdf:Seq><rdf:li>-3</rdf:li></rdf:Seq>"));
    // Numbers too small for a float are its zero; too large, they are not read.
    const std::string tiny = packet(
        "4.0", kDeredid + el("Strength", "1e-46") + el("ColorSaturation", "-4.9e-324") +
                   el("WhiteClip", "1e-300") + el("Luminosity", "1e39") + el("BlackClip", "1e400"));
    // A forbidden character, even as a reference, an undefined entity or a document type end the
    // reading where they stand.
    const std::string refZero =
        packet("4.0", kDeredid + el("Strength", "61") + el("ColorSaturation", "6&#0;0") +
                          el("Gamma", "2"));
    const std::string nbsp = packet("4.0", el("Strength", "&nbsp;61") + kDeredid);
    const std::string doctype = "<!DOCTYPE x [<!ENTITY e '" + el("Strength", "6") + "'>]>" +
                                packet("4.0", kDeredid + "&e;");
    // A packet as real files hold it: a byte order mark, a declaration of another encoding, the
    // packet's instructions, padding and a zero; inside a file's bytes; with bytes that are not
    // UTF-8 (read as U+FFFD) and control bytes (spaces).
    float rodo[kTmParamCount] = {};
    rodo[kRoContrast] = 3;
    const std::string wrapped = "\xEF\xBB\xBF<?xml version='1.0' encoding='UTF-16'?>\n"
                                "<?xpacket begin='\xEF\xBB\xBF' id='W5M0MpCehiHzreSzNTczkc9d'?>" +
                                xmp_packet(2, rodo) + "<?xpacket end='w'?>" +
                                std::string(2000, ' ') + '\0';
    const std::string inFile =
        std::string("\xFF\xD8\xFF\xE1\x01\x10&<<\x00", 10) + xmp_packet(2, rodo) + "\xFF\xD9<&";
    const std::string bytes = packet("4.0", kDeredid + el("Method", "x\xC0") +
                                                el("Strength", "\x01"
                                                               "61\x1F") +
                                                "\xFF" + el("Gamma", "1.5\xEF\xBF\xBF"));
    // A megabyte of '<' after a packet and in front of one; junk nested deep among '<' that
    // opens no tag and instructions never closed.
    std::string junk, many = "<d ", binds = "<d";
    for (int i = 0; i < 50000; ++i)
        junk += std::string("\x01<\x89=\x02<?\x05<a b=\"") + char(i) + "<rdf:li>";
    const std::string hostile = decl + "kvtm:Version='4.0'>" + el("Method", "Rodo Vizezadadu") +
                                junk + std::string(1 << 20, '<');
    const std::string behind = std::string(1 << 20, '<') + decl + "kvtm:Version='4.0'>" +
                               el("Method", "Rodo Vizezadadu") + "</d>";
    for (size_t i = 0; i < metadata::SettingsPacket::kMaxProperties - 2; ++i)
        many += "kvtm:x" + std::to_string(i) + "='1' ";
    for (size_t i = 0; i < 40; ++i)
        binds += " xmlns:k" + std::to_string(i) + "='" + ns + "'";
    const std::string dflt = "<a xmlns='" + ns + "'><Version>4.0</Version><Method>Fusion/" +
                             "Intensive</Method><Radius>9</Radius></a>";
    const std::vector<std::pair<int, float>> none = {{8, 50}};
    using metadata::kMethodNotNamed, metadata::kMethodUnknown;
    const struct {
        std::string packet;
        int method, made;
        std::vector<std::pair<int, float>> slots = {};
    } cases[] = {
        {xmp_packet(0, nullptr, "Zoom"), 0, 0},                         // no method
        {xmp_packet(14, nullptr, "Zoom"), -5, kMethodNotNamed},         // a result of the mean
        {corrupt_file("version_no_numbers.xmp"), -5, 0},                // past the int range
        {packet("4.0", el("Method", "Foo")), 0, kMethodUnknown},        // a name not known
        {packet("4.0", el("Method", "Rodo Vizezadadu 2")), 2, 2, none}, // a known one, and more
        {v1, 1, 1, {{1, 70}, {7, 4}, {8, 0}}}, // integers; the first of two names
        {packet("1.5", rez + el("Microcontrast", "5")), 1, 1, {{6, 5}, {8, 50}}}, // a number in 1.5
        {mixed, 1, 1, {{1, 60}, {8, kGamma15}}}, // attributes and elements
        {spread, 2, 2, {{2, -2.5f}, {8, 50}}},   // bound outside, spaced, in three descriptions
        {hidden, 1, 1, {{1, 61}, {8, 50}}},      // kvtm bound elsewhere, a comment, CDATA
        {xml, 1, 1, {{1, 50}, {2, 60}, {0, -2.5f}, {3, 0.5f}, {16, 0}, {5, 4}, {6, -3}, {8, 50}}},
        {tiny, 1, 1, {{1, 0}, {2, 0}, {3, 0}, {8, 50}}},
        {refZero, 1, 1, {{1, 61}, {8, 50}}}, // nothing after the reference
        {nbsp, -5, kMethodNotNamed},         // not even the method after it
        {doctype, 0, 0},
        {wrapped, 2, 2, {{0, 0}, {1, 0}, {2, 3}, {3, 0}, {4, 0}, {12, 0}, {13, 0}, {8, 50}}},
        {inFile, 2, 2, {{0, 0}, {1, 0}, {2, 3}, {3, 0}, {4, 0}, {12, 0}, {13, 0}, {8, 50}}},
        {bytes, 1, 1, {{1, 61}, {8, kGamma15}}},     // the first Method names it still
        {decl + "/><e kvtm:Version='4.0'/>", -5, 0}, // out of the binding's scope
        {dflt, 11, 11, {{2, 9}, {8, 50}}},           // the default namespace
        // An editor's rewrite, sorted, with hostile ends; an empty Microsmoothing.
        {corrupt_file("sorted_mixed_forms.xmp"), 1, 1, {{1, 60}, {8, kGamma15}, {16, 0}, {5, 3}}},
        {hostile, 2, 2, none},
        {behind, 0, 0},
        {many + decl.substr(3) + props, 2, 2, none}, // the scan's last property
        {many + decl.substr(3) + "kvtm:y='' " + props, -5, kMethodNotNamed},     // one past it
        {binds + " xmlns:k='" + ns + "' " + decl.substr(3) + props, 2, 2, none}, // any number
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto &c = cases[i];
        EXPECT_EQ(read_packet(-1, c.packet, nullptr), c.method) << i;
        EXPECT_EQ(metadata::recorded_method(c.packet), c.made) << i;
        if (c.method <= 0)
            continue;
        std::vector<float> want(kTmParamCount, -99.0f), out = want;
        for (const auto &[slot, v] : c.slots)
            want[size_t(slot)] = v;
        ASSERT_GT(read_packet(c.method, c.packet, out.data()), 0) << i;
        EXPECT_EQ(out, want) << i;
        // Cut anywhere, a packet (of a few KB) gives no value its whole form does not give.
        for (size_t n = c.packet.size() < 5000 ? 0 : c.packet.size(); n < c.packet.size(); ++n) {
            const std::string cut = c.packet.substr(0, n);
            const int method = read_packet(-1, cut, nullptr);
            EXPECT_TRUE(method == 0 || method == -5 || method == c.method) << i << " cut " << n;
            std::fill(out.begin(), out.end(), -99.0f);
            read_packet(c.method, cut, out.data());
            for (int k = 0; k < kTmParamCount; ++k)
                EXPECT_TRUE(out[k] == -99 || out[k] == want[k] || (k == 8 && out[k] == 50)) << n;
        }
    }
}

TEST(GetSettingsFromXmp, RefusesBadPacketsAndGammaOutsideItsDomain)
{
    for (const char *g : {"0.0", "-1.0", "nan", "inf"}) {
        float out[kTmParamCount];
        out[kDeGamma] = 7;
        std::string body = kDeredid + "<kvtm:Gamma>" + g + "</kvtm:Gamma>\n";
        ASSERT_GT(read_packet(1, packet("4.0", body), out), 0) << g;
        EXPECT_EQ(out[kDeGamma], 7) << g << ": found but unreadable, not reset to 50";
    }
    float p[kTmParamCount] = {};
    std::string s = xmp_packet(1, p, "Zoom");
    char lens[64] = {};
    EXPECT_EQ(get_settings_from_xmp(1, int(s.size()), s.data(), lens, p), -3); // no NUL
    EXPECT_EQ(get_settings_from_xmp(100, 0, "", lens, p), -3);
    // Without the program's namespace: 0. The declaration counts up to the slash after the
    // host: another path still reads.
    std::string foreign = s;
    EXPECT_EQ(read_packet(-1, foreign.replace(foreign.find("zenit-hdr.org"), 5, "other"), nullptr),
              0);
    EXPECT_EQ(read_packet(-1, s.replace(s.find("/tone_mapping_settings"), 22, "/x"), nullptr), 1);
}

TEST(GetSettingsFromXmp, ALensOf64CharactersIsNotCopied)
{
    char lens[64] = {};
    const std::string packet = xmp_packet(0, nullptr, std::string(64, 'L').c_str());
    EXPECT_GE(read_packet(100, packet, nullptr, lens), 0);
    EXPECT_EQ(lens[0], 0);
}

// A lens name is XML text in the packet: whatever it holds, the packet stays well-formed, the
// name reads back as written, and no other byte of the packet changes.
TEST(EmbedXmp, HostileLensNamesAreEscapedAndReadBack)
{
    const std::string amps(63, '&');
    const struct {
        std::string lens, readBack;
    } cases[] = {
        {"EF <18-55> & Co", "EF <18-55> & Co"},
        {"x]]>y", "x]]>y"},
        {"it's a \"lens\"", "it's a \"lens\""},
        {"&amp; stays text", "&amp; stays text"},
        {amps, amps}, // five times longer escaped: the limit is the name's own 63
        {"tab\tline\x01"
         "end\x1F",
         "tab line end "}, // control characters have no XML form; the name is one line
    };
    float p[kTmParamCount];
    tmparam_default(2, 0, p);
    const std::string plain = xmp_packet(2, p, "L");
    const size_t open = plain.find("<aux:Lens>") + 10, close = plain.find("</aux:Lens>");
    for (const auto &c : cases) {
        const std::string packet = xmp_packet(2, p, c.lens.c_str());
        const size_t end = packet.find("</aux:Lens>");
        ASSERT_NE(end, std::string::npos) << c.lens;
        EXPECT_EQ(packet.substr(0, open), plain.substr(0, open)) << c.lens;
        EXPECT_EQ(packet.substr(end), plain.substr(close)) << c.lens;
        // The text holds no markup: every '&' opens an entity, no '<' or '>' is left.
        const std::string text = packet.substr(open, end - open);
        EXPECT_EQ(text.find_first_of("<>\"'"), std::string::npos) << text;
        for (size_t a = text.find('&'); a != std::string::npos; a = text.find('&', a + 1)) {
            const std::string rest = text.substr(a);
            EXPECT_TRUE(rest.rfind("&amp;", 0) == 0 || rest.rfind("&lt;", 0) == 0 ||
                        rest.rfind("&gt;", 0) == 0 || rest.rfind("&quot;", 0) == 0 ||
                        rest.rfind("&apos;", 0) == 0)
                << text;
        }
        char lens[64] = {};
        EXPECT_GE(read_packet(100, packet, nullptr, lens), 0);
        EXPECT_EQ(std::string(lens), c.readBack);
        float out[kTmParamCount] = {};
        EXPECT_GT(read_packet(2, packet, out), 0); // the settings still read
    }
}

// Bytes that are not UTF-8, or not characters XML allows, cannot stand in the packet: each
// ill-formed sequence (as long as it could still have become a character) gives one U+FFFD,
// control bytes spaces. An XML parser of its own reads every packet and finds the name the
// packet reader finds; well-formed names pass as they are.
TEST(EmbedXmp, IllFormedLensBytesBecomeReplacementCharactersAndEveryPacketParses)
{
    const std::string R = "\xEF\xBF\xBD", R3 = R + R + R, R4 = R3 + R; // U+FFFD
    std::string replacements21, accents32;
    for (int i = 0; i < 21; ++i)
        replacements21 += R;
    for (int i = 0; i < 32; ++i)
        accents32 += "\xC3\xA9";
    const std::pair<std::string, std::string> cases[] = {
        // Well-formed: accents, CJK (U+6A19 U+6E96 U+30BA U+30FC U+30E0), an emoji (U+1F4F7),
        // then U+0080, U+D7FF, U+E000, U+FFFD, U+10000 and U+10FFFF, the edges XML allows.
        {"f/2.8 \xC3\xA9\xC3\xA0\xC3\x9F", "f/2.8 \xC3\xA9\xC3\xA0\xC3\x9F"},
        {"\xE6\xA8\x99\xE6\xBA\x96\xE3\x82\xBA\xE3\x83\xBC\xE3\x83\xA0 24-70",
         "\xE6\xA8\x99\xE6\xBA\x96\xE3\x82\xBA\xE3\x83\xBC\xE3\x83\xA0 24-70"},
        {"Cam \xF0\x9F\x93\xB7", "Cam \xF0\x9F\x93\xB7"},
        {"\xC2\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBD\xF0\x90\x80\x80\xF4\x8F\xBF\xBF~",
         "\xC2\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBD\xF0\x90\x80\x80\xF4\x8F\xBF\xBF~"},
        {accents32, accents32}, // 64 bytes: written whole, too long for the reader
        // Stray continuation bytes; overlong forms of '/', U+007F, U+002F and U+FFFF.
        {"a\x80"
         "b\xBF",
         "a" + R + "b" + R},
        {"\xC0\xAF\xC1\xBF", R4},
        {"\xE0\x80\xAF", R3},
        {"\xF0\x8F\xBF\xBF", R4},
        // Surrogates U+D800 and U+DFFF; past U+10FFFF; bytes no sequence starts with.
        {"\xED\xA0\x80\xED\xBF\xBF", R3 + R3},
        {"\xF4\x90\x80\x80", R4},
        {"\xF5\x80\xFE\xFF", R4},
        // Truncated sequences: one replacement each, the byte after them kept.
        {"\xE2\x82x\xF0\x9F\x93", R + "x" + R},
        {"\xF0\x9F\x93\xC3", R + R},
        {"\xC3<", R + "<"},
        {"\xEF\xBF\xBE\xEF\xBF\xBF", R + R}, // the non-characters XML excludes
        {"a\tb\nc\rd\x7F"
         "e\x1B[1m",
         "a b c d e [1m"},
        {"<\xFF&\x01>", "<" + R + "& >"},
        // Replacements lengthen the name: it stops short of the reader's 63 bytes, at whole
        // characters (64 bytes of input may give 64 at most).
        {std::string(63, '\x80'), replacements21},
        {std::string(61, 'x') + "\x80", std::string(61, 'x')},
        {std::string(62, 'x') + "\xFF", std::string(62, 'x')},
        {std::string(64, '\xFF'), replacements21},
        {std::string(60, 'x') + "\xFF\xE2\x82\xAC", std::string(60, 'x') + R}, // no euro sign
    };
    float p[kTmParamCount];
    tmparam_default(2, 0, p);
    const std::string plain = xmp_packet(2, p, "L");
    const size_t open = plain.find("<aux:Lens>") + 10, close = plain.find("</aux:Lens>");
    testsupport::TempDir dir;
    std::vector<std::string> files;
    for (const auto &[lens, want] : cases) {
        const std::string packet = xmp_packet(2, p, lens.c_str());
        const size_t end = packet.find("</aux:Lens>");
        ASSERT_NE(end, std::string::npos) << lens;
        EXPECT_EQ(packet.substr(0, open), plain.substr(0, open)) << lens;
        EXPECT_EQ(packet.substr(end), plain.substr(close)) << lens;
        char back[64] = {};
        EXPECT_GE(read_packet(100, packet, nullptr, back), 0);
        EXPECT_EQ(std::string(back), want.size() <= 63 ? want : "") << lens;
        files.push_back(dir.file("p" + std::to_string(files.size()) + ".xmp"));
        testsupport::write_file(files.back(), bytes_of(packet));
    }
    const auto parsed = exiftest::parsed_lens_texts(files);
    if (!parsed)
        GTEST_SKIP() << "python3 not found: the packets were not given to an XML parser";
    ASSERT_EQ(parsed->size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ((*parsed)[i], exiftest::hex_of(cases[i].second)) << cases[i].first;
}

// The lens is the text XML gives its aux:Lens, under any prefix, in either form: references
// decoded, CDATA as text, comments and instructions left out; a comment holding a lens holds
// none. A packet that stops being well-formed before the lens closes gives none; the name's own
// length counts.
TEST(GetSettingsFromXmp, TheLensIsWhatXmlMakesOfItsText)
{
    const std::string aux = "xmlns:aux='http://ns.adobe.com/exif/1.0/aux/'";
    const auto desc = [&](const std::string &inner) {
        return "<rdf:Description " + aux + ">\n" + inner + "</rdf:Description>\n";
    };
    const auto lens = [](const std::string &text) { return "<aux:Lens>" + text + "</aux:Lens>"; };
    const std::pair<std::string, std::string> cases[] = {
        {desc(lens("A&#60;B&#x26;C&#233;")), "A<B&C\xC3\xA9"},
        {"<rdf:Description " + aux + " aux:Lens=\"say &quot;hi&quot;\"/>", "say \"hi\""},
        {"<rdf:Description " + aux + " aux:Lens='it&apos;s'/>", "it's"},
        {desc(lens(std::string(62, 'x') + "&lt;&lt;")), ""}, // 64 once resolved
        {desc(lens("<![CDATA[EF <50> & Co]]>")), "EF <50> & Co"},
        {desc(lens("Zo<!-- x -->om<?pi y?> 50")), "Zoom 50"},
        {"<!-- " + lens("FAKE") + " -->" + desc(lens("Real")), "Real"},
        {desc("<!-- " + lens("FAKE") + " -->"), ""},
        {desc("<![CDATA[" + lens("FAKE") + "]]>"), ""},
        {"<rdf:Description xmlns:a='http://ns.adobe.com/exif/1.0/aux/'><a:Lens>Other</a:Lens>"
         "</rdf:Description>",
         "Other"},
        {"<rdf:Description xmlns:aux='urn:x'>" + lens("FAKE") + "</rdf:Description>", ""},
        {desc(lens("&nbsp;x")), ""},
        {desc(lens("a&#0;b")), ""},
        {desc(lens("a&#xD800;b")), ""},
        {desc(lens("a&#xFFFE;b")), ""},
        {desc(lens("Real")) + "&#0;", "Real"}, // read up to the fault
        {desc("<aux:Lens>Cut"), ""},
        // Bytes that are not UTF-8 read as U+FFFD; a name they lengthen past 63 bytes is cut.
        {desc(lens("f/2.8 \xE9\x01")), "f/2.8 \xEF\xBF\xBD "},
        {desc(lens(std::string(60, 'x') + "\xC0\xAF")), std::string(60, 'x') + "\xEF\xBF\xBD"},
        {desc(lens(std::string(61, 'x') + "\xC0")), std::string(61, 'x')},
        {desc(lens(std::string(62, 'x') + "\xC0\xAF")), ""}, // 64 bytes as they stand
    };
    // The packet is read in parts of a few kilobytes: a lens across their border reads whole.
    std::vector<std::pair<std::string, std::string>> all(std::begin(cases), std::end(cases));
    for (size_t pad = 3850; pad < 4000; ++pad)
        all.emplace_back("<!--\xC0" + std::string(pad, ' ') + "-->" +
                             desc(lens("\xC3\xA9" + std::string(58, 'x') + "\xC0\xAF")),
                         "\xC3\xA9" + std::string(58, 'x') + "\xEF\xBF\xBD");
    for (const auto &[body, want] : all) {
        const std::string packet = kHead + body + kTail;
        char got[64] = {};
        const int rc = read_packet(100, packet, nullptr, got);
        EXPECT_EQ(std::string(got), want) << packet;
        EXPECT_EQ(rc > 0, !want.empty() || body.find(std::string(62, 'x')) != std::string::npos)
            << "a lens is found, too long or not: " << packet;
    }
}

TEST(GetSettingsFromXmp, DecimalCommaLocaleChangesNothing)
{
    float in[kTmParamCount], refOut[kTmParamCount] = {}, out[kTmParamCount] = {};
    tmparam_default(1, 0, in);
    in[kDeLuminosity] = -2.5f;
    in[kDeStrength] = 0.25f; // a tie in binary and decimal: rounds to even like printf
    const std::string reference = xmp_packet(1, in);
    EXPECT_NE(reference.find("Strength>0.2<"), std::string::npos);
    ASSERT_GT(read_packet(1, reference, refOut), 0);

    // scripts/setup.sh makes this locale, so the test runs wherever the suite runs as the
    // README says; a missing locale fails rather than skips.
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    const bool comma = std::setlocale(LC_ALL, "de_DE.UTF-8") &&
                       std::localeconv()->decimal_point == std::string(",");
    const std::string underComma = comma ? xmp_packet(1, in) : std::string();
    const int rc = comma ? read_packet(1, reference, out) : 0;
    std::setlocale(LC_ALL, saved.c_str());
    ASSERT_TRUE(comma) << "no de_DE.UTF-8 locale with a decimal comma: scripts/setup.sh makes it";
    EXPECT_EQ(underComma, reference);
    EXPECT_GT(rc, 0);
    EXPECT_TRUE(std::equal(out, out + kTmParamCount, refOut));
}
