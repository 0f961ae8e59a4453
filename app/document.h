// What the road of a job carries from stage to stage: the photos after their checks, the
// document the stages share, and the exit status and message of a failure, with the few message
// helpers every stage uses.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/data.h"

namespace app {

// Exit statuses of the driver.
enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 2,
    kExitBadInput = 3,
    kExitFailed = 4,
};

enum class SourceType { Tiff, Jpeg, Psd };

// One source photo after its checks, probe and metadata.
struct SourcePhoto {
    std::string path;
    SourceType type = SourceType::Jpeg;
    int infos[13] = {}; // imageInfos of the probe
    int width = 0, height = 0, spp = 3, bits = 8;
    platform::DataPtr exifBuf; // 240 bytes
    platform::DataPtr gpsBuf;  // 96 bytes
    int iptcBase = 0;          // the file position exifBuf's IPTC offset counts from
    // What reading the photo holds beside its decoded pixels, in bytes, as its checks measured
    // it: the file's length; what its reader keeps of the headers while the file is open (a
    // TIFF's tag values and tables, a JPEG's APP2 segments); what the decoder works in (a TIFF's
    // largest stored strip or tile and a decoded one, a multi-scan JPEG's coefficients, a PSD's
    // plane and PackBits data).
    uint64_t fileBytes = 0, headerBytes = 0, workBytes = 0;
};

// Everything the stages after decoding need.
struct Document {
    std::vector<SourcePhoto> photos;
    platform::DataPtr profile; // the first photo's ICC profile, or null
    platform::DataPtr iptc;    // the first photo's IPTC block, or null
    int dpi = 72;
    int orientation = 1;
    platform::DataPtr stack; // alignedPhotosBuf: photos back to back, 8 bits a sample
    int width = 0, height = 0, spp = 3;
    // The relative exposures of the metadata (one float a photo, photo order) when every photo
    // has a usable exposure time (exif 1); otherwise exif 0, deltaT null, and the merge
    // estimates the exposures from the pixels.
    platform::DataPtr deltaT;
    int exif = 0;
};

// A failure on the road: the exit status and the message for the user.
struct RoadError {
    int code = kExitOk;
    std::string message;
    explicit operator bool() const { return code != kExitOk; }
};

inline RoadError fail(int code, std::string message)
{
    return RoadError{code, std::move(message)};
}

// A path's last component, which messages name a photo by; the whole path where that is empty
// ("dir/").
inline std::string file_name(const std::string &path)
{
    auto slash = path.find_last_of('/');
    return slash == std::string::npos || slash + 1 == path.size() ? path : path.substr(slash + 1);
}

// Bytes as a photographer reads them: "240 MB" below a gigabyte, else "12.3 GB" (of 2^20 and
// 2^30 bytes).
inline std::string memory_size(uint64_t bytes)
{
    char text[32];
    if (bytes < (uint64_t(1) << 30))
        std::snprintf(text, sizeof text, "%llu MB",
                      static_cast<unsigned long long>((bytes + (1 << 19)) >> 20));
    else
        std::snprintf(text, sizeof text, "%.1f GB", double(bytes) / double(uint64_t(1) << 30));
    return text;
}

// The int32 records of an EXIF or GPS buffer (exifBuf, gpsBuf).
inline const int32_t *record_ints(const platform::DataPtr &d)
{
    return reinterpret_cast<const int32_t *>(d->bytes());
}

} // namespace app
