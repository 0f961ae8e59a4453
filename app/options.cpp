#include "app/options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <optional>
#include <string_view>
#include <sys/stat.h>

#include "app/photo_checks.h"
#include "app/settings.h"
#include "platform/system.h"
#include "platform/utf8.h"

namespace app {
namespace {

bool parse_int(const std::string &s, int *out)
{
    auto r = std::from_chars(s.data(), s.data() + s.size(), *out);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

} // namespace

namespace {

constexpr struct {
    int id;
    const char *name;
} kMethodNames[] = {
    {1, "deredid"},     {2, "rodo"}, {10, "fusion"}, {11, "intensive"}, {12, "highlights-shadows"},
    {13, "two-photos"}, {14, "mean"}};

// "I,J": two different photo numbers from 1 on.
bool parse_pair(const std::string &s, int *pair)
{
    const auto comma = s.find(',');
    return comma != std::string::npos && parse_int(s.substr(0, comma), &pair[0]) &&
           parse_int(s.substr(comma + 1), &pair[1]) && pair[0] >= 1 && pair[1] >= 1 &&
           pair[0] != pair[1];
}

} // namespace

int method_from_name(const std::string &name)
{
    const std::string n = lower(name);
    for (const auto &m : kMethodNames)
        if (n == m.name || n == std::to_string(m.id))
            return m.id;
    return 0;
}

const char *method_name(int method)
{
    for (const auto &m : kMethodNames)
        if (m.id == method)
            return m.name;
    return nullptr;
}

int jpeg_quality(const platform::Value &preference)
{
    // Read as it is stored: a narrowing to int first would turn 4294967316 into 20.
    if (const auto *i = std::get_if<int64_t>(&preference.v); i && *i >= 20 && *i <= 100)
        return static_cast<int>(*i);
    if (const auto *d = std::get_if<double>(&preference.v);
        d && *d >= 20 && *d <= 100 && *d == std::floor(*d))
        return static_cast<int>(*d);
    return 100;
}

std::string printable(std::string_view text)
{
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    const auto escape = [&](unsigned char c) {
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 15];
    };
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\\' || c == '\n' || c == '\t' || c == '\r') {
            out += '\\';
            out += c == '\\' ? '\\' : c == '\n' ? 'n' : c == '\t' ? 't' : 'r';
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            escape(c);
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else if (size_t bad = 0, n = platform::utf8_char(text.substr(i), bad); n == 0) {
            escape(c);
            ++i;
        } else if (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            // A C1 control (U+0080..U+009F): terminals act on some of them, CSI above all.
            escape(c);
            escape(static_cast<unsigned char>(text[i + 1]));
            i += 2;
        } else {
            out.append(text.substr(i, n));
            i += n;
        }
    }
    return out;
}

int noise_reduction_count(const platform::Value &settings)
{
    const platform::Dictionary *d = settings.dictionary();
    if (!d)
        return 1;
    auto need = d->find("NeedNoiseReduction");
    if (need != d->end() && need->second.intValue(1) == 2)
        return 0;
    auto where = d->find("NoiseReductionWhere");
    const int64_t n = where == d->end() ? 0 : where->second.intValue(0);
    return static_cast<int>(std::clamp<int64_t>(n, 1, kMaxPhotos));
}

AlignmentChoice alignment_settings(const platform::Value &settings)
{
    AlignmentChoice c;
    const platform::Dictionary *d = settings.dictionary();
    if (!d)
        return c;
    if (auto need = d->find("NeedAlignment"); need != d->end() && need->second.intValue(1) == 2)
        c.alignType = kAlignNone;
    else if (auto type = d->find("AlignmentType");
             type != d->end() && type->second.intValue(1) == 0)
        c.alignType = kAlignTranslation;
    if (auto crop = d->find("Crop"); crop != d->end() && crop->second.intValue(1) == 0)
        c.crop = false;
    return c;
}

