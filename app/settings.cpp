// Setting ranges and checks. The ranges keep each operator's arithmetic finite and its result a
// photograph: slider positions 0..100 where a setting is a slider's percentage, -10..10 where
// the operator's formulas are built around that span (exponents and gains that turn over or
// leave their domain past it), 0..10 for the clipping percentages. The intensive blend's Strength
// stops at 10: further on its weights pick one photo per area (flat patches with seams from 20)
// and its thinned window shows as stripes along strong edges; its Radius stops at 100 pixels
// (the cost grows with the square of the radius).
#include "app/settings.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

#include "imagecore/byte_order.h"
#include "imagecore/float_clamp.h"
#include "metadata/exif_reader.h"
#include "metadata/xmp_settings.h"
#include "platform/file_holder.h"
#include "platform/number_text.h"
#include "tonemap/tm_params.h"

namespace app {
namespace {

using K = SettingKind;

constexpr Setting kDeredidSettings[] = {
    {"Strength", kDeStrength, K::Number, 0, 100},
    {"ColorSaturation", kDeColorSaturation, K::Number, 0, 100},
    {"Luminosity", kDeLuminosity, K::Number, -10, 10},
    {"WhiteClip", kDeWhiteClip, K::Number, 0, 10},
    {"BlackClip", kDeBlackClip, K::Number, 0, 10},
    {"SmoothingMode", kDeSmoothingMode, K::Mode, 0, 1},
    {"Smoothing", kDeSliderSmoothing, K::Smoothing, -10, 10},
    {"Microcontrast", kDeMicrocontrast, K::Number, -10, 10},
    {"Microsmoothing", kDeMicrosmoothing, K::Number, 0, 100},
    {"Gamma", kDeGamma, K::Gamma, 0.5, 2},
    {"HighlightsSmoothing", kDeHighlightsSmoothing, K::Number, 0, 100},
    {"ShadowsSmoothing", kDeShadowsSmoothing, K::Number, 0, 100},
    {"ShadowsClipping", kDeShadowsClipping, K::Number, 0, 100},
    {"ColorTemperature", kDeColorTemperature, K::Number, -10, 10},
    {"SaturationHighlights", kDeSaturationHighlights, K::Number, -10, 10},
    {"SaturationShadows", kDeSaturationShadows, K::Number, -10, 10},
};
constexpr Setting kRodoSettings[] = {
    {"Brightness", kRoBrightness, K::Number, -10, 10},
    {"Compression", kRoCompression, K::Number, -10, 10},
    {"Contrast", kRoContrast, K::Number, -10, 10},
    {"WhiteClip", kRoWhiteClip, K::Number, 0, 10},
    {"BlackClip", kRoBlackClip, K::Number, 0, 10},
    {"ColorTemperature", kRoColorTemperature, K::Number, -10, 10},
    {"Saturation", kRoSaturation, K::Number, -10, 10},
};
constexpr Setting kFusionSettings[] = {
    {"Accentuation", 0, K::Number, -10, 10},
    {"BlendingPoint", 1, K::Number, -10, 10},
    {"Shadows", 2, K::Number, 0, 10},
    {"Saturation", 3, K::Number, -10, 10},
    {"WhiteClip", 4, K::Number, 0, 10},
    {"BlackClip", 5, K::Number, 0, 10},
    {"MidtonesAdjustment", 6, K::Number, -20, 20},
};
constexpr Setting kIntensiveSettings[] = {
    {"Strength", kInStrength, K::Number, -20, 10},
    {"Saturation", kInSaturation, K::Number, -10, 10},
    {"Radius", kInRadius, K::Number, 1, 100},
};

// Light-mode smoothing levels 0..4 as the packet writes them (the reader takes the words as
// prefixes, so the writer's trailing spaces are not needed).
constexpr const char *kLevelWords[] = {"Very High", "High", "Medium", "Low", "Very Low"};

std::string method_label(int method)
{
    const char *name = metadata::settings_method_name(method);
    if (!name)
        name = method_name(method);
    return name ? name : "method " + std::to_string(method);
}

std::string lower(std::string_view s)
{
    std::string out(s);
    for (auto &c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// The shortest text that reads back as the same setting (a float): a packet's Gamma 9 is "9",
// not the double it passed through; zero has no sign.
std::string number_text(double v)
{
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v == 0 ? 0.0f : float(v));
    return std::string(buf, r.ptr);
}

std::string range_text(const Setting &s)
{
    switch (s.kind) {
    case K::Mode:
        return "Slider or Light";
    case K::Smoothing:
        return number_text(s.lo) + ".." + number_text(s.hi) +
               " (Slider mode) or Very High, High, Medium, Low, Very Low (Light mode)";
    default:
        return number_text(s.lo) + ".." + number_text(s.hi);
    }
}

// A whole finite number, locale-independent; a leading '+' is allowed. One too small for a double
// is the least double of its sign (not zero: outside a range that ends at zero on the other
// side), one too large an infinity, outside every range.
std::optional<double> parse_number(std::string_view s)
{
    if (s.size() > 1 && s[0] == '+' && s[1] != '-')
        s.remove_prefix(1);
    double v = 0;
    auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || r.ptr != s.data() + s.size())
        return std::nullopt;
    if (r.ec == std::errc::result_out_of_range) {
        v = platform::below_one(s) ? std::numeric_limits<double>::denorm_min() : HUGE_VAL;
        return s[0] == '-' ? -v : v;
    }
    if (r.ec != std::errc() || !std::isfinite(v))
        return std::nullopt;
    return v;
}

// A number in range that a setting's float holds as zero: it is taken as 0 (and told so).
bool vanishes(double v)
{
    return v != 0 && static_cast<float>(v) == 0;
}

bool in_range(double v, const Setting &s)
{
    return v >= s.lo && v <= s.hi; // false for NaN
}

// The text the settings packet gets for a --set value, or false with the message for the user.
// A packet's own text (fromPacket) is told the same way, but its words must be written as the
// reader takes them (in Light mode Smoothing a level word, in their own case).
bool packet_text(const Setting &s, const std::string &value, int smoothingMode, std::string *text,
                 std::string *error, bool fromPacket = false)
{
    const std::string asked = s.name + std::string("=") + value + ": ";
    // A word as a packet must write it, or as --set may give it.
    const auto says = [&](const std::string &word) {
        return fromPacket ? value == word : lower(value) == lower(word);
    };
    if (s.kind == K::Mode) {
        for (const char *word : {"Slider", "Light"}) {
            if (says(word)) {
                *text = word;
                return true;
            }
        }
        *error = asked + s.name + " takes Slider or Light";
        return false;
    }
    if (s.kind == K::Smoothing && smoothingMode == 0) {
        for (int level = 0; level < 5; ++level) {
            if (says(kLevelWords[level]) || (!fromPacket && value == std::to_string(level))) {
                *text = kLevelWords[level];
                return true;
            }
        }
        *error = asked + "in Light mode Smoothing takes Very High, High, Medium, Low or Very "
                         "Low (or the level 0..4)";
        return false;
    }
    if (s.kind == K::Smoothing && smoothingMode != 1) {
        *error = asked + "set SmoothingMode to Slider or Light first";
        return false;
    }
    std::optional<double> v = parse_number(value);
    if (!v || !in_range(*v, s)) {
        *error = asked + s.name + " takes a number from " + number_text(s.lo) + " to " +
                 number_text(s.hi);
        return false;
    }
    *text = number_text(*v);
    return true;
}

// The first setting of method whose slot in p lies outside its range, described; empty when
// every one fits.
std::string out_of_range(int method, const float *p)
{
    const int mode = imagecore::clamp_to_int(p[kDeSmoothingMode]);
    for (const Setting &s : method_settings(method)) {
        const double v = p[s.slot];
        switch (s.kind) {
        case K::Number:
            if (!in_range(v, s))
                return s.name + std::string(" is ") + number_text(v) + ", outside " + range_text(s);
            break;
        case K::Gamma:
            if (double g = std::exp2((50.0 - v) / 50.0); !in_range(g, s))
                return s.name + std::string(" is ") + number_text(g) + ", outside " + range_text(s);
            break;
        case K::Mode:
            if (v != 0 && v != 1)
                return s.name + std::string(" is neither Slider nor Light");
            break;
        case K::Smoothing:
            if (mode == 1 && !in_range(p[kDeSliderSmoothing], s))
                return s.name + std::string(" is ") + number_text(p[kDeSliderSmoothing]) +
                       ", outside " + range_text(s);
            if (const double level = p[kDeLightSmoothing];
                mode == 0 && !(level >= 0 && level <= 4 && level == std::floor(level)))
                return s.name + std::string(" is level ") + number_text(level) + ", outside 0..4";
            break;
        }
    }
    return {};
}

// The texts of the settings that vanish (vanishes) per slot, to be told: the float shows none.
using Vanished = std::array<std::string, kTmParamCount>;

// The packet's texts of the method's settings, each told as a --set value is: a number that
// parses whole and lies in range, Slider or Light, a level word. Empty when every one is good,
// else what is wrong; the texts of numbers that vanish go to vanished. Older packets write
// Microcontrast as a word, which their reader takes; it is left to the reader there.
std::string packet_values_problem(int method, std::string_view packet, Vanished &vanished)
{
    const metadata::SettingsPacket scan(packet);
    if (!scan.method())
        return {};
    int mode = 1; // Slider unless the packet says Light
    for (const Setting &s : method_settings(method)) {
        std::vector<std::string> names = {s.name};
        if (std::string_view(s.name) == "Microsmoothing")
            names.push_back("NoiseSmoothing"); // the older name
        if (std::string_view(s.name) == "Microcontrast" && scan.microcontrast_words())
            continue;
        for (const std::string &name : names) {
            const metadata::SettingsPacket::Property *found = scan.find(name);
            if (!found)
                continue;
            const std::string text(found->text);
            // Stored packets write a Gamma of 0 or below for none, which the reader takes so.
            if (const auto v = parse_number(text); s.kind == K::Gamma && v && *v <= 0)
                continue;
            std::string written, error;
            if (!packet_text(s, text, mode, &written, &error, true)) {
                const std::string said =
                    s.name + std::string(" is ") + (text.empty() ? "empty" : text) + ", ";
                if (s.kind == K::Mode)
                    return said + "not Slider or Light";
                if (s.kind == K::Smoothing && mode == 0)
                    return said + "not a level (Very High, High, Medium, Low or Very Low)";
                return said + (parse_number(text) ? "outside " + range_text(s)
                                                  : "not a number (" + range_text(s) + ")");
            }
            if (s.kind == K::Mode)
                mode = written == "Light" ? 0 : 1;
            else if (const auto v = parse_number(text); v && vanishes(*v))
                vanished[size_t(s.slot)] = text;
        }
    }
    return {};
}

std::string packet_for(int method, const float *p)
{
    int n = embed_xmp(0, method, p, 0, nullptr, nullptr);
    if (n <= 0)
        return {};
    std::string s(static_cast<size_t>(n), '\0');
    embed_xmp(1, method, p, 0, nullptr, s.data());
    return s;
}

// Replaces the text of one element of a packet in element form; false when there is none.
bool replace_element(std::string &packet, const std::string &name, const std::string &text)
{
    const std::string open = "<kvtm:" + name + ">";
    auto b = packet.find(open);
    if (b == std::string::npos)
        return false;
    b += open.size();
    auto e = packet.find("</", b);
    if (e == std::string::npos)
        return false;
    packet.replace(b, e - b, text);
    return true;
}

const Setting *find_setting(int method, const std::string &name)
{
    for (const Setting &s : method_settings(method))
        if (lower(s.name) == lower(name))
            return &s;
    return nullptr;
}

std::string setting_names(int method)
{
    std::string names;
    for (const Setting &s : method_settings(method))
        names += (names.empty() ? "" : ", ") + std::string(s.name);
    return names;
}

// What a zero-terminated packet tells of the file that carries it (metadata::recorded_method):
// 0 for none or another program's packet.
int packet_method(const std::vector<char> &packet)
{
    return packet.empty() ? 0 : metadata::recorded_method({packet.data(), packet.size() - 1});
}

// n bytes at off of the file as a zero-terminated buffer; empty when they cannot be read.
std::vector<char> read_packet(FILE *f, uint64_t length, uint64_t off, size_t n)
{
    if (n == 0 || n > size_t(kMaxSettingsFileBytes))
        return {};
    std::vector<char> packet(n + 1, '\0');
    if (!platform::read_at(f, length, off, packet.data(), n))
        return {};
    return packet;
}

// The first packet of this system among a JPEG's XMP segments, which the walk finds before the
// image data whether or not an EXIF segment precedes them.
std::vector<char> jpeg_settings_packet(FILE *f, uint64_t length)
{
    constexpr size_t kSig = sizeof metadata::kXmpApp1Signature;
    uint8_t b[4];
    if (!platform::read_at(f, length, 0, b, 2) || b[0] != 0xFF || b[1] != 0xD8)
        return {};
    for (uint64_t pos = 2; platform::read_at(f, length, pos, b, 4) && b[0] == 0xFF;) {
        if (b[1] == 0xFF) { // fill byte before a marker
            ++pos;
            continue;
        }
        const uint16_t len = imagecore::read_be16(b + 2);
        if (b[1] == 0xDA || b[1] == 0xD9 || len < 2)
            break;
        char sig[kSig];
        if (b[1] == 0xE1 && len >= 2 + kSig && platform::read_at(f, length, pos + 4, sig, kSig) &&
            std::memcmp(sig, metadata::kXmpApp1Signature, kSig) == 0) {
            std::vector<char> packet = read_packet(f, length, pos + 4 + kSig, len - 2 - kSig);
            if (packet_method(packet) != 0)
                return packet;
        }
        pos += 2 + uint64_t(len);
    }
    return {};
}

// The packet of this system in a JPEG (type 1) or TIFF (type 0) file; empty when it has none.
std::vector<char> settings_packet_of(FILE *f, uint64_t length, int type, const ExifInfo &info)
{
    if (type == 1)
        return jpeg_settings_packet(f, length);
    if (type != 0 || info.xmpLength <= 0 || info.xmpOffset < 0)
        return {};
    std::vector<char> packet =
        read_packet(f, length, uint64_t(info.xmpOffset), static_cast<size_t>(info.xmpLength));
    return packet_method(packet) != 0 ? packet : std::vector<char>{};
}

// Where and why a packet stops being well-formed XML ("line 3, column 9: ..."); empty when it
// does not.
std::string packet_fault(std::string_view packet)
{
    const metadata::SettingsPacket scan(packet);
    if (!scan.fault())
        return {};
    const std::string_view before = packet.substr(0, scan.fault_at());
    const size_t lineStart = before.rfind('\n') + 1; // 0 on the first line
    return "line " + std::to_string(std::count(before.begin(), before.end(), '\n') + 1) +
           ", column " + std::to_string(before.size() - lineStart + 1) + ": " + scan.fault();
}

// The packet of a --settings file: inside a JPEG or TIFF (an earlier result), else the whole
// file (a preset), zero-terminated. A packet that is not well-formed XML is refused: what its
// fault hides would be left at the defaults. methodGiven: -m was given, which the refusal of a
// file without settings then does not ask for.
RoadError read_settings_file(const std::string &path, bool methodGiven, std::vector<char> *packet)
{
    // A named pipe would block the read: only regular files, opened without waiting.
    uint64_t length = 0;
    std::string why;
    platform::FilePtr f = platform::open_regular(path, length, &why);
    if (!f)
        return fail(kExitBadInput, path + (why.rfind("is ", 0) == 0
                                               ? " " + why + ", not a settings file"
                                               : " cannot be read: " + why));
    uint8_t h[4] = {};
    const bool head = platform::read_at(f.get(), length, 0, h, 4);
    const bool jpeg = head && h[0] == 0xFF && h[1] == 0xD8;
    const bool tiff = head && ((h[0] == 'I' && h[1] == 'I' && h[2] == 42 && h[3] == 0) ||
                               (h[0] == 'M' && h[1] == 'M' && h[2] == 0 && h[3] == 42));
    if (jpeg || tiff) {
        ExifInfo info;
        init_exifInfo(&info);
        if (tiff)
            getExifData(path.c_str(), 0, &info); // what it read stands, failure or not
        *packet = settings_packet_of(f.get(), length, jpeg ? 1 : 0, info);
    } else if (length > uint64_t(kMaxSettingsFileBytes)) {
        return fail(kExitBadInput, path + " has " + std::to_string(length) +
                                       " bytes: too large for a settings file (a preset has at "
                                       "most " +
                                       std::to_string(kMaxSettingsFileBytes) + ")");
    } else {
        packet->assign(length + 1, '\0');
        if (length > 0 && !platform::read_at(f.get(), length, 0, packet->data(), length))
            return fail(kExitBadInput, path + " cannot be read");
    }
    if (!packet->empty())
        if (const std::string fault = packet_fault({packet->data(), packet->size() - 1});
            !fault.empty())
            return fail(kExitBadInput,
                        path + ": its settings packet is not well-formed XML (" + fault + ")");
    // A result of a method without settings records neither settings nor the method.
    const int made = packet_method(*packet);
    if (made == metadata::kMethodNotNamed)
        return fail(kExitBadInput, path + " holds no settings: it is a result of "
                                          "highlights-shadows, two-photos or mean, which have "
                                          "none" +
                                          (methodGiven ? std::string(" (leave out --settings)")
                                                       : std::string(" (give -m)")));
    if (made == metadata::kMethodUnknown)
        return fail(kExitBadInput,
                    path + " holds the settings of a method this version does not know");
    if (made <= 0)
        return fail(kExitBadInput, path + " holds no settings packet");
    return {};
}

} // namespace

std::span<const Setting> method_settings(int method)
{
    switch (method) {
    case kMethodDeredid:
        return kDeredidSettings;
    case kMethodRodo:
        return kRodoSettings;
    case kMethodFusionAdjust:
        return kFusionSettings;
    case kMethodFusionIntensive:
        return kIntensiveSettings;
    default:
        return {};
    }
}

std::string settings_help()
{
    std::string text = "Settings of each method (--set NAME=VALUE; ranges include their ends):\n";
    const struct {
        const char *label;
        int method;
    } methods[] = {{"rodo", kMethodRodo},
                   {"deredid", kMethodDeredid},
                   {"fusion", kMethodFusionAdjust},
                   {"intensive", kMethodFusionIntensive}};
    constexpr size_t kIndent = 12, kWidth = 79;
    for (const auto &m : methods) {
        std::string items;
        const auto settings = method_settings(m.method);
        for (size_t i = 0; i < settings.size(); ++i)
            items += std::string(i ? ", " : "") + settings[i].name + '\x01' +
                     range_text(settings[i]) + (settings[i].kind == K::Gamma ? " (the gamma)" : "");
        // Wrapped at word breaks, but not between a name and its range (joined by \x01).
        std::string line = "  " + std::string(m.label);
        line.resize(kIndent, ' ');
        for (size_t pos = 0; pos < items.size();) {
            size_t end = std::min(items.find(' ', pos), items.size());
            const std::string word = items.substr(pos, end - pos);
            if (line.size() > kIndent && line.size() + 1 + word.size() > kWidth) {
                text += line + "\n";
                line.assign(kIndent, ' ');
            }
            line += (line.size() > kIndent ? " " : "") + word;
            pos = end + 1;
        }
        text += line + "\n";
    }
    std::replace(text.begin(), text.end(), '\x01', ' ');
    return text + "  highlights-shadows, two-photos and mean have no settings.\n";
}

namespace {

// A setting's value as the user gave it, to six digits (the packet may record fewer).
std::string asked_text(const Setting &s, const float *p)
{
    if (s.kind != K::Gamma)
        return number_text(p[s.slot]);
    // The gamma went through the slider's logarithm: six digits give back what was typed.
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, std::exp2((50.0 - p[s.slot]) / 50.0),
                           std::chars_format::general, 6);
    return std::string(buf, r.ptr);
}

// The settings of method m in p, taken as the packet the result carries records them: the
// packet written, then read back. Notes name each setting that changed, and each given as a
// number that vanished on the way in (with the text it was given as).
RoadError take_as_recorded(int m, float *p, const Vanished &vanished,
                           std::vector<std::string> *notes)
{
    const std::string packet = packet_for(m, p);
    if (packet.empty())
        return fail(kExitFailed, "out of memory");
    float back[kTmParamCount];
    std::copy(p, p + kTmParamCount, back);
    if (get_settings_from_xmp(m, static_cast<int>(packet.size() + 1), packet.c_str(), nullptr,
                              back) < 0)
        return fail(kExitFailed, "the settings cannot be recorded");
    // A value rounded to "-0.0" is zero, and the result's packet, written from what is read
    // back, records "0.0": the notes quote that packet.
    for (float &v : back)
        if (v == 0)
            v = 0;
    const std::string recorded = packet_for(m, back);
    const metadata::SettingsPacket scan(recorded);
    for (const Setting &s : method_settings(m)) {
        // Smoothing's slot is the slider's: a Light level is a word, recorded as it stands.
        const metadata::SettingsPacket::Property *found = scan.find(s.name);
        const std::string &given = vanished[size_t(s.slot)];
        if ((back[s.slot] != p[s.slot] || !given.empty()) && notes)
            notes->push_back(std::string(s.name) + " " +
                             (given.empty() ? asked_text(s, p) : given) + " is taken as " +
                             (found ? std::string(found->text) : "?") +
                             ", as the result's settings packet records it");
    }
    std::copy(back, back + kTmParamCount, p);
    return {};
}

} // namespace

