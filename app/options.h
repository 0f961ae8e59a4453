// The command line of the driver: what a photographer asks for, parsed and checked.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/value.h"

namespace app {

enum class OutputFormat { Jpeg, Tiff };

inline constexpr int kMaxPhotos = 5; // the most photos a batch holds

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

// The "GeneralQuality" rule: 20..100 as given, anything else 100.
int jpeg_quality(int requested);

// How many photos, darkest first, the "NoiseReductionSettings" user default (a dictionary; any
// other value reads as missing) asks to denoise: none when "NeedNoiseReduction" is 2 (never);
// otherwise (1 always, 0 ask, which nobody can answer here, or missing) "NoiseReductionWhere",
// where 0, missing or any value below 1 means one photo, the darkest. At most 5.
int noise_reduction_count(const platform::Value &settings);

std::string usage_text();

} // namespace app
