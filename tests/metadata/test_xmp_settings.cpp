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

float slider(double gamma) // the Gamma slot of a gamma the packet shows
{
    return float((1.0 - std::log2(double(float(gamma)))) * 50.0);
}

std::string corrupt_file(const std::string &name)
{
    const Bytes b =
        testsupport::read_file(std::string(HDR_SOURCE_DIR) + "/tests/data/corrupt/xmp/" + name);
    return std::string(b.begin(), b.end());
}

// The writer's packet as an editor rewrites it: the settings sorted by name and indented, after
// a description of its own.
std::string sorted_rewrite(const std::string &packet)
{
    std::vector<std::string> lines;
    for (size_t at = packet.find("<kvtm:"); at != std::string::npos;
         at = packet.find("<kvtm:", at + 1))
        lines.push_back("  " + packet.substr(at, packet.find('\n', at) - at) + "\n");
    std::sort(lines.begin(), lines.end());
    std::string out = kHead +
                      " <rdf:Description rdf:about=''\n  xmlns:dc='http://purl.org/dc/"
                      "elements/1.1/'>\n  <dc:title><rdf:Alt><rdf:li xml:lang='x-default'>"
                      "holiday</rdf:li></rdf:Alt></dc:title>\n </rdf:Description>\n"
                      " <rdf:Description rdf:about=''\n  xmlns:kvtm='" +
                      std::string(metadata::kKvtmNamespace) + "'>\n";
    for (const std::string &l : lines)
        out += l;
    return out + " </rdf:Description>\n" + kTail;
}

} // namespace

