// The settings packet: exact bytes of the writer, write-read round trips for every method, the
// older packet versions and names, the attribute form, lens extraction, and locale independence.
#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cmath>
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
    EXPECT_GT(n, 0);
    std::string s(size_t(n > 0 ? n : 0), '\0');
    EXPECT_EQ(embed_xmp(1, method, p, lensLen, lens, s.data()), n);
    return s;
}

// Reads a packet given without its terminating zero.
int read_packet(int mode, const std::string &packet, float *p, char *lens = nullptr)
{
    std::string z = packet;
    z.push_back('\0');
    return get_settings_from_xmp(mode, int(z.size()), z.data(), lens, p);
}

const std::string kHead = "<x:xmpmeta xmlns:x='adobe:ns:meta/'>\n"
                          "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>\n\n";
const std::string kTail = "</rdf:RDF>\n</x:xmpmeta>\n";

std::string kvtm_description(const std::string &version, const std::string &body,
                             const char *quote = "'")
{
    return std::string("<rdf:Description rdf:about=''\nxmlns:kvtm=") + quote +
           metadata::kKvtmNamespace + quote + ">\n<kvtm:Version>" + version + "</kvtm:Version>\n" +
           body + "</rdf:Description>\n\n";
}

void fill(float *p, float v)
{
    for (int i = 0; i < kTmParamCount; ++i)
        p[i] = v;
}

} // namespace

TEST(EmbedXmp, WritesTheExactBytes)
{
    float p[kTmParamCount];
    tmparam_default(11, 0, p);
    std::string expected = kHead +
                           kvtm_description("4.0", "<kvtm:Method>Fusion/Intensive</kvtm:Method>\n"
                                                   "<kvtm:Strength>0.0</kvtm:Strength>\n"
                                                   "<kvtm:Saturation>0.0</kvtm:Saturation>\n"
                                                   "<kvtm:Radius>40.0</kvtm:Radius>\n") +
                           kTail;
    EXPECT_EQ(make_packet(11, p), expected);
}

TEST(EmbedXmp, MeasuringAndWritingGiveTheSameLength)
{
    float p[kTmParamCount];
    for (int method : {0, 1, 2, 5, 10, 11, 201, 210}) {
        tmparam_default(method % 200, 0, p);
        for (const char *lens : {static_cast<const char *>(nullptr), "Zoom 24-70mm"}) {
            int lensLen = lens ? int(std::strlen(lens)) + 1 : 0;
            int measured = embed_xmp(0, method, p, lensLen, lens, nullptr);
            std::string out(size_t(measured) + 8, '#');
            EXPECT_EQ(embed_xmp(1, method, p, lensLen, lens, out.data()), measured) << method;
            EXPECT_EQ(out.substr(size_t(measured)), "########") << "wrote past the length";
        }
    }
}

TEST(EmbedXmp, WrapperAndDescriptions)
{
    float p[kTmParamCount];
    tmparam_default(1, 0, p);
    // The wrapper alone: 37 + 67 bytes of opening lines and 24 of closing ones.
    EXPECT_EQ(embed_xmp(0, 0, p, 0, nullptr, nullptr), 128);
    EXPECT_EQ(make_packet(0, p), kHead + kTail);

    EXPECT_EQ(make_packet(0, p, "Zoom 24-70mm"),
              kHead +
                  "<rdf:Description rdf:about=''\n"
                  "xmlns:aux='http://ns.adobe.com/exif/1.0/aux/'>\n"
                  "<aux:Lens>Zoom 24-70mm</aux:Lens>\n</rdf:Description>\n\n" +
                  kTail);

    std::string bare = make_packet(201, p);
    EXPECT_EQ(bare.rfind("<rdf:Description", 0), 0u);
    ASSERT_GE(bare.size(), 20u);
    EXPECT_EQ(bare.substr(bare.size() - 20), "</rdf:Description>\n\n");
    EXPECT_EQ(bare.find("xmpmeta"), std::string::npos);

    // A method without settings: the version element and nothing else.
    EXPECT_EQ(make_packet(5, p), kHead + kvtm_description("4.0", "") + kTail);
}

