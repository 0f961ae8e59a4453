// The settings of the tone-mapping methods as the settings packet names them: their ranges, the
// checks of --set values and of packets read with --settings, and the settings packet a JPEG or
// TIFF file carries (which is also how an earlier result is told from a source photo).
#pragma once

#include <span>
#include <string>
#include <vector>

#include "app/options.h"
#include "app/document.h"
#include "metadata/exif_records.h"

namespace app {

enum class SettingKind {
    Number,    // a number in lo..hi, stored as it is
    Gamma,     // a gamma in lo..hi; the slot holds the slider 50 x (1 - log2 gamma)
    Mode,      // SmoothingMode: Slider (slot 1) or Light (slot 0)
    Smoothing, // Slider mode: a number in lo..hi (slot 17); Light mode: a level (slot 5, 0..4)
};

// One setting of a method: its packet element name, tmParam slot, kind and inclusive range in
// the units the packet shows.
struct Setting {
    const char *name;
    int slot;
    SettingKind kind;
    double lo, hi;
};

// The settings of method 1, 2, 10 or 11 in packet order; empty for any other id (methods 12 to
// 14 have none).
std::span<const Setting> method_settings(int method);

// Every method's settings with their ranges, for --help.
std::string settings_help();

// The method and its 20 settings: method defaults, then the settings packet of a file, then
// single NAME=VALUE settings. Method 13 gets its --pair photos (0-based) in slots 0 and 1, or
// -1 in both for the road to choose; --pair with another method is a usage error. Every value must
// lie in its setting's range: a --set value must parse whole as a finite number (or be one of its
// words), and so must a packet's texts (Microcontrast words of packets up to version 2.4 and a
// Gamma of 0 or below, which their reader takes for none, excepted); the values read are checked
// again after reading. --denoise above 0 with a method that
// does not merge (fusion, 11 to 14) is a usage error. Usage errors give kExitUsage, a settings
// file that cannot be read or holds no packet kExitBadInput. Last, every value is taken at the
// precision the result's settings packet records it (most settings one decimal), so that the
// result renders again the same through --settings; notes (when not null) gets one line for each
// value so rounded ("Gamma 0.75 is taken as 0.7, ..."), else stays empty.
RoadError resolve_settings(const Options &options, int *method, float *tmParam,
                           std::vector<std::string> *notes = nullptr);

// The largest file --settings reads whole (a preset); a JPEG or TIFF is searched for its packet
// instead, whatever its size. Settings packets are a few kilobytes.
inline constexpr long kMaxSettingsFileBytes = 1L << 20;

// What the packet this system wrote into a photo tells of it (metadata::recorded_method): the
// method (1, 2, 10, 11), metadata::kMethodNotNamed for a result of a method without settings,
// metadata::kMethodUnknown for a method this version does not know; 0 when the photo carries no
// such packet. The packet is a JPEG's XMP segment or a TIFF's XMP tag as getExifData located it
// in info (type 0 TIFF, 1 JPEG; other types are not searched).
int photo_settings_method(const std::string &path, int type, const ExifInfo &info);

// How an earlier result was made, as photo_settings_method(...) = made (not 0) tells it:
// "made with Rodo Vizezadadu", or that the packet does not name the method.
std::string made_with(int made);

} // namespace app