// What a packet reads as: the method it names (mode -1), what it tells of the file carrying it,
// and, read for its method over slots of -99, the slots listed (every other stays -99). The
// writer's packets and the older forms are pinned; the order of properties, their form and the
// description holding them mean nothing; a prefix counts where its binding is in scope; hostile
// packets (nested, past the scan's limits, unterminated, in binary bytes) read what they hold.
TEST(GetSettingsFromXmp, ReadsEachSettingInItsOwnFormWhereverItStands)
{
    float light[kTmParamCount];
    tmparam_default(kMethodDeredid, 0, light);
    light[kDeStrength] = 60, light[kDeGamma] = slider(1.5), light[kDeSmoothingMode] = 0;
    light[kDeLightSmoothing] = 3, light[kDeWhiteClip] = 1.25f;
    const std::string ns = metadata::kKvtmNamespace, d = "<rdf:Description rdf:about=''",
                      decl = "<d xmlns:kvtm='" + ns + "' ",
                      props = "kvtm:Version='4.0' kvtm:Method='Rodo Vizezadadu'/>";
    std::string deep = decl + "kvtm:Version='4.0'>", many = "<d ", binds = "<d", junk;
    for (int i = 0; i < 100000; ++i)
        deep += "<rdf:li>";
    for (size_t i = 0; i < metadata::SettingsPacket::kMaxProperties - 2; ++i)
        many += "kvtm:x" + std::to_string(i) + "='1' ";
    for (size_t i = 0; i < metadata::SettingsPacket::kMaxBindings - 1; ++i)
        binds += " xmlns:k" + std::to_string(i) + "='" + ns + "'";
    for (int i = 0; i < 50000; ++i) // '<' that opens no tag, instructions never closed
        junk += std::string("\x01<\x89=\x02<?\x05<a b=\"") + char(i);
    const std::vector<std::pair<int, float>> all = {
        {1, 60}, {2, 46},          {0, 0}, {3, 1.25f}, {4, 0},  {16, 0}, {5, 3},  {6, 0},
        {7, 2},  {8, slider(1.5)}, {9, 0}, {10, 0},    {11, 0}, {12, 0}, {13, 0}, {14, 0}};
    const std::vector<std::pair<int, float>> none = {{8, 50}};
    using metadata::kMethodNotNamed, metadata::kMethodUnknown;
    const struct {
        const char *what;
        std::string packet;
        int method, made;
        std::vector<std::pair<int, float>> slots = {};
    } cases[] = {
        {"light mode", xmp_packet(1, light), 1, 1, all},
        {"sorted after another description", sorted_rewrite(xmp_packet(1, light)), 1, 1, all},
        {"no method", xmp_packet(0, light, "Zoom"), 0, 0, {}},
        {"mean", xmp_packet(14, light, "Zoom"), -5, kMethodNotNamed, {}},
        {"no version", packet("four", "<kvtm:Method>Foo</kvtm:Method>"), -5, 0, {}},
        {"a number past the int range", corrupt_file("version_no_numbers.xmp"), -5, 0, {}},
        {"a name not known", packet("4.0", "<kvtm:Method>Foo</kvtm:Method>"), 0, kMethodUnknown},
        {"a name that begins with a known one",
         packet("4.0", "<kvtm:Method>Rodo Vizezadadu 2</kvtm:Method>"), 2, 2, none},
        {"version 1: integers; the first of NoiseSmoothing and Microsmoothing",
         packet("1.0", "<kvtm:Method>Rezizizo Zuvovudo</kvtm:Method><kvtm:Strength> 70.6<"
                       "/kvtm:Strength><kvtm:Microsmoothing>4</kvtm:Microsmoothing>"
                       "<kvtm:NoiseSmoothing>5</kvtm:NoiseSmoothing><kvtm:Gamma>2.0</kvtm:Gamma>"),
         1,
         1,
         {{1, 70}, {7, 4}, {8, 0}}},
        {"version 1.5: Microcontrast is a number",
         packet("1.5", "<kvtm:Method>Rezizizo Zuvovudo</kvtm:Method><kvtm:Microcontrast>5<"
                       "/kvtm:Microcontrast>"),
         1,
         1,
         {{6, 5}, {8, 50}}},
        {"attributes and elements",
         kHead + d + " xmlns:kvtm='" + ns +
             "' kvtm:Version='4.0' kvtm:Method='Deredid Edazozed'>\n<kvtm:Strength>60<"
             "/kvtm:Strength>\n<kvtm:Gamma>1.5</kvtm:Gamma>\n</rdf:Description>\n" +
             kTail,
         1,
         1,
         {{1, 60}, {8, slider(1.5)}}},
        {"a prefix bound outside, spaced, in three descriptions",
         "<r xmlns:z = \"" + ns + "\">" + d + "\n z:Method\n=\n\"Rodo Vizezadadu\"/>" + d +
             "><z:Contrast>\n -2.5\n</z:Contrast></rdf:Description>" + d + " z:Version='4.0'/></r>",
         2,
         2,
         {{2, -2.5f}, {8, 50}}},
        {"kvtm bound elsewhere, a comment, CDATA",
         kHead + d + " xmlns:kvtm='urn:x'><kvtm:Strength>5</kvtm:Strength><kvtm:Method>Rodo " +
             "Vizezadadu</kvtm:Method></rdf:Description>" + d + " xmlns:kvtm='" + ns +
             "' kvtm:Version='4.0'><!-- <kvtm:Strength>6</kvtm:Strength> --><![CDATA[<kvtm:"
             "Gamma>2</kvtm:Gamma>]]><kvtm:Method>Deredid Edazozed</kvtm:Method><x:y xmlns:kvtm="
             "'urn:x'><kvtm:Strength>7</kvtm:Strength></x:y><kvtm:Strength>61</kvtm:Strength>"
             "</rdf:Description>" +
             kTail,
         1,
         1,
         {{1, 61}, {8, 50}}},
        {"out of the binding's scope", decl + "/><e kvtm:Version='4.0'/>", -5, 0, {}},
        {"the default namespace",
         "<a xmlns='" + ns + "'><Version>4.0</Version><Method>Fusion/" +
             "Intensive</Method><Radius>9</Radius></a>",
         11,
         11,
         {{2, 9}, {8, 50}}},
        {"an editor's rewrite with hostile ends; an empty Microsmoothing",
         corrupt_file("sorted_mixed_forms.xmp"),
         1,
         1,
         {{1, 60}, {8, slider(1.5)}, {16, 0}, {5, 3}}},
        {"deep", deep + "<kvtm:Method>Rodo Vizezadadu</kvtm:Method>", 2, 2, none},
        {"the scan's last property", many + decl.substr(3) + props, 2, 2, none},
        {"a property past it", many + decl.substr(3) + "kvtm:y='' " + props, -5, kMethodNotNamed},
        {"the last binding", binds + " " + decl.substr(3) + props, 2, 2, none},
        {"a binding past it", binds + " xmlns:k='" + ns + "' " + decl.substr(3) + props, 0, 0},
        {"a comment never closed", decl + "kvtm:Version='4.0'><!-- <kvtm:Method>Rodo Vizezadadu<",
         -5, kMethodNotNamed},
        {"a quote never closed", decl + "kvtm:Version='4.0' kvtm:Method='Rodo Vizezadadu", 0, 0},
        {"cut in a text", decl + "kvtm:Version='4.0'><kvtm:Method>Rodo Vizezadadu", -5,
         kMethodNotNamed},
        {"a megabyte of '<'", std::string(1 << 20, '<') + decl + props, 2, 2, none},
        {"in binary bytes", junk + decl + props + junk, 2, 2, none},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(read_packet(-1, c.packet, nullptr), c.method) << c.what;
        EXPECT_EQ(metadata::recorded_method(c.packet), c.made) << c.what;
        if (c.method <= 0)
            continue;
        float out[kTmParamCount];
        std::fill(out, out + kTmParamCount, -99.0f);
        ASSERT_GT(read_packet(c.method, c.packet, out), 0) << c.what;
        std::vector<float> want(kTmParamCount, -99.0f);
        for (const auto &[slot, v] : c.slots)
            want[size_t(slot)] = v;
        EXPECT_EQ(std::vector<float>(out, out + kTmParamCount), want) << c.what;
    }
}