TEST(EmbedXmp, NumberFormats)
{
    float p[kTmParamCount];
    tmparam_default(1, 0, p);
    p[kDeLuminosity] = -2.5f;
    p[kDeStrength] = 0.25f; // a tie in binary and decimal: rounds to even like printf
    p[kDeMicrocontrast] = 1e30f;
    std::string s = make_packet(1, p);
    EXPECT_NE(s.find("<kvtm:Luminosity>-2.5</kvtm:Luminosity>"), std::string::npos);
    EXPECT_NE(s.find("<kvtm:Strength>0.2</kvtm:Strength>"), std::string::npos);
    EXPECT_NE(s.find("<kvtm:WhiteClip>0.250000</kvtm:WhiteClip>"), std::string::npos);
    EXPECT_NE(s.find("<kvtm:Microcontrast>1000000015047466219876688855040.0</kvtm:Microcontrast>"),
              std::string::npos);
    EXPECT_NE(s.find("<kvtm:Gamma>1.0</kvtm:Gamma>"), std::string::npos);
}

TEST(EmbedXmp, SmoothingLinesFollowTheMode)
{
    float p[kTmParamCount];
    tmparam_default(1, 0, p);
    p[kDeSmoothingMode] = 0;
    p[kDeLightSmoothing] = 1;
    std::string light = make_packet(1, p);
    EXPECT_NE(light.find("<kvtm:SmoothingMode>Light</kvtm:SmoothingMode>\n"
                         "<kvtm:Smoothing>High    </kvtm:Smoothing>\n"),
              std::string::npos);

    p[kDeLightSmoothing] = 7;
    EXPECT_NE(make_packet(1, p).find("<kvtm:Smoothing>Light</kvtm:Smoothing>"), std::string::npos);

    p[kDeSmoothingMode] = 3;
    std::string other = make_packet(1, p);
    EXPECT_NE(other.find("<kvtm:SmoothingMode>Light</kvtm:SmoothingMode>"), std::string::npos);
    EXPECT_EQ(other.find("<kvtm:Smoothing>"), std::string::npos);

    EXPECT_EQ(embed_xmp(0, 1, nullptr, 0, nullptr, nullptr), -3);
    EXPECT_EQ(embed_xmp(1, 1, p, 0, nullptr, nullptr), -3);
}

TEST(GetSettingsFromXmp, DeredidRoundTrip)
{
    float in[kTmParamCount];
    tmparam_default(1, 0, in);
    const float values[] = {-3.5f, 55.5f, 12.3f, 0.125f, 0.75f, 2,  -4.5f, 7.5f, 50,
                            1.5f,  2.5f,  3.5f,  -10,    20.5f, -6, 0,     1,    33.3f};
    for (int i = 0; i < 18; ++i)
        in[i] = values[i];
    std::string packet = make_packet(1, in);

    float out[kTmParamCount];
    fill(out, -99);
    ASSERT_GT(read_packet(1, packet, out), 0);
    for (int slot : {0, 1, 2, 3, 4, 6, 7, 8, 9, 10, 11, 12, 13, 14, 16, 17})
        EXPECT_EQ(out[slot], in[slot]) << "slot " << slot;
    // Slots the packet does not carry keep the caller's values (5: light mode only).
    for (int slot : {5, 15, 18, 19})
        EXPECT_EQ(out[slot], -99) << "slot " << slot;
}