std::string usage_text()
{
    return "Usage: zenit [options] PHOTO...\n"
           "Turns a bracketed series (1 to 5 JPEG, TIFF or PSD photos of one scene, one file\n"
           "type) into one photograph: merged into an HDR image and tone-mapped (deredid,\n"
           "rodo), or the photos combined directly (fusion and methods 11 to 14).\n"
           "\n"
           "Options (a value follows as -j 3, -j3, --threads 3 or --threads=3; long names\n"
           "may be shortened while they stay unambiguous; -- ends the options):\n"
           "  -o, --output FILE     where to save, .jpg/.jpeg or .tif/.tiff; never one of\n"
           "                        the photos (default: beside the first photo,\n"
           "                        <name>_hdr.jpg or .tif, then <name>_hdr-2, -3...)\n"
           "  -m, --method METHOD   deredid (1), rodo (2), fusion (10), intensive (11),\n"
           "                        highlights-shadows (12), two-photos (13) or mean (14);\n"
           "                        default deredid\n"
           "      --pair I,J        the two photos two-photos combines, numbered from 1 in the\n"
           "                        order given (default: the darkest and the brightest)\n"
           "      --settings FILE   take the method and settings from the settings packet of\n"
           "                        FILE (an earlier result or a preset)\n"
           "      --set NAME=VALUE  one setting of the method, e.g. --set Strength=60\n"
           "                        (repeatable; applied after --settings)\n"
           "  -f, --format FORMAT   jpeg or tiff (16-bit); must fit -o's extension; default\n"
           "                        from that extension, else jpeg\n"
           "  -q, --quality N       JPEG quality 20..100 (default: the GeneralQuality\n"
           "                        preference, else 100)\n"
           "  -j, --threads N       worker threads, 1..32 (default: the processor count)\n"
           "      --denoise N       reduce the noise of the N darkest photos before the\n"
           "                        merge, 0 for none (default: the NoiseReductionSettings\n"
           "                        preference, else the darkest photo); deredid and rodo\n"
           "                        only: fusion and methods 11 to 14 do not merge\n"
           "      --align METHOD    align the photos before they are combined: features (a\n"
           "                        projective transform a photo, for hand-held brackets),\n"
           "                        translation (whole-pixel shifts) or none (default: the\n"
           "                        AlignmentSettings preference, else features)\n"
           "      --keep-size       keep the photos' size when aligning (default: the\n"
           "                        AlignmentSettings preference, else crop to the area\n"
           "                        every photo covers; the result takes that size)\n"
           "      --timings         print the time each stage took, then the memory estimated\n"
           "                        and the peak reached\n"
           "      --quiet           print nothing but errors (nor the aligner's lines)\n"
           "  -h, --help            show this text\n"
           "\n"
           "Exit status: 0 saved; 2 bad usage; 3 bad input photos; 4 processing or saving "
           "failed.\n"
           "\n" +
           settings_help() + "\nThe README lists the metadata the result carries.\n";
}

