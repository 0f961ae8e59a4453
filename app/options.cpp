#include "app/options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>

#include "app/settings.h"
#include "platform/system.h"

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

int jpeg_quality(int requested)
{
    return requested >= 20 && requested <= 100 ? requested : 100;
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
           "Options:\n"
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
           "  -j, --threads N       worker threads (default: the processor count)\n"
           "      --denoise N       reduce the noise of the N darkest photos before the\n"
           "                        merge, 0 for none (default: the NoiseReductionSettings\n"
           "                        preference, else the darkest photo); not with fusion\n"
           "      --align METHOD    align the photos before they are combined: features (a\n"
           "                        projective transform a photo, for hand-held brackets),\n"
           "                        translation (whole-pixel shifts) or none (default: the\n"
           "                        AlignmentSettings preference, else features)\n"
           "      --keep-size       keep the photos' size when aligning (default: the\n"
           "                        AlignmentSettings preference, else crop to the area\n"
           "                        every photo covers; the result takes that size)\n"
           "      --timings         print the time each stage took\n"
           "      --quiet           print nothing but errors (nor the aligner's lines)\n"
           "  -h, --help            show this text\n"
           "\n"
           "Exit status: 0 saved; 2 bad usage; 3 bad input photos; 4 processing or saving "
           "failed.\n"
           "\n" +
           settings_help() + "\nThe README lists the metadata the result carries.\n";
}

bool parse_options(int argc, const char *const *argv, Options *o, std::string *error)
{
    auto value = [&](int &i, const std::string &name, std::string *out) {
        if (i + 1 >= argc) {
            *error = "option " + name + " needs a value";
            return false;
        }
        *out = argv[++i];
        return true;
    };
    bool onlyPhotos = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        std::string v;
        // --name=value is accepted for every option that takes a value.
        std::string::size_type eq = a.find('=');
        bool inlineValue = a.rfind("--", 0) == 0 && eq != std::string::npos && a != "--";
        if (inlineValue) {
            v = a.substr(eq + 1);
            a = a.substr(0, eq);
        }
        auto take = [&](const std::string &name) { return inlineValue || value(i, name, &v); };

        if (onlyPhotos || a.empty() || a[0] != '-' || a == "-") {
            o->photos.push_back(argv[i]);
        } else if (a == "--") {
            onlyPhotos = true;
        } else if (a == "-h" || a == "--help") {
            o->help = true;
        } else if (a == "-o" || a == "--output") {
            if (!take(a))
                return false;
            o->output = v;
        } else if (a == "-m" || a == "--method") {
            if (!take(a))
                return false;
            o->method = method_from_name(v);
            o->methodGiven = true;
            if (o->method == 0) {
                *error = "unknown method '" + v +
                         "' (use deredid, rodo, fusion, intensive, highlights-shadows, two-photos "
                         "or mean)";
                return false;
            }
        } else if (a == "--pair") {
            if (!take(a))
                return false;
            if (!parse_pair(v, o->pair)) {
                *error = "--pair takes two different photo numbers I,J (from 1), not '" + v + "'";
                return false;
            }
        } else if (a == "--settings") {
            if (!take(a))
                return false;
            o->settingsFile = v;
        } else if (a == "--set") {
            if (!take(a))
                return false;
            std::string::size_type e = v.find('=');
            if (e == std::string::npos || e == 0) {
                *error = "--set takes NAME=VALUE, not '" + v + "'";
                return false;
            }
            o->settings.emplace_back(v.substr(0, e), v.substr(e + 1));
        } else if (a == "-f" || a == "--format") {
            if (!take(a))
                return false;
            std::string f = lower(v);
            if (f == "jpeg" || f == "jpg")
                o->format = OutputFormat::Jpeg;
            else if (f == "tiff" || f == "tif")
                o->format = OutputFormat::Tiff;
            else {
                *error = "unknown format '" + v + "' (use jpeg or tiff)";
                return false;
            }
            o->formatGiven = true;
        } else if (a == "-q" || a == "--quality") {
            if (!take(a))
                return false;
            // The command line asks for what it gets: the preference's fallback to 100 would
            // hide a typing slip.
            if (!parse_int(v, &o->quality) || o->quality < 20 || o->quality > 100) {
                *error = "--quality takes a number from 20 to 100, not '" + v + "'";
                return false;
            }
        } else if (a == "-j" || a == "--threads") {
            if (!take(a))
                return false;
            if (!parse_int(v, &o->threads) || o->threads < 1 || o->threads > 32) {
                *error = "--threads takes a number from 1 to 32, not '" + v + "'";
                return false;
            }
        } else if (a == "--denoise") {
            if (!take(a))
                return false;
            if (!parse_int(v, &o->denoise) || o->denoise < 0 || o->denoise > kMaxPhotos) {
                *error = "--denoise takes a number from 0 to " + std::to_string(kMaxPhotos) +
                         ", not '" + v + "'";
                return false;
            }
        } else if (a == "--align") {
            if (!take(a))
                return false;
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
        } else if (a == "--keep-size") {
            o->keepSize = true;
        } else if (a == "--timings") {
            o->timings = true;
        } else if (a == "--quiet") {
            o->quiet = true;
        } else {
            *error = "unknown option '" + std::string(argv[i]) + "'";
            return false;
        }
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
    if (!o->output.empty()) {
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