TEST(GetSettingsFromXmp, GammaTravelsAsOneDecimal)
{
    float in[kTmParamCount];
    tmparam_default(1, 0, in);
    in[kDeGamma] = 60; // gamma 2^(-0.2) = 0.87, written 0.9
    float out[kTmParamCount] = {};
    ASSERT_GT(read_packet(1, make_packet(1, in), out), 0);
    // (1 - log2 0.9) x 50 = 57.600; the float 0.9 moves it by about 2e-4.
    EXPECT_NEAR(out[kDeGamma], 57.6, 1e-3);
}

TEST(GetSettingsFromXmp, LightModeLevelsRoundTrip)
{
    float in[kTmParamCount];
    tmparam_default(1, 0, in);
    in[kDeSmoothingMode] = 0;
    for (int level = 0; level <= 4; ++level) {
        in[kDeLightSmoothing] = float(level);
        float out[kTmParamCount];
        fill(out, 9);
        ASSERT_GT(read_packet(1, make_packet(1, in), out), 0);
        EXPECT_EQ(out[kDeSmoothingMode], 0);
        EXPECT_EQ(out[kDeLightSmoothing], float(level));
        EXPECT_EQ(out[kDeSliderSmoothing], 9) << "slider smoothing is not read in light mode";
    }
    // The word "Light" in place of a level is no level: slot 5 stays.
    in[kDeLightSmoothing] = 8;
    float out[kTmParamCount];
    fill(out, 9);
    ASSERT_GT(read_packet(1, make_packet(1, in), out), 0);
    EXPECT_EQ(out[kDeLightSmoothing], 9);
}

TEST(GetSettingsFromXmp, OtherMethodsRoundTrip)
{
    struct Case {
        int method;
        std::vector<int> slots;
    };
    for (const Case &c :
         {Case{2, {0, 1, 2, 3, 4, 12, 13}}, Case{10, {0, 1, 2, 3, 4, 5, 6}}, Case{11, {0, 1, 2}}}) {
        float in[kTmParamCount] = {};
        for (size_t k = 0; k < c.slots.size(); ++k)
            in[c.slots[k]] = -5.5f + 1.5f * float(k); // one decimal: exact through "%1.1f"
        float out[kTmParamCount];
        fill(out, -99);
        ASSERT_GT(read_packet(c.method, make_packet(c.method, in), out), 0) << c.method;
        for (int slot = 0; slot < kTmParamCount; ++slot) {
            bool carried = std::find(c.slots.begin(), c.slots.end(), slot) != c.slots.end();
            float expected = carried ? in[slot] : slot == 8 ? 50.0f : -99.0f;
            EXPECT_EQ(out[slot], expected) << "method " << c.method << " slot " << slot;
        }
    }
}

TEST(GetSettingsFromXmp, MethodQueryAndMismatch)
{
    float p[kTmParamCount] = {};
    for (int method : {1, 2, 10, 11})
        EXPECT_EQ(read_packet(-1, make_packet(method, p), nullptr), method);
    EXPECT_EQ(read_packet(-1, make_packet(5, p), nullptr), -5); // no method element
    EXPECT_EQ(read_packet(-1, make_packet(0, p), nullptr), 0);  // no namespace
    EXPECT_EQ(read_packet(2, make_packet(1, p), p), -5);

    std::string old = kHead +
                      kvtm_description("3.0", "<kvtm:Method>Vovadi Davorovure</kvtm:Method>\n"
                                              "<kvtm:Brightness>4.5</kvtm:Brightness>\n") +
                      kTail;
    float out[kTmParamCount] = {};
    EXPECT_GT(read_packet(2, old, out), 0);
    EXPECT_EQ(out[kRoBrightness], 4.5f);
    EXPECT_EQ(read_packet(1, old, out), -5);
    std::string older =
        kHead + kvtm_description("3.0", "<kvtm:Method>Rezizizo Zuvovudo</kvtm:Method>\n") + kTail;
    EXPECT_EQ(read_packet(-1, older, nullptr), 1);

    std::string unknown =
        kHead + kvtm_description("4.0", "<kvtm:Method>Oil Paint</kvtm:Method>\n") + kTail;
    EXPECT_EQ(read_packet(-1, unknown, nullptr), 0);
    // Mode 0 matches it: nothing is read but slot 8.
    fill(out, 3);
    EXPECT_GT(read_packet(0, unknown, out), 0);
    EXPECT_EQ(out[8], 50);
    EXPECT_EQ(out[0], 3);
    // And a packet without a method element: the result is a position, 0 here.
    fill(out, 3);
    EXPECT_EQ(read_packet(0, make_packet(5, p), out), 0);
    EXPECT_EQ(out[8], 50);
}

