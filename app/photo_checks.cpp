#include "app/photo_checks.h"

#include <algorithm>
#include <climits>
#include <iterator>
#include <new>
#include <optional>

#include "app/settings.h"
#include "imagecore/jpeg_readers.h"
#include "imagecore/psd_reader.h"
#include "imagecore/records.h"
#include "imagecore/tiff_probe.h"
#include "metadata/exif_reader.h"
#include "metadata/exif_records.h"
#include "metadata/metadata_class.h"
#include "platform/bitmap.h"
#include "platform/checked_size.h"
#include "platform/file_holder.h"
#include "platform/system.h"

namespace app {
namespace {

using platform::Data;
using platform::DataPtr;

const char *const kTiffExt[] = {"tif", "tiff", "TIF", "TIFF"};
const char *const kJpegExt[] = {"jpg", "jpe", "jpeg", "JPG", "JPE", "JPEG"};
const char *const kPsdExt[] = {"psd", "PSD"};
const char *const kRawExt[] = {"crw", "cr2", "nef", "nrw", "raf", "orf", "pef", "srf", "sr2",
                               "arw", "raw", "rw2", "rwl", "mrw", "dcr", "kdc", "dng", "mos",
                               "x3f", "fff", "3fr", "CRW", "CR2", "NEF", "NRW", "RAF", "ORF",
                               "PEF", "SRF", "SR2", "ARW", "RAW", "RW2", "RWL", "MRW", "DCR",
                               "KDC", "DNG", "MOS", "X3F", "FFF", "3FR"};

template <size_t N> bool listed(const char *const (&list)[N], const std::string &ext)
{
    for (const char *e : list)
        if (ext == e)
            return true;
    return false;
}

// The source type an extension stands for; nothing for raw and unknown extensions.
std::optional<SourceType> source_type(const std::string &ext)
{
    if (listed(kTiffExt, ext))
        return SourceType::Tiff;
    if (listed(kJpegExt, ext))
        return SourceType::Jpeg;
    if (listed(kPsdExt, ext))
        return SourceType::Psd;
    return std::nullopt;
}

const char *type_name(SourceType type)
{
    return type == SourceType::Tiff ? "TIFF" : type == SourceType::Jpeg ? "JPEG" : "PSD";
}

std::string probe_reason(SourceType type, int code)
{
    if (code == -1)
        return "cannot be opened or read";
    switch (type) {
    case SourceType::Tiff:
        return code == -2 ? "is not a TIFF file" : "is not a valid TIFF file (bad magic number)";
    case SourceType::Jpeg:
        return "is not a valid JPEG file";
    case SourceType::Psd:
        return code == -2 ? "is not a Photoshop file of a known version"
                          : "is not an RGB Photoshop document with at least 3 channels";
    }
    return "cannot be read";
}

// A PSD header promises sizes; its pixel data must be in the file before anything is allocated
// for them. Empty when it is, p's workBytes then set.
std::string psd_pixel_problem(SourcePhoto &p)
{
    int dims[kImageInfosCount];
    std::copy(std::begin(p.infos), std::end(p.infos), dims);
    dims[kInfoPsdKind] = 32; // the layout Manip::readPSD gives a ".psd" name
    switch (psd_pixels_present(p.path.c_str(), dims, &p.workBytes)) {
    case 0:
        return {};
    case -3:
        return "is truncated: its compressed pixel data passes the end of the file";
    default:
        return "is truncated (it holds less pixel data than its header gives) or is a "
               "large-document (PSB) file";
    }
}

// A JPEG of other than 8-bit samples (12-bit files exist), which the decoder does not take, said
// to follow its name; empty for 8-bit samples and for bits 0 (no frame header was read).
std::string jpeg_precision_problem(int bits)
{
    if (bits <= 0 || bits == 8)
        return {};
    return " has " + std::to_string(bits) + "-bit samples; only 8-bit JPEGs are read";
}

// Samples a TIFF pixel may carry: what the bitmap decoder takes.
constexpr int kMaxTiffSamples = 5;

// Why a photo of this size cannot be processed, to follow "is W x H pixels": the limit it
// passes. Empty when it fits.
std::string size_limit(const SourcePhoto &p)
{
    const auto pixels = platform::checked_product({p.width, p.height});
    if (!pixels || *pixels > uint64_t(platform::kMaxKernelPixels))
        return ", more than the " + std::to_string(platform::kMaxKernelPixels) +
               " pixels a photo may have";
    // The result's rows are 16 bits a sample, and their length in bytes an int.
    const int spp = std::max(p.spp, 1);
    const auto row = platform::checked_product({p.width, spp, 2});
    if (!row || *row > uint64_t(INT_MAX))
        return ": a row of its 16-bit result takes " + std::to_string(row.value_or(0)) +
               " bytes, more than the " + std::to_string(INT_MAX) + " a row may have";
    const auto decoded = platform::image_bytes(p.width, p.height, spp, p.bits / 8);
    if (!decoded || *decoded > platform::kMaxBitmapBytes)
        return " at " + std::to_string(p.bits) + " bits, more than the " +
               memory_size(platform::kMaxBitmapBytes) + " a decoded photo may take";
    return {};
}

int probe(SourcePhoto &p)
{
    switch (p.type) {
    case SourceType::Tiff:
        return getTiffInfo(p.path.c_str(), p.infos);
    case SourceType::Jpeg: {
        JpegHeldBytes held;
        const int r = infojpg(p.path.c_str(), p.infos, &held);
        p.headerBytes = uint64_t(std::max<int64_t>(held.markers, 0));
        p.workBytes = uint64_t(std::max<int64_t>(held.coefficients, 0));
        return r;
    }
    case SourceType::Psd:
        return getPsdInfo(p.path.c_str(), p.infos);
    }
    return -1;
}

// Read straight into the object the document keeps: a profile may be large, and is held once.
// Throws std::bad_alloc when memory runs out.
DataPtr read_profile(const SourcePhoto &p)
{
    const int len = p.infos[kInfoIccLength];
    if (len <= 0)
        return nullptr;
    DataPtr profile = Data::zeroed(static_cast<size_t>(len));
    if (!profile)
        throw std::bad_alloc();
    uint8_t *buf = profile->mutableBytes();
    int got = -1;
    switch (p.type) {
    case SourceType::Tiff:
        got = tif_profile(p.path.c_str(), buf, profile->length());
        break;
    case SourceType::Jpeg:
        got = jpg_profile(p.path.c_str(), buf, profile->length());
        break;
    case SourceType::Psd:
        got = psd_profile(p.path.c_str(), buf, profile->length());
        break;
    }
    if (got == -4)
        throw std::bad_alloc();
    return got > 0 ? profile : nullptr;
}

// The metadata of the photo at path (info, initialised here) and what its packet tells of it:
// 0 for a photo, else an earlier result (photo_settings_method). A photo without metadata is
// still a photo: its records stay zero; a reader that fails half-way (say in the IPTC walk after
// the EXIF) leaves what it read. Throws std::bad_alloc when memory runs out.
int read_metadata(const std::string &path, SourceType type, ExifInfo *info)
{
    const int kind = type == SourceType::Tiff ? 0 : type == SourceType::Jpeg ? 1 : 2;
    init_exifInfo(info);
    if (getExifData(path.c_str(), kind, info) == -4)
        throw std::bad_alloc();
    return photo_settings_method(path, kind, *info);
}

RoadError check_and_read(const std::vector<std::string> &paths, Document *doc);

} // namespace

std::string photo_count_problem(const std::vector<std::string> &photos)
{
    if (!photos.empty() && photos.size() <= size_t(kMaxPhotos))
        return {};
    std::vector<std::string> results;
    if (photos.size() > size_t(kMaxPhotos))
        for (const std::string &path : photos) {
            const std::optional<SourceType> type = source_type(platform::path_extension(path));
            uint64_t length = 0;
            std::string why;
            // Only regular files (a named pipe would block the metadata reader) of the types that
            // carry the packet.
            if (!type || *type == SourceType::Psd || !platform::open_regular(path, length, &why))
                continue;
            ExifInfo info;
            if (read_metadata(path, *type, &info) != 0)
                results.push_back(file_name(path));
        }
    std::string text =
        "give 1 to " + std::to_string(kMaxPhotos) + " photos, not " + std::to_string(photos.size());
    for (size_t k = 0; k < results.size(); ++k)
        text += (k == 0 ? " (" : k + 1 < results.size() ? ", " : " and ") + results[k];
    if (!results.empty())
        text += results.size() == 1 ? " is an earlier result)" : " are earlier results)";
    return text;
}

RoadError check_and_probe(const std::vector<std::string> &paths, Document *doc)
{
    // What the checks allocate is weighed after them, with what they found: they may run short.
    try {
        return check_and_read(paths, doc);
    } catch (const std::bad_alloc &) {
        return fail(kExitFailed, kReadingOutOfMemory);
    }
}

namespace {

RoadError check_and_read(const std::vector<std::string> &paths, Document *doc)
{
    if (std::string problem = photo_count_problem(paths); !problem.empty())
        return fail(kExitUsage, problem);
    const std::string firstExt = platform::path_extension(paths[0]);
    std::vector<uint64_t> lengths;
    for (const auto &path : paths) {
        std::string ext = platform::path_extension(path);
        // A named pipe or a device would block the readers or never end: only regular files.
        uint64_t length = 0;
        std::string why;
        const bool opened = bool(platform::open_regular(path, length, &why));
        lengths.push_back(length);
        if (!opened)
            return fail(kExitBadInput,
                        file_name(path) + (why.rfind("is ", 0) == 0 ? " " + why + ", not a photo"
                                                                    : " cannot be opened: " + why));
        if (listed(kRawExt, ext))
            return fail(kExitBadInput, file_name(path) +
                                           ": camera raw files are not supported; convert them "
                                           "to 16-bit TIFF first");
        if (!source_type(ext))
            return fail(kExitBadInput, file_name(path) +
                                           ": not a supported photo (extensions: tif, tiff, jpg, "
                                           "jpe, jpeg, psd, in lower or upper case)");
        // One file type, however the extensions are spelt (a.jpg, b.JPG, c.jpeg).
        if (source_type(ext) != source_type(firstExt))
            return fail(kExitBadInput, file_name(path) + " is a " + type_name(*source_type(ext)) +
                                           " photo, but " + file_name(paths[0]) + " is a " +
                                           type_name(*source_type(firstExt)) +
                                           ": the photos must be of one file type");
    }

    doc->photos.clear();
    for (size_t k = 0; k < paths.size(); ++k) {
        const std::string &path = paths[k];
        SourcePhoto p;
        p.path = path;
        p.type = *source_type(firstExt);
        p.fileBytes = lengths[k];
        // Every probe returns a positive value on success (8 for JPEG, the byte order for TIFF,
        // the layer offset for PSD).
        int r = probe(p);
        if (r == -1 && p.type == SourceType::Psd && p.infos[kInfoWidth] > 0)
            return fail(kExitBadInput, file_name(path) + " is " +
                                           std::to_string(p.infos[kInfoWidth]) + " x " +
                                           std::to_string(p.infos[kInfoHeight]) +
                                           " pixels, more than its Photoshop version allows, "
                                           "or is cut short");
        if (r <= 0 && p.type == SourceType::Jpeg) {
            platform::PixelLayout layout;
            platform::check_pixel_data(path, &layout);
            if (std::string deep = jpeg_precision_problem(layout.bits); !deep.empty())
                return fail(kExitBadInput, file_name(path) + deep);
        }
        if (r == -4)
            throw std::bad_alloc();
        if (r <= 0)
            return fail(kExitBadInput, file_name(path) + " " + probe_reason(p.type, r));
        p.width = p.infos[kInfoWidth];
        p.height = p.infos[kInfoHeight];
        // JPEG gives 8 bits and its components; TIFF and PSD are taken as RGB at their depth.
        p.bits = p.type == SourceType::Jpeg ? 8 : p.infos[kInfoBits];
        p.spp = p.type == SourceType::Jpeg ? p.infos[kInfoBits] : 3;
        // What the decoder will make of a TIFF or JPEG, read from its headers: a TIFF decodes
        // to grey or RGB whatever extra samples it holds.
        auto pixels = platform::PixelDataCheck::Ok;
        if (p.type != SourceType::Psd) {
            platform::PixelLayout layout;
            pixels = platform::check_pixel_data(path, &layout);
            if (pixels == platform::PixelDataCheck::OutOfMemory)
                throw std::bad_alloc();
            if (pixels != platform::PixelDataCheck::NotDecodable) {
                p.width = layout.width;
                p.height = layout.height;
                p.spp = layout.spp;
                p.bits = layout.bits;
                if (p.type == SourceType::Tiff) {
                    p.headerBytes = layout.tagBytes;
                    p.workBytes = layout.readBytes;
                }
            } else if (p.type == SourceType::Tiff) {
                p.spp = p.infos[kInfoSamples];
            }
        }
        if (p.width < 1 || p.height < 1)
            return fail(kExitBadInput, file_name(path) + " has no pixels");
        if (p.bits != 8 && p.bits != 16)
            return fail(kExitBadInput, file_name(path) + " has " + std::to_string(p.bits) +
                                           " bits per channel; 8 and 16 are supported");
        if (pixels == platform::PixelDataCheck::NotDecodable && p.type == SourceType::Tiff &&
            p.spp > kMaxTiffSamples)
            return fail(kExitBadInput, file_name(path) + " has " + std::to_string(p.spp) +
                                           " samples a pixel; grey and RGB photos with at most " +
                                           std::to_string(kMaxTiffSamples - 3) +
                                           " extra samples are supported");
        if (p.type != SourceType::Tiff && p.spp != 1 && p.spp != 3)
            return fail(kExitBadInput, file_name(path) + " has " + std::to_string(p.spp) +
                                           " channels; grey and RGB photos are supported");
        if (std::string limit = size_limit(p); !limit.empty())
            return fail(kExitBadInput, file_name(path) + " is " + std::to_string(p.width) + " x " +
                                           std::to_string(p.height) + " pixels" + limit);
        if (pixels == platform::PixelDataCheck::NotDecodable)
            return fail(kExitBadInput, file_name(path) + " cannot be decoded: its layout is not "
                                                         "supported or its header is damaged");
        // A file shorter than the pixels it declares is refused before memory is weighed for
        // them, so that whether it is refused does not depend on the machine.
        if (pixels == platform::PixelDataCheck::Truncated)
            return fail(kExitBadInput, file_name(path) +
                                           " is truncated: the file is too short "
                                           "for the " +
                                           std::to_string(p.width) + " x " +
                                           std::to_string(p.height) + " pixels it declares");
        if (pixels == platform::PixelDataCheck::TooManyScans)
            return fail(kExitBadInput, file_name(path) + " has more than " +
                                           std::to_string(platform::kMaxJpegScans) +
                                           " scans; no photograph needs that many");
        if (p.type == SourceType::Psd)
            if (std::string problem = psd_pixel_problem(p); !problem.empty())
                return fail(kExitBadInput, file_name(path) + " " + problem);
        // An earlier result is told as such before it is compared with the other photos: a
        // cropping alignment made it smaller than they are.
        ExifInfo info;
        if (int made = read_metadata(path, p.type, &info); made != 0)
            return fail(kExitBadInput, file_name(path) + " is an earlier result (" +
                                           made_with(made) + "), not a photo of the bracket");
        if (!doc->photos.empty()) {
            const SourcePhoto &f = doc->photos.front();
            if (p.width != f.width || p.height != f.height)
                return fail(kExitBadInput,
                            file_name(path) + " is " + std::to_string(p.width) + " x " +
                                std::to_string(p.height) + ", but " + file_name(f.path) + " is " +
                                std::to_string(f.width) + " x " + std::to_string(f.height));
            if (p.spp != f.spp || p.bits != f.bits)
                return fail(kExitBadInput, file_name(path) +
                                               " differs from the first photo in channels or "
                                               "bits per channel");
        }

        p.iptcBase = info.iptcBase;
        p.exifBuf = Data::zeroed(kExifBufBytes);
        p.gpsBuf = Data::zeroed(kGpsBufBytes);
        if (!p.exifBuf || !p.gpsBuf)
            throw std::bad_alloc();
        metadataBufFromExifInfo(&info, reinterpret_cast<int32_t *>(p.exifBuf->mutableBytes()),
                                reinterpret_cast<int32_t *>(p.gpsBuf->mutableBytes()));
        doc->photos.push_back(std::move(p));
    }

    const SourcePhoto &first = doc->photos.front();
    doc->width = first.width;
    doc->height = first.height;
    doc->spp = first.spp;
    doc->profile = read_profile(first);
    const int32_t *exif = record_ints(first.exifBuf);
    // The record's IPTC offset may count from the TIFF header inside the file (the IPTC tag of
    // an EXIF directory); read_iptc wants a file position.
    int iptcLen = exif[kExifIptcLength];
    int64_t iptcAt = int64_t(first.iptcBase) + exif[kExifIptcOffset];
    doc->iptc = nullptr;
    if (iptcLen > 0 && iptcAt <= INT_MAX) {
        std::vector<uint8_t> buf(static_cast<size_t>(iptcLen) + 1, 0);
        // read_iptc gives the length of the whole records: nothing past them is carried.
        if (int n = read_iptc(first.path.c_str(), iptcLen, int(iptcAt), buf.data()); n > 0)
            if (!(doc->iptc = Data::copy(buf.data(), static_cast<size_t>(n))))
                throw std::bad_alloc();
    }
    // Headers without a real density (JFIF aspect ratios say 1) get the usual 72 dpi.
    doc->dpi = first.infos[kInfoXRes] >= 10 ? first.infos[kInfoXRes] : 72;
    int orientation = exif[kExifOrientation];
    if ((orientation < 1 || orientation > 8) && first.type == SourceType::Tiff)
        orientation = first.infos[kInfoOrientation];
    doc->orientation = orientation >= 1 && orientation <= 8 ? orientation : 1;

    // Read before the pixels: noise reduction picks the darkest photos by them, the merge
    // divides by them.
    MetaData meta;
    platform::DataArray records;
    doc->exif = 1;
    for (const auto &p : doc->photos) {
        records.push_back(p.exifBuf);
        if (meta.scanExif(p.exifBuf) <= 0)
            doc->exif = 0;
    }
    doc->deltaT = doc->exif > 0 ? meta.getEV(records) : nullptr;
    if (doc->exif > 0 && !doc->deltaT)
        throw std::bad_alloc();
    return {};
}

} // namespace

} // namespace app