// Every packet the writer makes reads back, sorted or not, to settings that write it again byte
// for byte. A packet cut anywhere gives no value its whole form does not give.
TEST(GetSettingsFromXmp, WrittenPacketsRoundTripAndCutOnesReadNothingFalse)
{
    float p[5][kTmParamCount];
    const int methods[] = {1, 1, 2, 10, 11};
    for (int k = 0; k < 5; ++k) {
        tmparam_default(methods[k], 0, p[k]);
        p[k][k == 3 ? 6 : 0] = -7.5f;
    }
    p[1][kDeSmoothingMode] = 0, p[1][kDeLightSmoothing] = 0, p[0][kDeSliderSmoothing] = -3.5f;
    for (int k = 0; k < 5; ++k) {
        for (const int form : {methods[k], methods[k] + 200}) {
            for (const char *lens : {static_cast<const char *>(nullptr), "Prime"}) {
                const std::string packet = xmp_packet(form, p[k], lens);
                for (const std::string &text : {packet, sorted_rewrite(packet)}) {
                    float back[kTmParamCount];
                    tmparam_default(methods[k], 0, back);
                    ASSERT_GT(read_packet(methods[k], text, back), 0) << text;
                    EXPECT_EQ(xmp_packet(form, back, lens), packet);
                    EXPECT_EQ(metadata::recorded_method(text), methods[k]);
                }
            }
        }
    }
    const std::string whole = kHead + "<d xmlns:kvtm='" + std::string(metadata::kKvtmNamespace) +
                              "' kvtm:Version='4.0' kvtm:Method='Deredid Edazozed'>\n<!-- <kvtm:"
                              "Strength>5</kvtm:Strength> --><x:y a='<' b=\"'\"/><kvtm:Strength>"
                              "61.5</kvtm:Strength><kvtm:Gamma>1.5</kvtm:Gamma><kvtm:Smoothing"
                              "Mode>Light</kvtm:SmoothingMode><kvtm:Smoothing>Very Low</kvtm:"
                              "Smoothing></d>" +
                              kTail;
    float full[kTmParamCount];
    std::fill(full, full + kTmParamCount, -99.0f);
    ASSERT_GT(read_packet(1, whole, full), 0);
    for (size_t n = 0; n <= whole.size(); ++n) {
        float cut[kTmParamCount];
        std::fill(cut, cut + kTmParamCount, -99.0f);
        const int method = read_packet(-1, whole.substr(0, n), nullptr);
        EXPECT_TRUE(method == 0 || method == -5 || method == 1) << n;
        if (read_packet(1, whole.substr(0, n), cut) <= 0)
            continue;
        for (int k = 0; k < kTmParamCount; ++k)
            EXPECT_TRUE(cut[k] == -99 || cut[k] == full[k] || (k == 8 && cut[k] == 50)) << n;
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

// Packets of other writers: numeric references and both quoted forms resolve; an unknown
// entity or a lone '&' stays as written; the name's own length counts.
TEST(GetSettingsFromXmp, LensReferencesOfOtherWritersResolve)
{
    const std::string decl =
        "<rdf:Description xmlns:aux='http://ns.adobe.com/exif/1.0/aux/' aux:Lens=";
    const std::pair<std::string, std::string> cases[] = {
        {"<aux:Lens>A&#60;B&#x26;C&#233;</aux:Lens>", "A<B&C\xC3\xA9"},
        {"<aux:Lens>&nbsp;&#xD800;&#0;& x</aux:Lens>", "&nbsp;&#xD800;&#0;& x"},
        {"\"say &quot;hi&quot;\"/>", "say \"hi\""},
        {"'it&apos;s'/>", "it's"},
        {"<aux:Lens>" + std::string(62, 'x') + "&lt;&lt;</aux:Lens>", ""}, // 64 once resolved
    };
    for (const auto &[lensPart, want] : cases) {
        const bool element = lensPart[0] == '<';
        const std::string packet =
            kHead +
            (element ? decl.substr(0, decl.size() - 10) + ">\n" + lensPart : decl + lensPart) +
            (element ? "</rdf:Description>\n" : "\n") + kTail;
        char lens[64] = {};
        EXPECT_GE(read_packet(100, packet, nullptr, lens), 0) << packet;
        EXPECT_EQ(std::string(lens), want) << packet;
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