TEST(GetSettingsFromXmp, OlderVersionsReadIntegers)
{
    std::string v1 = kHead +
                     kvtm_description("1.0", "<kvtm:Method>Deredid Edazozed</kvtm:Method>\n"
                                             "<kvtm:Strength>70.6</kvtm:Strength>\n"
                                             "<kvtm:WhiteClip>0.5</kvtm:WhiteClip>\n") +
                     kTail;
    float out[kTmParamCount] = {};
    ASSERT_GT(read_packet(1, v1, out), 0);
    EXPECT_EQ(out[kDeStrength], 70);    // "%d" up to version 2
    EXPECT_EQ(out[kDeWhiteClip], 0.5f); // clips are always real numbers
}

TEST(GetSettingsFromXmp, MicrocontrastWordsUpToVersion24)
{
    auto packet = [](const std::string &version, const std::string &word) {
        return kHead +
               kvtm_description(version, "<kvtm:Method>Deredid Edazozed</kvtm:Method>\n"
                                         "<kvtm:Microcontrast>" +
                                             word + "</kvtm:Microcontrast>\n") +
               kTail;
    };
    const std::pair<const char *, float> words[] = {{"High", 0},        {"Medium High", -2},
                                                    {"Medium Low", -6}, {"Medium", -2},
                                                    {"Low", -9},        {"Very Low", -10}};
    for (const auto &[word, value] : words) {
        float out[kTmParamCount];
        fill(out, 5);
        ASSERT_GT(read_packet(1, packet("2.4", word), out), 0);
        EXPECT_EQ(out[kDeMicrocontrast], value) << word;
    }
    float out[kTmParamCount];
    fill(out, 5);
    ASSERT_GT(read_packet(1, packet("2.5", "Medium Low"), out), 0);
    EXPECT_EQ(out[kDeMicrocontrast], 5) << "a word is no number after version 2.4";
    ASSERT_GT(read_packet(1, packet("2.4", "Strong"), out), 0);
    EXPECT_EQ(out[kDeMicrocontrast], 5);
}

TEST(GetSettingsFromXmp, NoiseSmoothingIsTheOlderMicrosmoothing)
{
    std::string s = kHead +
                    kvtm_description("4.0", "<kvtm:Method>Deredid Edazozed</kvtm:Method>\n"
                                            "<kvtm:NoiseSmoothing>6.5</kvtm:NoiseSmoothing>\n"
                                            "<kvtm:Microsmoothing>1.5</kvtm:Microsmoothing>\n") +
                    kTail;
    float out[kTmParamCount] = {};
    ASSERT_GT(read_packet(1, s, out), 0);
    EXPECT_EQ(out[kDeMicrosmoothing], 6.5f); // the first of the two met in the text
}

