// The settings packet: exact bytes of the writer, write-read round trips for every method, the
// older packet versions and names, the attribute form, lens extraction, and locale independence.
#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstring>
#include <string>
#include <vector>

#include "metadata/xmp_settings.h"
#include "tests/support/fixtures.h"
#include "tonemap/tm_params.h"

namespace {

std::string make_packet(int method, const float *p, const char *lens = nullptr)
{
    int lensLen = lens ? int(std::strlen(lens)) + 1 : 0;
    int n = embed_xmp(0, method, p, lensLen, lens, nullptr);
    std::string s(size_t(std::max(n, 0)), '\0');
    EXPECT_EQ(embed_xmp(1, method, p, lensLen, lens, s.data()), n);
    return s;
}
// Reads a packet given without its terminating zero.
int read_packet(int mode, std::string packet, float *p, char *lens = nullptr)
{
    packet.push_back('\0');
    return get_settings_from_xmp(mode, int(packet.size()), packet.data(), lens, p);
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
void fill(float *p, float v)
{
    std::fill(p, p + kTmParamCount, v);
}

} // namespace

TEST(EmbedXmp, ExactPacketsAndNumberFormats)
{
    float p[kTmParamCount];
    tmparam_default(11, 0, p);
    EXPECT_EQ(make_packet(11, p), packet("4.0", "<kvtm:Method>Fusion/Intensive</kvtm:Method>\n"
                                                "<kvtm:Strength>0.0</kvtm:Strength>\n"
                                                "<kvtm:Saturation>0.0</kvtm:Saturation>\n"
                                                "<kvtm:Radius>40.0</kvtm:Radius>\n"));
    EXPECT_EQ(kHead + make_packet(211, p) + kTail, make_packet(11, p)); // 2xx: no wrapper
    // Method 0 without a lens: the wrapper alone, closing lines included (128 bytes).
    EXPECT_EQ(embed_xmp(0, 0, p, 0, nullptr, nullptr), 128);
    EXPECT_EQ(make_packet(0, p), kHead + kTail);
    EXPECT_EQ(make_packet(0, p, "Zoom"), kHead +
                                             "<rdf:Description rdf:about=''\nxmlns:aux='http:"
                                             "//ns.adobe.com/exif/1.0/aux/'>\n<aux:Lens>Zoom"
                                             "</aux:Lens>\n</rdf:Description>\n\n" +
                                             kTail);
    EXPECT_EQ(make_packet(5, p), packet("4.0", "")); // a method without settings

    tmparam_default(1, 0, p);
    p[kDeLuminosity] = -2.5f;
    p[kDeStrength] = 0.25f; // a tie in binary and decimal: rounds to even like printf
    p[kDeMicrocontrast] = 1e30f;
    p[kDeSmoothingMode] = 0;
    p[kDeLightSmoothing] = 1;
    const std::string s = make_packet(1, p);
    for (const char *line :
         {"<kvtm:Luminosity>-2.5</kvtm:Luminosity>", "<kvtm:Strength>0.2</kvtm:Strength>",
          "<kvtm:WhiteClip>0.250000</kvtm:WhiteClip>", "<kvtm:Gamma>1.0</kvtm:Gamma>",
          "<kvtm:Microcontrast>1000000015047466219876688855040.0</kvtm:Microcontrast>",
          "<kvtm:SmoothingMode>Light</kvtm:SmoothingMode>\n<kvtm:Smoothing>High    </kvtm:"})
        EXPECT_NE(s.find(line), std::string::npos) << line;
}

TEST(EmbedXmp, MeasuredLengthIsWhatIsWritten)
{
    float p[kTmParamCount];
    for (int method : {0, 1, 2, 5, 10, 11, 201, 210})
        for (const char *lens : {static_cast<const char *>(nullptr), "Zoom 24-70mm"}) {
            tmparam_default(method % 200, 0, p);
            int lensLen = lens ? int(std::strlen(lens)) + 1 : 0;
            int measured = embed_xmp(0, method, p, lensLen, lens, nullptr);
            std::string out(size_t(measured) + 8, '#');
            EXPECT_EQ(embed_xmp(1, method, p, lensLen, lens, out.data()), measured) << method;
            EXPECT_EQ(out.substr(size_t(measured)), "########") << "wrote past the length";
        }
    EXPECT_EQ(embed_xmp(0, 1, nullptr, 0, nullptr, nullptr), -3);
    EXPECT_EQ(embed_xmp(1, 1, p, 0, nullptr, nullptr), -3);
}

TEST(GetSettingsFromXmp, RoundTripsForEveryMethod)
{
    float in[kTmParamCount], out[kTmParamCount];
    const float values[] = {-3.5f, 55.5f, 12.3f, 0.125f, 0.75f, 2, -4.5f, 7.5f,  60, 1.5f,
                            2.5f,  3.5f,  -10,   20.5f,  -6,    0, 1,     33.3f, 0,  0};
    std::copy(values, values + kTmParamCount, in);
    fill(out, -99);
    ASSERT_GT(read_packet(1, make_packet(1, in), out), 0);
    for (int slot = 0; slot < kTmParamCount; ++slot) {
        if (slot == kDeGamma) // 2^(-0.2) = 0.87 travels as "0.9": (1 - log2 0.9) x 50 = 57.6
            EXPECT_NEAR(out[slot], 57.6, 1e-3); // the float 0.9 moves it by about 2e-4
        else // 5 is written in light mode only; 15, 18, 19 never: the caller's values stay
            EXPECT_EQ(out[slot], slot == 5 || slot == 15 || slot >= 18 ? -99 : in[slot]) << slot;
    }
    // Light mode: levels 0..4 travel as words; another value as "Light", which is no level.
    in[kDeSmoothingMode] = 0;
    for (int level : {0, 1, 2, 3, 4, 8}) {
        in[kDeLightSmoothing] = float(level);
        fill(out, 9);
        ASSERT_GT(read_packet(1, make_packet(1, in), out), 0);
        EXPECT_EQ(out[kDeSmoothingMode], 0);
        EXPECT_EQ(out[kDeLightSmoothing], level <= 4 ? float(level) : 9.0f) << level;
        EXPECT_EQ(out[kDeSliderSmoothing], 9) << "slider smoothing is not read in light mode";
    }
    const std::pair<int, std::vector<int>> others[] = {
        {2, {0, 1, 2, 3, 4, 12, 13}}, {10, {0, 1, 2, 3, 4, 5, 6}}, {11, {0, 1, 2}}};
    for (const auto &[method, slots] : others) {
        fill(in, 0);
        for (size_t k = 0; k < slots.size(); ++k)
            in[slots[k]] = -5.5f + 1.5f * float(k); // one decimal: exact through "%1.1f"
        fill(out, -99);
        ASSERT_GT(read_packet(method, make_packet(method, in), out), 0) << method;
        for (int slot = 0; slot < kTmParamCount; ++slot) {
            bool carried = std::find(slots.begin(), slots.end(), slot) != slots.end();
            EXPECT_EQ(out[slot], carried     ? in[slot]
                                 : slot == 8 ? 50.0f
                                             : -99.0f) // no Gamma: 50
                << "method " << method << " slot " << slot;
        }
    }
}

TEST(GetSettingsFromXmp, MethodQueryNamesAndMismatch)
{
    float p[kTmParamCount] = {}, out[kTmParamCount] = {};
    for (int method : {1, 2, 10, 11})
        EXPECT_EQ(read_packet(-1, make_packet(method, p), nullptr), method);
    EXPECT_EQ(read_packet(-1, make_packet(5, p), nullptr), -5); // no method element
    EXPECT_EQ(read_packet(-1, make_packet(0, p), nullptr), 0);  // no namespace
    EXPECT_EQ(read_packet(2, make_packet(1, p), p), -5);
    // Older method names.
    std::string old = packet("3.0", "<kvtm:Method>Vovadi Davorovure</kvtm:Method>\n"
                                    "<kvtm:Brightness>4.5</kvtm:Brightness>\n");
    EXPECT_GT(read_packet(2, old, out), 0);
    EXPECT_EQ(out[kRoBrightness], 4.5f);
    EXPECT_EQ(read_packet(1, old, out), -5);
    EXPECT_EQ(
        read_packet(-1, packet("3.0", "<kvtm:Method>Rezizizo Zuvovudo</kvtm:Method>\n"), nullptr),
        1);
    // An unknown method is 0. Mode 0 matches it, and a packet without a method element (the
    // result is a position, 0 there); either reads nothing but slot 8.
    std::string unknown = packet("4.0", "<kvtm:Method>Oil Paint</kvtm:Method>\n");
    EXPECT_EQ(read_packet(-1, unknown, nullptr), 0);
    for (const auto &[s, found] : {std::pair{unknown, true}, {make_packet(5, p), false}}) {
        fill(out, 3);
        const int rc = read_packet(0, s, out);
        EXPECT_TRUE(found ? rc > 0 : rc == 0) << rc;
        EXPECT_TRUE(out[8] == 50 && out[0] == 3);
    }
}

TEST(GetSettingsFromXmp, OlderVersionsAndTheAttributeForm)
{
    float out[kTmParamCount] = {};
    // Up to version 2 numbers are integers ("%d"); clips are always real numbers.
    ASSERT_GT(read_packet(1,
                          packet("1.0", kDeredid + "<kvtm:Strength>70.6</kvtm:Strength>\n"
                                                   "<kvtm:WhiteClip>0.5</kvtm:WhiteClip>\n"),
                          out),
              0);
    EXPECT_EQ(out[kDeStrength], 70);
    EXPECT_EQ(out[kDeWhiteClip], 0.5f);
    // Microcontrast words up to version 2.4; after it, or an unknown word, leave the slot.
    const struct {
        const char *version, *word;
        float value;
    } words[] = {{"2.4", "High", 0},       {"2.4", "Medium High", -2}, {"2.4", "Medium Low", -6},
                 {"2.4", "Medium", -2},    {"2.4", "Low", -9},         {"2.4", "Very Low", -10},
                 {"2.5", "Medium Low", 5}, {"2.4", "Strong", 5}};
    for (const auto &w : words) {
        fill(out, 5);
        std::string body = kDeredid + "<kvtm:Microcontrast>" + w.word + "</kvtm:Microcontrast>\n";
        ASSERT_GT(read_packet(1, packet(w.version, body), out), 0);
        EXPECT_EQ(out[kDeMicrocontrast], w.value) << w.version << " " << w.word;
    }
    // NoiseSmoothing is the older Microsmoothing: the first of the two met in the text wins.
    std::string body = kDeredid + "<kvtm:NoiseSmoothing>6.5</kvtm:NoiseSmoothing>\n"
                                  "<kvtm:Microsmoothing>1.5</kvtm:Microsmoothing>\n";
    ASSERT_GT(read_packet(1, packet("4.0", body), out), 0);
    EXPECT_EQ(out[kDeMicrosmoothing], 6.5f);

    std::string attr = kHead + "<rdf:Description rdf:about=''\n xmlns:kvtm=\"" +
                       metadata::kKvtmNamespace +
                       "\"\n kvtm:Version=\"4.0\"\n kvtm:Method=\"Deredid Edazozed\"\n"
                       " kvtm:Strength=\"61.5\"\n kvtm:WhiteClip=\"0.125000\"\n"
                       " kvtm:SmoothingMode=\"Light\"\n kvtm:Smoothing=\"Medium  \"\n"
                       " kvtm:Gamma=\"1.0\"/>\n" +
                       kTail;
    fill(out, -1);
    ASSERT_GT(read_packet(1, attr, out), 0);
    const float expected[] = {-1, 61.5f, -1, 0.125f, -1, 2, -1, -1, 50, -1};
    EXPECT_TRUE(std::equal(expected, expected + 10, out));
    EXPECT_EQ(out[kDeSmoothingMode], 0);
}

TEST(GetSettingsFromXmp, GammaOutsideItsDomainDoesNotParse)
{
    for (const char *g : {"0.0", "-1.0", "nan", "inf", "x"}) {
        float out[kTmParamCount];
        fill(out, 7);
        std::string body = kDeredid + "<kvtm:Gamma>" + g + "</kvtm:Gamma>\n";
        ASSERT_GT(read_packet(1, packet("4.0", body), out), 0) << g;
        EXPECT_EQ(out[kDeGamma], 7) << g << ": found but unreadable, not reset to 50";
    }
}

TEST(GetSettingsFromXmp, RefusesBadPackets)
{
    float p[kTmParamCount] = {};
    std::string s = make_packet(1, p, "Zoom");
    char lens[64] = {};
    for (int mode : {100, -1, 1}) {
        EXPECT_EQ(get_settings_from_xmp(mode, int(s.size()), s.data(), lens, p), -3); // no NUL
        EXPECT_EQ(get_settings_from_xmp(mode, 0, "", lens, p), -3);
        EXPECT_EQ(get_settings_from_xmp(mode, -4, "", lens, p), -3);
        EXPECT_EQ(get_settings_from_xmp(mode, 1, nullptr, lens, p), -3);
    }
    EXPECT_EQ(read_packet(1, s, nullptr), -3);
    EXPECT_EQ(read_packet(100, s, nullptr, nullptr), -3);
    // Too short, or without the program's namespace: 0.
    EXPECT_EQ(read_packet(-1, "<kvtm:Method>x</kvtm:Method>", nullptr), 0);
    std::string foreign = s;
    EXPECT_EQ(read_packet(-1, foreign.replace(foreign.find("zenit-hdr.org"), 5, "other"), nullptr),
              0);
    // The declaration counts up to the slash after the host: another path still reads.
    EXPECT_EQ(read_packet(-1, s.replace(s.find("/tone_mapping_settings"), 22, "/x"), nullptr), 1);
}

TEST(GetSettingsFromXmp, LensInElementAndAttributeForms)
{
    float p[kTmParamCount] = {};
    const std::string aux = kHead + "<rdf:Description rdf:about='' xmlns:aux=\"http://ns.adobe.com/"
                                    "exif/1.0/aux/\" aux:Lens=";
    const std::string name63(63, 'L');
    const std::pair<std::string, std::string> cases[] = {
        {make_packet(1, p, "EF 17-40mm f/4L USM"), "EF 17-40mm f/4L USM"},
        {aux + "\"Macro 100mm\"/>\n" + kTail, "Macro 100mm"},
        {aux + "'Macro 60mm'/>\n" + kTail, "Macro 60mm"},
        {make_packet(0, p, name63.c_str()), name63}, // 63 characters are copied, 64 are not
        {make_packet(0, p, std::string(64, 'L').c_str()), ""},
        {make_packet(0, p, ""), ""},
        {"<aux:Lens>x</aux:Lens>", ""}, // under 45 bytes
    };
    for (const auto &[text, expected] : cases) {
        char lens[64] = {};
        EXPECT_GE(read_packet(100, text, nullptr, lens), 0) << expected;
        EXPECT_EQ(std::string(lens, strnlen(lens, 64)), expected);
    }
}

TEST(GetSettingsFromXmp, DecimalCommaLocaleChangesNothing)
{
    float in[kTmParamCount], refOut[kTmParamCount] = {}, out[kTmParamCount] = {};
    tmparam_default(1, 0, in);
    in[kDeLuminosity] = -2.5f;
    in[kDeGamma] = 60;
    const std::string reference = make_packet(1, in);
    ASSERT_GT(read_packet(1, reference, refOut), 0);

    const std::string saved = std::setlocale(LC_ALL, nullptr);
    const char *found = nullptr;
    for (const char *name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "fr_FR"})
        if (!found && std::setlocale(LC_ALL, name) &&
            std::strcmp(std::localeconv()->decimal_point, ",") == 0)
            found = name;
    const std::string underComma = found ? make_packet(1, in) : reference;
    const int rc = found ? read_packet(1, reference, out) : 0;
    std::setlocale(LC_ALL, saved.c_str());
    if (!found)
        GTEST_SKIP() << "no decimal-comma locale installed";
    EXPECT_EQ(underComma, reference) << "locale " << found;
    EXPECT_GT(rc, 0);
    EXPECT_TRUE(std::equal(out, out + kTmParamCount, refOut));
}

TEST(ParseXmp, ReadsPresetFiles)
{
    testsupport::TempDir dir;
    float in[kTmParamCount], out[kTmParamCount] = {};
    tmparam_default(2, 0, in);
    in[kRoContrast] = 12.5f;
    const std::string text = make_packet(2, in), path = dir.file("preset.xmp");
    ASSERT_TRUE(testsupport::write_file(path, testsupport::Bytes(text.begin(), text.end())));
    EXPECT_GT(parse_xmp(path.c_str(), 2, out), 0);
    EXPECT_EQ(out[kRoContrast], 12.5f);
    EXPECT_EQ(parse_xmp(path.c_str(), 1, out), -5);
    EXPECT_EQ(parse_xmp(path.c_str(), -1, nullptr), 2);
    EXPECT_EQ(parse_xmp(dir.file("missing.xmp").c_str(), 2, out), -1);
    EXPECT_EQ(parse_xmp(nullptr, 2, out), -1);
    ASSERT_TRUE(testsupport::write_file(dir.file("empty.xmp"), {}));
    EXPECT_EQ(parse_xmp(dir.file("empty.xmp").c_str(), 2, out), 0);
}