namespace {

enum class Opt { Output, Method, Pair, Settings, Set, Format, Quality, Threads, Denoise, Align,
                 KeepSize, Timings, Quiet, Help };

struct OptionSpec {
    const char *longName;
    char shortName; // 0: long form only
    bool takesValue;
    Opt id;
};

constexpr OptionSpec kOptions[] = {
    {"output", 'o', true, Opt::Output},     {"method", 'm', true, Opt::Method},
    {"pair", 0, true, Opt::Pair},           {"settings", 0, true, Opt::Settings},
    {"set", 0, true, Opt::Set},             {"format", 'f', true, Opt::Format},
    {"quality", 'q', true, Opt::Quality},   {"threads", 'j', true, Opt::Threads},
    {"denoise", 0, true, Opt::Denoise},     {"align", 0, true, Opt::Align},
    {"keep-size", 0, false, Opt::KeepSize}, {"timings", 0, false, Opt::Timings},
    {"quiet", 0, false, Opt::Quiet},        {"help", 'h', false, Opt::Help},
};

// The long option a name stands for: itself, or the one option it begins (getopt_long's
// abbreviations); null with the message when none or several do.
const OptionSpec *find_long(const std::string &name, std::string *error)
{
    const OptionSpec *found = nullptr;
    int matches = 0;
    std::string candidates;
    for (const auto &spec : kOptions) {
        if (name == spec.longName)
            return &spec;
        if (std::string_view(spec.longName).starts_with(name)) {
            candidates += std::string(matches++ ? ", " : "") + "--" + spec.longName;
            found = &spec;
        }
    }
    if (matches == 1)
        return found;
    *error = matches == 0 ? "unknown option '--" + name + "'"
                          : "option '--" + name + "' is ambiguous (" + candidates + ")";
    return nullptr;
}

const OptionSpec *find_short(char c)
{
    for (const auto &spec : kOptions)
        if (spec.shortName == c)
            return &spec;
    return nullptr;
}

// Stores one option's value; name is the option as the user spelt it, for messages.
bool apply(Options *o, Opt id, const std::string &name, const std::string &v, std::string *error)
{
    switch (id) {
    case Opt::Help:
        o->help = true;
        return true;
    case Opt::Timings:
        o->timings = true;
        return true;
    case Opt::KeepSize:
        o->keepSize = true;
        return true;
    case Opt::Align: {
        const std::string m = lower(v);
        if (m == "features")
            o->align = kAlignFeatures;
        else if (m == "translation")
            o->align = kAlignTranslation;
        else if (m == "none")
            o->align = kAlignNone;
        else {
            *error = "unknown alignment '" + v + "' (use features, translation or none)";
            return false;
        }
        return true;
    }
    case Opt::Quiet:
        o->quiet = true;
        return true;
    case Opt::Output:
        // An empty name would silently fall back to the default one beside the photos.
        if (v.empty()) {
            *error = name + " takes a file name, not an empty one";
            return false;
        }
        o->output = v;
        return true;
    case Opt::Settings:
        o->settingsFile = v;
        return true;
    case Opt::Method:
        o->method = method_from_name(v);
        o->methodGiven = true;
        if (o->method == 0) {
            *error = "unknown method '" + v +
                     "' (use deredid, rodo, fusion, intensive, highlights-shadows, two-photos or "
                     "mean)";
            return false;
        }
        return true;
    case Opt::Pair:
        if (!parse_pair(v, o->pair)) {
            *error = "--pair takes two different photo numbers I,J (from 1), not '" + v + "'";
            return false;
        }
        return true;
    case Opt::Set: {
        std::string::size_type e = v.find('=');
        if (e == std::string::npos || e == 0) {
            *error = "--set takes NAME=VALUE, not '" + v + "'";
            return false;
        }
        o->settings.emplace_back(v.substr(0, e), v.substr(e + 1));
        return true;
    }
    case Opt::Format: {
        const std::string f = lower(v);
        if (f == "jpeg" || f == "jpg")
            o->format = OutputFormat::Jpeg;
        else if (f == "tiff" || f == "tif")
            o->format = OutputFormat::Tiff;
        else {
            *error = "unknown format '" + v + "' (use jpeg or tiff)";
            return false;
        }
        o->formatGiven = true;
        return true;
    }
    case Opt::Quality:
        // The command line asks for what it gets: the preference's fallback to 100 would hide a
        // typing slip.
        if (!parse_int(v, &o->quality) || o->quality < 20 || o->quality > 100) {
            *error = name + " takes a number from 20 to 100, not '" + v + "'";
            return false;
        }
        return true;
    case Opt::Threads:
        if (!parse_int(v, &o->threads) || o->threads < 1 || o->threads > 32) {
            *error = name + " takes a number from 1 to 32, not '" + v + "'";
            return false;
        }
        return true;
    case Opt::Denoise:
        if (!parse_int(v, &o->denoise) || o->denoise < 0 || o->denoise > kMaxPhotos) {
            *error = name + " takes a number from 0 to " + std::to_string(kMaxPhotos) +
                     ", not '" + v + "'";
            return false;
        }
        return true;
    }
    return false;
}

} // namespace