TEST(GetSettingsFromXmp, AttributeFormReadsLikeElements)
{
    std::string s = kHead + "<rdf:Description rdf:about=''\n xmlns:kvtm=\"" +
                    metadata::kKvtmNamespace +
                    "\"\n kvtm:Version=\"4.0\"\n kvtm:Method=\"Deredid Edazozed\"\n"
                    " kvtm:Strength=\"61.5\"\n kvtm:WhiteClip=\"0.125000\"\n"
                    " kvtm:SmoothingMode=\"Light\"\n kvtm:Smoothing=\"Medium  \"\n"
                    " kvtm:Gamma=\"1.0\"/>\n" +
                    kTail;
    float out[kTmParamCount];
    fill(out, -1);
    ASSERT_GT(read_packet(1, s, out), 0);
    EXPECT_EQ(out[kDeStrength], 61.5f);
    EXPECT_EQ(out[kDeWhiteClip], 0.125f);
    EXPECT_EQ(out[kDeSmoothingMode], 0);
    EXPECT_EQ(out[kDeLightSmoothing], 2);
    EXPECT_EQ(out[kDeGamma], 50);
    EXPECT_EQ(out[kDeLuminosity], -1);
}

TEST(GetSettingsFromXmp, GammaOutsideItsDomainDoesNotParse)
{
    for (const char *g : {"0.0", "-1.0", "nan", "inf", "x"}) {
        std::string s = kHead +
                        kvtm_description("4.0", "<kvtm:Method>Deredid Edazozed</kvtm:Method>\n"
                                                "<kvtm:Gamma>" +
                                                    std::string(g) + "</kvtm:Gamma>\n") +
                        kTail;
        float out[kTmParamCount];
        fill(out, 7);
        ASSERT_GT(read_packet(1, s, out), 0) << g;
        // Found but unreadable: slot 8 stays (and is not reset to 50).
        EXPECT_EQ(out[kDeGamma], 7) << g;
    }
}

TEST(GetSettingsFromXmp, MissingGammaSetsFifty)
{
    float p[kTmParamCount] = {};
    for (int method : {2, 10}) {
        float out[kTmParamCount];
        fill(out, 1);
        ASSERT_GT(read_packet(method, make_packet(method, p), out), 0);
        EXPECT_EQ(out[8], 50) << method;
    }
}

TEST(GetSettingsFromXmp, RefusesBadPackets)
{
    float p[kTmParamCount] = {};
    std::string packet = make_packet(1, p, "Zoom");
    char lens[64] = {};
    for (int mode : {100, -1, 0, 1, 2}) {
        // Not zero-terminated.
        EXPECT_EQ(get_settings_from_xmp(mode, int(packet.size()), packet.data(), lens, p), -3);
        EXPECT_EQ(get_settings_from_xmp(mode, 0, "", lens, p), -3);
        EXPECT_EQ(get_settings_from_xmp(mode, -4, "", lens, p), -3);
        EXPECT_EQ(get_settings_from_xmp(mode, 1, nullptr, lens, p), -3);
    }
    EXPECT_EQ(read_packet(1, packet, nullptr), -3);
    EXPECT_EQ(read_packet(100, packet, nullptr, nullptr), -3);
    // Too short, or without the program's namespace.
    EXPECT_EQ(read_packet(-1, "<kvtm:Method>x</kvtm:Method>", nullptr), 0);
    std::string foreign = packet;
    size_t host = foreign.find("zenit-hdr.org");
    ASSERT_NE(host, std::string::npos);
    foreign.replace(host, 5, "other");
    EXPECT_EQ(read_packet(-1, foreign, nullptr), 0);
    // The declaration counts up to the slash after the host: another path still reads.
    std::string otherPath = packet;
    otherPath.replace(otherPath.find("/tone_mapping_settings"), 22, "/settings");
    EXPECT_EQ(read_packet(-1, otherPath, nullptr), 1);
}

