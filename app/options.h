// The command line of the driver: what a photographer asks for, parsed and checked.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/value.h"

namespace app {

enum class OutputFormat { Jpeg, Tiff };

// alignType: how the photos are aligned before they are combined.
inline constexpr int kAlignNone = -1, kAlignTranslation = 0, kAlignFeatures = 1;
inline constexpr int kAlignFromDefaults = -2; // not given on the command line

struct Options {
    std::vector<std::string> photos;
    std::string output; // empty: beside the first photo
    int method = 1;     // tmMethod: 1, 2, 10, 11, 12, 13 or 14
    bool methodGiven = false;
    std::string settingsFile; // take method and settings from this file's settings packet
    std::vector<std::pair<std::string, std::string>> settings; // --set NAME=VALUE, in order
    int pair[2] = {0, 0}; // --pair I,J: the two photos of method 13, 1-based; 0 when not given
    OutputFormat format = OutputFormat::Jpeg;
    bool formatGiven = false;
    int quality = -1; // -1: the "GeneralQuality" user default
    int threads = -1; // -1: the processor count
    int denoise = -1; // photos denoised, darkest first; -1: the "NoiseReductionSettings" default
    int align = kAlignFromDefaults; // alignType, or the "AlignmentSettings" default
    bool keepSize = false;          // --keep-size: align without cropping
    bool quiet = false;
    bool timings = false;
    bool help = false;
};

// Parses argv; on failure returns false with a message for the user.
bool parse_options(int argc, const char *const *argv, Options *options, std::string *error);

// The method id for "1", "deredid", "2", "rodo", "10", "fusion", "11", "intensive", "12",
// "highlights-shadows", "13", "two-photos", "14", "mean" (any case); 0 when unknown.
int method_from_name(const std::string &name);
// The command-line name of a method id ("rodo"); null for an id the driver does not offer.
const char *method_name(int method);

// The "GeneralQuality" rule: a whole number in 20..100 as given; anything else (a fraction, an
// integer past that range however wide, text, nothing) 100.
int jpeg_quality(const platform::Value &preference);

// text as a message may show it on a terminal: control bytes and bytes that are not UTF-8 written
// as C escapes (\n, \t, \r, \\ for the backslash, \xNN for the others, the C1 controls
// U+0080..U+009F included), valid UTF-8 as it is. Names given by the user (photos, -o, the
// settings file, the preferences path) pass through it in every message.
std::string printable(std::string_view text);

// How many photos, darkest first, the "NoiseReductionSettings" user default (a dictionary; any
// other value reads as missing) asks to denoise: none when "NeedNoiseReduction" is 2 (never);
// otherwise (1 always, 0 ask, which nobody can answer here, or missing) "NoiseReductionWhere",
// where 0, missing or any value below 1 means one photo, the darkest. At most 5.
int noise_reduction_count(const platform::Value &settings);

// The alignment the "AlignmentSettings" user default (a dictionary; any other value reads as
// missing) asks for: none when "NeedAlignment" is 2 (never); otherwise (1 always, 0 ask, which
// nobody can answer here, or missing) by translation when "AlignmentType" is 0, else by
// features. crop is false when "Crop" is 0 (keep the size), else true.
struct AlignmentChoice {
    int alignType = kAlignFeatures;
    bool crop = true;
};
AlignmentChoice alignment_settings(const platform::Value &settings);

std::string usage_text();

} // namespace app