// As getopt_long parses: "--name value", "--name=value" and unambiguous abbreviations of the
// long names; "-j 3" and "-j3"; short flags grouped ("-h" before a valued one: "-hj3"); "--"
// ends the options; anything else, "-" included, is a photo, wherever it stands.
bool parse_options(int argc, const char *const *argv, Options *o, std::string *error)
{
    bool onlyPhotos = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (onlyPhotos || a.size() < 2 || a[0] != '-') {
            o->photos.push_back(a);
            continue;
        }
        if (a == "--") {
            onlyPhotos = true;
            continue;
        }
        if (a[1] == '-') {
            const auto eq = a.find('=');
            const std::string name = a.substr(2, eq == std::string::npos ? eq : eq - 2);
            const OptionSpec *spec = find_long(name, error);
            if (!spec)
                return false;
            const std::string shown = std::string("--") + spec->longName;
            std::string v;
            if (eq != std::string::npos) {
                if (!spec->takesValue) {
                    *error = "option " + shown + " takes no value";
                    return false;
                }
                v = a.substr(eq + 1);
            } else if (spec->takesValue) {
                if (i + 1 >= argc) {
                    *error = "option " + shown + " needs a value";
                    return false;
                }
                v = argv[++i];
            }
            if (!apply(o, spec->id, shown, v, error))
                return false;
            continue;
        }
        for (size_t k = 1; k < a.size(); ++k) {
            const OptionSpec *spec = find_short(a[k]);
            const std::string shown = std::string("-") + a[k];
            if (!spec) {
                *error = "unknown option '" + shown + "'" +
                         (k > 1 ? " in '" + a + "'" : std::string());
                return false;
            }
            std::string v;
            if (spec->takesValue) {
                if (k + 1 < a.size()) {
                    v = a.substr(k + 1);
                } else if (i + 1 < argc) {
                    v = argv[++i];
                } else {
                    *error = "option " + shown + " needs a value";
                    return false;
                }
                k = a.size(); // the value took the rest
            }
            if (!apply(o, spec->id, shown, v, error))
                return false;
        }
    }
    if (!o->help && o->photos.size() > size_t(kMaxPhotos)) {
        *error = photo_count_problem(o->photos);
        return false;
    }
    if (!o->help && o->photos.empty()) {
        *error = "no photos given";
        return false;
    }
    if (!o->help && std::max(o->pair[0], o->pair[1]) > int(o->photos.size())) {
        *error = "--pair " + std::to_string(o->pair[0]) + "," + std::to_string(o->pair[1]) +
                 " names a photo past the " + std::to_string(o->photos.size()) + " given";
        return false;
    }
    // An existing folder is told as such by the output checks (nothing can be saved over it),
    // whatever its name.
    struct stat st;
    if (!o->output.empty() && !(::stat(o->output.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
        // The output's extension names its format; -f, when given, must agree with it.
        const std::string ext = lower(platform::path_extension(o->output));
        std::optional<OutputFormat> f;
        if (ext == "jpg" || ext == "jpeg" || ext == "jpe")
            f = OutputFormat::Jpeg;
        else if (ext == "tif" || ext == "tiff")
            f = OutputFormat::Tiff;
        if (!f) {
            *error = "the output " + o->output + " needs the extension .jpg, .jpeg, .tif or .tiff";
            return false;
        }
        if (o->formatGiven && *f != o->format) {
            *error = std::string("-f ") + (o->format == OutputFormat::Tiff ? "tiff" : "jpeg") +
                     " does not fit the output " + o->output +
                     " (a JPEG is saved as .jpg or .jpeg, a TIFF as .tif or .tiff)";
            return false;
        }
        o->format = *f;
    }
    return true;
}

} // namespace app