TEST(GetSettingsFromXmp, LensInElementAndAttributeForms)
{
    float p[kTmParamCount] = {};
    char lens[64] = {};
    EXPECT_GE(read_packet(100, make_packet(1, p, "EF 17-40mm f/4L USM"), nullptr, lens), 0);
    EXPECT_STREQ(lens, "EF 17-40mm f/4L USM");

    const std::string aux = "<rdf:Description rdf:about='' xmlns:aux=\"http://ns.adobe.com/"
                            "exif/1.0/aux/\" aux:Lens=";
    std::memset(lens, 0, sizeof lens);
    EXPECT_GT(read_packet(100, kHead + aux + "\"Macro 100mm\"/>\n" + kTail, nullptr, lens), 0);
    EXPECT_STREQ(lens, "Macro 100mm");
    std::memset(lens, 0, sizeof lens);
    EXPECT_GT(read_packet(100, kHead + aux + "'Macro 60mm'/>\n" + kTail, nullptr, lens), 0);
    EXPECT_STREQ(lens, "Macro 60mm");

    // 63 characters are copied, 64 are not, nor an empty text.
    std::string name63(63, 'L'), name64(64, 'L');
    std::memset(lens, 0, sizeof lens);
    read_packet(100, make_packet(0, p, name63.c_str()), nullptr, lens);
    EXPECT_EQ(std::string(lens, strnlen(lens, 64)), name63);
    std::memset(lens, 0, sizeof lens);
    read_packet(100, make_packet(0, p, name64.c_str()), nullptr, lens);
    EXPECT_EQ(lens[0], 0);
    read_packet(100, make_packet(0, p, ""), nullptr, lens);
    EXPECT_EQ(lens[0], 0);
    EXPECT_EQ(read_packet(100, "<aux:Lens>x</aux:Lens>", nullptr, lens), 0); // under 45 bytes
}

TEST(GetSettingsFromXmp, DecimalCommaLocaleChangesNothing)
{
    float in[kTmParamCount];
    tmparam_default(1, 0, in);
    in[kDeLuminosity] = -2.5f;
    in[kDeGamma] = 60;
    const std::string reference = make_packet(1, in);
    float refOut[kTmParamCount] = {};
    ASSERT_GT(read_packet(1, reference, refOut), 0);

    std::string saved = std::setlocale(LC_ALL, nullptr);
    const char *found = nullptr;
    for (const char *name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "fr_FR"}) {
        if (std::setlocale(LC_ALL, name) &&
            std::strcmp(std::localeconv()->decimal_point, ",") == 0) {
            found = name;
            break;
        }
    }
    if (!found) {
        std::setlocale(LC_ALL, saved.c_str());
        GTEST_SKIP() << "no decimal-comma locale installed";
    }
    const std::string underComma = make_packet(1, in);
    float out[kTmParamCount] = {};
    int rc = read_packet(1, reference, out);
    std::setlocale(LC_ALL, saved.c_str());

    EXPECT_EQ(underComma, reference) << "locale " << found;
    EXPECT_GT(rc, 0);
    for (int i = 0; i < kTmParamCount; ++i)
        EXPECT_EQ(out[i], refOut[i]) << "slot " << i;
}

TEST(ParseXmp, ReadsPresetFiles)
{
    testsupport::TempDir dir;
    float in[kTmParamCount];
    tmparam_default(2, 0, in);
    in[kRoContrast] = 12.5f;
    std::string packet = make_packet(2, in);
    ASSERT_TRUE(testsupport::write_file(dir.file("preset.xmp"),
                                        testsupport::Bytes(packet.begin(), packet.end())));
    float out[kTmParamCount] = {};
    EXPECT_GT(parse_xmp(dir.file("preset.xmp").c_str(), 2, out), 0);
    EXPECT_EQ(out[kRoContrast], 12.5f);
    EXPECT_EQ(parse_xmp(dir.file("preset.xmp").c_str(), 1, out), -5);
    EXPECT_EQ(parse_xmp(dir.file("preset.xmp").c_str(), -1, nullptr), 2);

    EXPECT_EQ(parse_xmp(dir.file("missing.xmp").c_str(), 2, out), -1);
    EXPECT_EQ(parse_xmp(nullptr, 2, out), -1);
    ASSERT_TRUE(testsupport::write_file(dir.file("empty.xmp"), {}));
    EXPECT_EQ(parse_xmp(dir.file("empty.xmp").c_str(), 2, out), 0);
}