RoadError resolve_settings(const Options &options, int *method, float *tmParam,
                           std::vector<std::string> *notes)
{
    int m = options.method;
    const std::string &file = options.settingsFile;
    Vanished vanished;
    if (!file.empty()) {
        std::vector<char> packet;
        if (RoadError e = read_settings_file(file, options.methodGiven, &packet))
            return e;
        const int fileMethod = packet_method(packet);
        if (options.methodGiven && fileMethod != m)
            return fail(kExitUsage, file + " holds settings of another method (" +
                                        method_label(fileMethod) + ")");
        m = fileMethod;
        // A value the reader would skip or read in part (a word, nothing, "60x") is refused as
        // --set refuses it, not replaced by the default.
        if (std::string bad =
                packet_values_problem(m, {packet.data(), packet.size() - 1}, vanished);
            !bad.empty())
            return fail(kExitUsage, file + ": " + bad);
        tmparam_default(m, 0, tmParam);
        if (get_settings_from_xmp(m, static_cast<int>(packet.size()), packet.data(), nullptr,
                                  tmParam) < 0)
            return fail(kExitBadInput, file + " holds no usable settings");
        if (std::string bad = out_of_range(m, tmParam); !bad.empty())
            return fail(kExitUsage, file + ": " + bad);
    } else {
        tmparam_default(m, 0, tmParam);
    }
    if (!method_name(m))
        return fail(kExitUsage, method_label(m) + " is not available");
    const bool pairGiven = options.pair[0] > 0;
    if (pairGiven && m != kMethodTwoPhotos)
        return fail(kExitUsage, "--pair chooses the photos of two-photos (method 13), not of " +
                                    method_label(m));
    if (m == kMethodTwoPhotos) {
        // -1: the road picks the darkest and the brightest photo.
        tmParam[kTwoPhotoA] = pairGiven ? float(options.pair[0] - 1) : -1.0f;
        tmParam[kTwoPhotoB] = pairGiven ? float(options.pair[1] - 1) : -1.0f;
    }

    for (const auto &[name, value] : options.settings) {
        const Setting *s = find_setting(m, name);
        if (!s && method_settings(m).empty())
            return fail(kExitUsage, method_label(m) + " has no settings ('" + name + "' given)");
        if (!s)
            return fail(kExitUsage, "unknown setting '" + name + "' for " + method_label(m) +
                                        " (settings: " + setting_names(m) + ")");
        // The value goes through the settings packet, so that it is converted exactly as a
        // preset's would be (the Gamma element shows the gamma, Smoothing a level word).
        std::string text, error;
        if (!packet_text(*s, value, imagecore::clamp_to_int(tmParam[kDeSmoothingMode]), &text,
                         &error))
            return fail(kExitUsage, error);
        std::string packet = packet_for(m, tmParam);
        if (packet.empty())
            return fail(kExitFailed, "out of memory");
        if (!replace_element(packet, s->name, text))
            return fail(kExitUsage, std::string(s->name) + " cannot be set in this mode");
        float p[kTmParamCount];
        std::copy(tmParam, tmParam + kTmParamCount, p);
        if (get_settings_from_xmp(m, static_cast<int>(packet.size() + 1), packet.c_str(), nullptr,
                                  p) < 0)
            return fail(kExitUsage, "bad value '" + value + "' for " + name);
        // This setting alone: the packet's other elements are rounded, which is told once, below.
        tmParam[s->slot] = p[s->slot];
        const auto v = parse_number(value);
        vanished[size_t(s->slot)] = v && vanishes(*v) ? value : "";
        if (s->kind == K::Smoothing)
            tmParam[kDeLightSmoothing] = p[kDeLightSmoothing];
    }
    // The road denoises the photos before the merge; the other methods blend them as they are.
    if (options.denoise > 0 && m != kMethodDeredid && m != kMethodRodo)
        return fail(kExitUsage, "--denoise reduces noise before the merge, and " +
                                    method_label(m) +
                                    " does not merge: it blends the photos as they are");
    if (!method_settings(m).empty())
        if (RoadError e = take_as_recorded(m, tmParam, vanished, notes))
            return e;
    // "-0" is zero: the packet the result carries shows no "-0.0".
    for (int i = 0; i < kTmParamCount; ++i)
        if (tmParam[i] == 0)
            tmParam[i] = 0;
    *method = m;
    return {};
}

int photo_settings_method(const std::string &path, int type, const ExifInfo &info)
{
    uint64_t length = 0;
    platform::FilePtr f = platform::open_measured(path.c_str(), length);
    return f ? packet_method(settings_packet_of(f.get(), length, type, info)) : 0;
}

std::string made_with(int made)
{
    if (const char *name = metadata::settings_method_name(made))
        return std::string("made with ") + name;
    if (made == metadata::kMethodNotNamed)
        return "made with highlights-shadows, two-photos or mean: its packet does not say which";
    return "made with a method this version does not know";
}

} // namespace app
