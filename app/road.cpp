#include "app/road.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "align/feature_align.h"
#include "align/feature_points.h"
#include "align/translation_align.h"
#include "app/settings.h"
#include "denoise/denoise.h"
#include "fusion/combination.h"
#include "fusion/fusion_job.h"
#include "imagecore/banded.h"
#include "imagecore/color.h"
#include "imagecore/float_clamp.h"
#include "imagecore/jpeg_readers.h"
#include "imagecore/manip.h"
#include "imagecore/pixel_buffers.h"
#include "imagecore/preview.h"
#include "imagecore/psd_reader.h"
#include "imagecore/records.h"
#include "imagecore/tiff_probe.h"
#include "merge/ev_estimate.h"
#include "merge/merge_to_hdr.h"
#include "metadata/exif_reader.h"
#include "metadata/exif_records.h"
#include "metadata/jpeg_writer.h"
#include "metadata/metadata_class.h"
#include "metadata/tiff_writer.h"
#include "metadata/xmp_settings.h"
#include "platform/alerts.h"
#include "platform/bitmap.h"
#include "platform/checked_size.h"
#include "platform/file_holder.h"
#include "platform/system.h"
#include "tonemap/tm_dim.h"
#include "tonemap/tm_params.h"
#include "tonemap/tone_map.h"

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

RoadError fail(int code, std::string message)
{
    return RoadError{code, std::move(message)};
}

// A path's last component, which messages name a photo by; the whole path where that is empty
// ("dir/").
std::string file_name(const std::string &path)
{
    auto slash = path.find_last_of('/');
    return slash == std::string::npos || slash + 1 == path.size() ? path : path.substr(slash + 1);
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
// for them. Empty when it is.
std::string psd_pixel_problem(const SourcePhoto &p)
{
    int dims[kImageInfosCount];
    std::copy(std::begin(p.infos), std::end(p.infos), dims);
    dims[kInfoPsdKind] = 32; // the layout Manip::readPSD gives a ".psd" name
    switch (psd_pixels_present(p.path.c_str(), dims)) {
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

// Bytes as a photographer reads them: "12.3 GB".
std::string gigabytes(uint64_t bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f GB", double(bytes) / double(uint64_t(1) << 30));
    return text;
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
               gigabytes(platform::kMaxBitmapBytes) + " a decoded photo may take";
    return {};
}

int probe(SourcePhoto &p)
{
    switch (p.type) {
    case SourceType::Tiff:
        return getTiffInfo(p.path.c_str(), p.infos);
    case SourceType::Jpeg:
        return infojpg(p.path.c_str(), p.infos);
    case SourceType::Psd:
        return getPsdInfo(p.path.c_str(), p.infos);
    }
    return -1;
}

DataPtr read_profile(const SourcePhoto &p)
{
    int len = p.infos[kInfoIccLength];
    if (len <= 0)
        return nullptr;
    // The readers get one spare zero byte beyond the length the probe reported.
    std::vector<uint8_t> buf(static_cast<size_t>(len) + 1, 0);
    int got = -1;
    switch (p.type) {
    case SourceType::Tiff:
        got = tif_profile(p.path.c_str(), buf.data(), buf.size());
        break;
    case SourceType::Jpeg:
        got = jpg_profile(p.path.c_str(), buf.data(), buf.size());
        break;
    case SourceType::Psd:
        got = psd_profile(p.path.c_str(), buf.data(), buf.size());
        break;
    }
    return got > 0 ? Data::copy(buf.data(), static_cast<size_t>(len)) : nullptr;
}

const int32_t *ints(const DataPtr &d)
{
    return reinterpret_cast<const int32_t *>(d->bytes());
}

// The 8-bit samples of one decoded bitmap, in the document's channel count, into dst. A
// 16-bit sample keeps its high byte: the stack is 8 bits in every run.
template <class T> void copy_rows(const platform::BitmapImageRep &bmp, int spp, uint8_t *dst)
{
    const int w = bmp.pixelsWide(), h = bmp.pixelsHigh(), srcSpp = bmp.samplesPerPixel();
    constexpr int shift = sizeof(T) == 2 ? 8 : 0;
    const size_t rowLength = static_cast<size_t>(w) * static_cast<size_t>(spp);
    for (int y = 0; y < h; ++y) {
        const T *row = reinterpret_cast<const T *>(bmp.bitmapData() +
                                                   static_cast<size_t>(y) * bmp.bytesPerRow());
        uint8_t *out = dst + static_cast<size_t>(y) * rowLength;
        if (sizeof(T) == 1 && srcSpp == spp) {
            std::memcpy(out, row, rowLength);
            continue;
        }
        for (int x = 0; x < w; ++x, row += srcSpp, out += spp)
            for (int c = 0; c < spp; ++c)
                out[c] = static_cast<uint8_t>(row[srcSpp == 1 ? 0 : c] >> shift);
    }
}

void copy_to_stack(const platform::BitmapImageRep &bmp, int spp, uint8_t *dst)
{
    if (bmp.bitsPerSample() == 16)
        copy_rows<uint16_t>(bmp, spp, dst);
    else
        copy_rows<uint8_t>(bmp, spp, dst);
}

// The worker count of -j: the processor count when not given, 1 to 32.
int worker_threads(int threads)
{
    return std::clamp(threads > 0 ? threads : platform::processor_count(), 1, 32);
}

// How the decoding of one photo ended.
enum class Decoded { Pending, Ok, Corrupt, OtherSize, OtherLayout, OutOfMemory };

// Decodes photo p into its slot of the stack.
Decoded decode_photo(const SourcePhoto &p, int width, int height, int spp, uint8_t *slot)
{
    try {
        platform::BitmapPtr bmp;
        if (p.type == SourceType::Psd) {
            // The probe's record, copied: the loader writes its PSD/PSB slot.
            int dims[kImageInfosCount];
            std::copy(std::begin(p.infos), std::end(p.infos), dims);
            bmp = Manip().readPSD(p.path, dims);
        } else {
            // A JPEG of the stack's layout goes straight into its slot; anything else, and any
            // failure (to be told apart), through a bitmap.
            const DataPtr bytes = platform::contents_at_path(p.path);
            if (p.type == SourceType::Jpeg &&
                platform::decode_jpeg_into(bytes, width, height, spp, slot))
                return Decoded::Ok;
            bmp = platform::BitmapImageRep::imageRepWithData(bytes);
        }
        if (!bmp)
            return Decoded::Corrupt;
        if (bmp->pixelsWide() != width || bmp->pixelsHigh() != height)
            return Decoded::OtherSize;
        int bspp = bmp->samplesPerPixel();
        if ((bspp != 1 && bspp != 3) || (spp == 1 && bspp != 1) ||
            (bmp->bitsPerSample() != 8 && bmp->bitsPerSample() != 16))
            return Decoded::OtherLayout;
        copy_to_stack(*bmp, spp, slot);
        return Decoded::Ok;
    } catch (const std::bad_alloc &) {
        return Decoded::OutOfMemory;
    }
}

std::string decode_message(Decoded d, const SourcePhoto &p)
{
    switch (d) {
    case Decoded::Corrupt:
        return file_name(p.path) + " cannot be decoded (corrupt, truncated or an unsupported "
                                   "layout)";
    case Decoded::OtherSize:
        return file_name(p.path) + " decodes to another size than its header gives";
    case Decoded::OtherLayout:
        return file_name(p.path) + " decodes to an unsupported layout";
    case Decoded::OutOfMemory:
        return "not enough memory to decode " + file_name(p.path);
    default:
        return file_name(p.path) + " could not be decoded";
    }
}

// The metadata of the photo at path (info, initialised here) and what its packet tells of it:
// 0 for a photo, else an earlier result (photo_settings_method). A photo without metadata is
// still a photo: its records stay zero; a reader that fails half-way (say in the IPTC walk after
// the EXIF) leaves what it read.
int read_metadata(const std::string &path, SourceType type, ExifInfo *info)
{
    const int kind = type == SourceType::Tiff ? 0 : type == SourceType::Jpeg ? 1 : 2;
    init_exifInfo(info);
    getExifData(path.c_str(), kind, info);
    return photo_settings_method(path, kind, *info);
}

// The folder of a path ("." when it names none) and its last component.
std::pair<std::string, std::string> folder_and_name(const std::string &path)
{
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

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
    if (std::string problem = photo_count_problem(paths); !problem.empty())
        return fail(kExitUsage, problem);
    const std::string firstExt = platform::path_extension(paths[0]);
    for (const auto &path : paths) {
        std::string ext = platform::path_extension(path);
        // A named pipe or a device would block the readers or never end: only regular files.
        uint64_t length = 0;
        std::string why;
        if (!platform::open_regular(path, length, &why))
            return fail(kExitBadInput, file_name(path) + (why.rfind("is ", 0) == 0
                                                              ? " " + why + ", not a photo"
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
    for (const auto &path : paths) {
        SourcePhoto p;
        p.path = path;
        p.type = *source_type(firstExt);
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
            if (pixels != platform::PixelDataCheck::NotDecodable) {
                p.width = layout.width;
                p.height = layout.height;
                p.spp = layout.spp;
                p.bits = layout.bits;
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
            return fail(kExitBadInput, file_name(path) + " is truncated: the file is too short "
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
            return fail(kExitFailed, "out of memory");
        metadataBufFromExifInfo(&info, reinterpret_cast<int32_t *>(p.exifBuf->mutableBytes()),
                                reinterpret_cast<int32_t *>(p.gpsBuf->mutableBytes()));
        doc->photos.push_back(std::move(p));
    }

    const SourcePhoto &first = doc->photos.front();
    doc->width = first.width;
    doc->height = first.height;
    doc->spp = first.spp;
    doc->profile = read_profile(first);
    const int32_t *exif = ints(first.exifBuf);
    // The record's IPTC offset may count from the TIFF header inside the file (the IPTC tag of
    // an EXIF directory); read_iptc wants a file position.
    int iptcLen = exif[kExifIptcLength];
    int64_t iptcAt = int64_t(first.iptcBase) + exif[kExifIptcOffset];
    doc->iptc = nullptr;
    if (iptcLen > 0 && iptcAt <= INT_MAX) {
        std::vector<uint8_t> buf(static_cast<size_t>(iptcLen) + 1, 0);
        // read_iptc gives the length of the whole records: nothing past them is carried.
        if (int n = read_iptc(first.path.c_str(), iptcLen, int(iptcAt), buf.data()); n > 0)
            doc->iptc = Data::copy(buf.data(), static_cast<size_t>(n));
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
        return fail(kExitFailed, "out of memory");
    return {};
}

int smallest_side(int method)
{
    switch (method) {
    case kMethodDeredid:
        return 10;
    case kMethodFusionAdjust:
        return 4;
    default:
        return 1;
    }
}

RoadError check_method_size(const Document &doc, int method)
{
    const int side = smallest_side(method);
    if (doc.width >= side && doc.height >= side)
        return {};
    const char *name = method_name(method);
    return fail(kExitBadInput, "the photos are " + std::to_string(doc.width) + " x " +
                                   std::to_string(doc.height) + " pixels, too small for " +
                                   (name ? name : "this method") + ", which needs at least " +
                                   std::to_string(side) + " x " + std::to_string(side));
}

namespace {

// The program, its libraries, its threads' stacks and the allocator's own: resident in every run
// beside the buffers memory_terms counts (5 to 7 MB measured, from photos of a few pixels to 96
// megapixels, at 1 to 32 threads).
constexpr uint64_t kBaselineBytes = uint64_t(10) << 20;

// The feature aligner's sizes (align/feature_align.cpp): steps are found on grey copies of the
// photos reduced to at most 1100 pixels a side, points detected in tiles of 1024 pixels a side
// and a margin of 20 on either side.
constexpr int64_t kAlignReducedSide = 1100, kAlignTile = 1024, kAlignRegion = 1024 + 2 * 20;

constexpr int kMaxTile = 2048; // the denoiser's tile side

// What one decoder holds beside the stack while it decodes p: the file, the bitmap a photo goes
// through (a JPEG goes straight into the stack, and through a bitmap only when that fails, to
// tell why), a PSD's plane, and the coefficients a multi-scan JPEG keeps (up to the library's
// cap). Nothing on overflow.
std::optional<uint64_t> decoder_bytes(const SourcePhoto &p)
{
    struct stat st;
    const uint64_t file = ::stat(p.path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
    const auto bitmap = platform::image_bytes(p.width, p.height, p.spp, std::max(p.bits / 8, 1));
    if (!bitmap || *bitmap > platform::kMaxBitmapBytes)
        return std::nullopt;
    uint64_t own = *bitmap;
    if (p.type == SourceType::Psd) {
        own += *bitmap / 3;
    } else if (p.type == SourceType::Jpeg) {
        const uint64_t cap = platform::jpeg_library_memory(*bitmap);
        const int64_t coefficients = jpeg_coefficient_bytes(p.path.c_str());
        own += coefficients < 0 ? cap : std::min(uint64_t(coefficients), cap);
    }
    uint64_t total;
    if (__builtin_add_overflow(file, own, &total))
        return std::nullopt;
    return total;
}

// Bytes noise reduction holds beside the stack: the denoiser's work area, its output photo and,
// for grey photos, their RGB copy. Nothing when the denoiser does not take the size.
std::optional<uint64_t> denoise_bytes(int w, int h, int spp)
{
    const int work = mem4denoise(w, h, kMaxTile);
    const auto rgb = platform::image_bytes(w, h, 3, 1);
    if (work < 0 || !rgb)
        return std::nullopt;
    return uint64_t(work) + *rgb * (spp == 1 ? 2 : 1);
}

// The peak of the noise reduction of a stack of stackBytes (see memory_terms).
std::optional<uint64_t> denoise_need(int w, int h, int spp, uint64_t stackBytes)
{
    const auto beside = denoise_bytes(w, h, spp);
    return beside ? std::optional<uint64_t>(kBaselineBytes + stackBytes + *beside) : std::nullopt;
}

// A run's memory in the parts the number of decoders weighs: the stack, the largest photo's
// decoder, and the largest stage after the decoding.
struct MemoryTerms {
    uint64_t stack = 0, decoder = 0, stages = 0;
};

// The memory of each stage of the run, as its code allocates it. P is the pixel count of doc's
// size, S = n x P x spp the 8-bit stack, which every stage holds but saving (main drops it
// first). Beside the stack each stage holds, in bytes:
//   decoding     d decoders at once, each as decoder_bytes;
//   noise        the work area of mem4denoise, the output photo (3P), and 3P more for grey
//   reduction    photos (denoise_bytes);
//   alignment    by features: grey copies of the photos reduced by D to at most 1100 pixels a
//                side and, when D / 3 = R > 1, by R, on which the points are detected; the
//                detection of a tile (of at most 1064 x 1064 pixels of the copy by R): its grey,
//                integral (4 bytes) and three filter layers (12 bytes) a pixel, twice, as the
//                allocator keeps one tile's freed buffers beside the next one's; the points of
//                every tile of two photos (1310 of 268 bytes a tile); then the warped photo
//                (P x spp). By translation: two grey copies and the bit pyramids of two photos
//                and a shifted level (at most 2.5P), then the shifted photo;
//   method       deredid: the HDR image (4P) through the three steps of the tone mapper, the
//                largest of: the pyramid of the local operator (T pixels, about 4P/3) in its
//                work area and its scratch copy (8T) with two levels of partial sums (1.25P);
//                the work area and the Poisson solve's three planes (4T + 12P), with the partial
//                sums the allocator may keep (below its mmap threshold); the result (2 spp P),
//                the solved luminance and the HDR image's copy (8P). The light mode's solver
//                holds less than the slider mode's counted here.
//                rodo: the HDR image and the result (4P + 2 spp P).
//                fusion: the result pyramid and the blend pyramid (2 x 2 spp L, L the pixels of
//                the pyramid, about 4P/3) and the weight maps (2 ((n - 1) P + L)).
//                the combinations: the result (2 spp P) and the kernel's planes: intensive nP,
//                highlights-shadows and two-photos 2P, mean none;
//   saving       the result alone: the writers go a row at a time.
// The run's peak is the largest stage and the baseline. Freed memory goes back to the system
// between stages (main). Nothing when doc's size passes what the processing takes.
std::optional<MemoryTerms> memory_terms(const Document &doc, const JobShape &job)
{
    const uint64_t n = doc.photos.size();
    if (n > uint64_t(kMaxPhotos) || !platform::kernel_sized(doc.width, doc.height, doc.spp))
        return std::nullopt;
    const uint64_t w = uint64_t(doc.width), h = uint64_t(doc.height), spp = uint64_t(doc.spp);
    const uint64_t P = w * h, photo = P * spp, result = 2 * spp * P;
    MemoryTerms t;
    t.stack = n * photo;
    for (const SourcePhoto &p : doc.photos) {
        const auto one = decoder_bytes(p);
        if (!one)
            return std::nullopt;
        t.decoder = std::max(t.decoder, *one);
    }

    uint64_t beside = 0; // the largest a stage after the decoding holds beside the stack
    if (job.denoise > 0)
        beside = std::max(beside, denoise_bytes(doc.width, doc.height, doc.spp).value_or(0));
    if (n > 1 && job.alignType == kAlignFeatures) {
        const uint64_t D = (std::max(w, h) + kAlignReducedSide - 1) / kAlignReducedSide;
        const uint64_t R = std::max<uint64_t>(1, D / 3), fw = w / R, fh = h / R;
        const uint64_t copies = n * (w / D) * (h / D) + (R > 1 ? n * fw * fh : 0);
        const uint64_t tile = std::min<uint64_t>(fw, kAlignRegion) *
                              std::min<uint64_t>(fh, kAlignRegion) * (1 + 4 + 12);
        const uint64_t tiles =
            ((fw + kAlignTile - 1) / kAlignTile) * ((fh + kAlignTile - 1) / kAlignTile);
        const uint64_t points = (kTileMaxPoints + 1) * (3 * 4 + kDescriptorSize * 4);
        beside = std::max({beside, copies + 2 * tile + 2 * tiles * points, photo});
    } else if (n > 1 && job.alignType == kAlignTranslation) {
        beside = std::max({beside, 2 * P + P / 2, photo});
    }
    if (job.method == kMethodFusionAdjust) {
        const int len = pyram_len(doc.width, doc.height);
        const uint64_t L = len >= 0 ? uint64_t(len) : 4 * P / 3 + w + h;
        beside = std::max(beside, 2 * (2 * spp * L) + 2 * ((std::max<uint64_t>(n, 1) - 1) * P + L));
    } else if (job.method >= kMethodFusionIntensive && job.method <= kMethodMean) {
        const uint64_t planes = job.method == kMethodFusionIntensive ? n * P
                                : job.method == kMethodMean          ? 0
                                                                     : 2 * P;
        beside = std::max(beside, result + planes);
    } else if (job.method == kMethodDeredid) {
        tm_dims dims{};
        const uint64_t T = tm_dimSAV(doc.width, doc.height, 0, 0, &dims) > 0
                               ? uint64_t(std::max(dims.v[kTdTotalA], dims.v[kTdTotalB]))
                               : P;
        beside = std::max(beside, 4 * P + std::max({8 * T + 5 * P / 4, 4 * T + 12 * P + 5 * P / 4,
                                                    result + 8 * P}));
    } else {
        beside = std::max(beside, 4 * P + result);
    }
    t.stages = std::max(t.stack + beside, result);
    return t;
}

// The run's peak with d decoders at once.
std::optional<uint64_t> run_peak(const MemoryTerms &t, int d)
{
    uint64_t decoding;
    if (__builtin_mul_overflow(uint64_t(d), t.decoder, &decoding) ||
        __builtin_add_overflow(decoding, t.stack, &decoding))
        return std::nullopt;
    return kBaselineBytes + std::max(decoding, t.stages);
}

} // namespace

std::optional<uint64_t> job_memory(const Document &doc, const JobShape &job)
{
    const auto terms = memory_terms(doc, job);
    return terms ? run_peak(*terms, std::max(job.decoders, 1)) : std::nullopt;
}

RoadError decode_stack(Document *doc, uint64_t memory, int threads, const JobShape &job,
                       uint64_t *weighed)
{
    const size_t n = doc->photos.size();
    auto one = platform::image_bytes(doc->width, doc->height, doc->spp, 1);
    auto all = one ? platform::checked_mul(*one, n) : std::nullopt;
    // Noise reduction the memory does not hold is left out of the run (denoise_stack says so),
    // not the run.
    JobShape road = job;
    if (all && memory > 0 && job.denoise > 0 &&
        denoise_need(doc->width, doc->height, doc->spp, *all).value_or(UINT64_MAX) > memory)
        road.denoise = 0;
    const auto terms = memory_terms(*doc, road);
    const auto need = terms ? run_peak(*terms, 1) : std::nullopt;
    if (!all || !need)
        return fail(kExitBadInput, "the photos are too large");
    if (memory > 0 && *need > memory)
        return fail(kExitFailed, "not enough memory: " + std::to_string(n) + " photo" +
                                     (n == 1 ? "" : "s") + " of " + std::to_string(doc->width) +
                                     " x " + std::to_string(doc->height) + " need " +
                                     gigabytes(*need) + ", this machine has " + gigabytes(memory));
    // Each photo decoding at once holds its file and buffers beside the stack: as many at once
    // as the threads and the memory allow, one at least.
    int decoders = std::min(worker_threads(threads), static_cast<int>(n));
    while (memory > 0 && decoders > 1 && run_peak(*terms, decoders).value_or(UINT64_MAX) > memory)
        --decoders;
    if (weighed)
        *weighed = run_peak(*terms, std::max(decoders, 1)).value_or(*need);
    doc->stack = Data::zeroed(*all);
    if (!doc->stack)
        return fail(kExitFailed, "not enough memory for " + std::to_string(n) + " photos of " +
                                     std::to_string(doc->width) + " x " +
                                     std::to_string(doc->height));

    // Each decoder takes the next photo; once a photo fails, the later ones are skipped, but the
    // earlier ones still run: the first bad photo in the user's order is the one reported.
    std::vector<Decoded> outcome(n, Decoded::Pending);
    std::atomic<size_t> next{0}, firstBad{n};
    uint8_t *stack = doc->stack->mutableBytes();
    imagecore::run_banded(decoders, decoders, [&](const imagecore::Band &) {
        for (size_t k = next++; k < n; k = next++) {
            if (k > firstBad.load())
                continue;
            outcome[k] =
                decode_photo(doc->photos[k], doc->width, doc->height, doc->spp, stack + k * *one);
            if (outcome[k] != Decoded::Ok) {
                size_t bad = firstBad.load();
                while (k < bad && !firstBad.compare_exchange_weak(bad, k)) {
                }
            }
        }
    });
    for (size_t k = 0; k < n; ++k) {
        const Decoded d = outcome[k];
        if (d == Decoded::Ok)
            continue;
        doc->stack = nullptr;
        const bool photoAtFault =
            d == Decoded::Corrupt || d == Decoded::OtherSize || d == Decoded::OtherLayout;
        return fail(photoAtFault ? kExitBadInput : kExitFailed, decode_message(d, doc->photos[k]));
    }
    return {};
}

namespace {

// Photo indices, darkest first: by the metadata's exposures when every photo has one, else by
// mean brightness, the only measure left.
std::vector<int> darkest_first(const Document &doc, size_t photoBytes)
{
    const int n = static_cast<int>(doc.photos.size());
    std::vector<float> key(size_t(n), 0.0f);
    if (doc.exif > 0 && doc.deltaT && doc.deltaT->length() >= key.size() * sizeof(float)) {
        std::memcpy(key.data(), doc.deltaT->bytes(), key.size() * sizeof(float));
    } else {
        for (int k = 0; k < n; ++k) {
            const uint8_t *p = doc.stack->bytes() + size_t(k) * photoBytes;
            uint64_t sum = 0;
            for (size_t i = 0; i < photoBytes; ++i)
                sum += p[i];
            key[size_t(k)] = static_cast<float>(double(sum) / double(photoBytes));
        }
    }
    std::vector<int> order(static_cast<size_t>(n));
    if (fClassementCroissant(n, key.data(), order.data()) != n)
        throw std::bad_alloc();
    return order;
}

} // namespace

std::string denoise_stack(Document *doc, int count, int threads, uint64_t memory)
{
    count = std::min(count, static_cast<int>(doc->photos.size()));
    if (count < 1 || !doc->stack)
        return {};
    const int w = doc->width, h = doc->height;
    const bool grey = doc->spp == 1;
    const int bytes = mem4denoise(w, h, kMaxTile);
    const auto one = platform::image_bytes(w, h, doc->spp, 1);
    const auto rgb = platform::image_bytes(w, h, 3, 1);
    const auto row = platform::checked_product({w, 3});
    const auto need = denoise_need(w, h, doc->spp, doc->stack->length());
    if (bytes < 0 || !one || !rgb || !row || *row > size_t(INT_MAX) || !need)
        return "noise reduction skipped: the photos are too large for it";
    if (memory > 0 && *need > memory)
        return "noise reduction skipped: it needs " + gigabytes(*need) + ", this machine has " +
               gigabytes(memory);
    if (threads < 1)
        threads = platform::processor_count();

    int failed = 0;
    try {
        const std::vector<int> order = darkest_first(*doc, *one);
        auto work = std::make_unique_for_overwrite<float[]>(size_t(bytes) / sizeof(float) + 1);
        std::vector<uint8_t> out(*rgb), in(grey ? *rgb : 0);
        for (int k = 0; k < count; ++k) {
            uint8_t *photo = doc->stack->mutableBytes() + size_t(order[size_t(k)]) * *one;
            if (grey)
                for (size_t i = 0; i < *one; ++i)
                    in[3 * i] = in[3 * i + 1] = in[3 * i + 2] = photo[i];
            float nrParam[kNrParamCount];
            nr_def(nrParam); // fresh for every photo: denoise2 rewrites part of it
            if (denoise2(w, h, 3, int(*row), 8, kMaxTile, threads, nrParam, work.get(),
                         grey ? in.data() : photo, out.data()) != 1) {
                ++failed;
                continue;
            }
            // A grey pixel comes back with R = B = its luma and G, rebuilt from them, at times
            // a code lower: R is the grey.
            if (grey)
                for (size_t i = 0; i < *one; ++i)
                    photo[i] = out[3 * i];
            else
                std::memcpy(photo, out.data(), *one);
        }
    } catch (const std::bad_alloc &) {
        return "noise reduction skipped: out of memory";
    }
    if (failed > 0)
        return "noise reduction failed on " + std::to_string(failed) + " of the " +
               std::to_string(count) + " photos asked for; " +
               (failed == 1 ? "it is merged as it was" : "they are merged as they were");
    return {};
}

RoadError align_photos(Document *doc, int alignType, bool keepSize, int threads)
{
    const int n = static_cast<int>(doc->photos.size());
    if (alignType == kAlignNone || n < 2 || !doc->stack)
        return {};
    int dims[2] = {keepSize ? 1 : 0, 0};
    const int w = doc->width, h = doc->height;
    const int rc = alignType == kAlignTranslation
                       ? tr_align(n, w, h, doc->spp, 8, dims, doc->stack->mutableBytes())
                       : rt_align(worker_threads(threads), int(w * 0.1), int(h * 0.1), n, w, h,
                                  doc->spp, 8, dims, doc->stack->mutableBytes(), nullptr);
    if (rc < 0)
        return fail(kExitFailed,
                    rc == -4 ? "not enough memory to align the photos"
                             : "aligning the photos failed (error " + std::to_string(rc) + ")");
    doc->width = dims[0];
    doc->height = dims[1];
    return {};
}

namespace {

// Exposure fusion: the stack goes straight to the fusion job, no merge. The job's alert becomes
// the driver's message.
RoadError fuse(const Document &doc, const float *tmParam, int threads, bool showProgress,
               const StageHook &stage, DataPtr *result)
{
    if (stage)
        stage("Fusing");
    int dims[kImageDimsCount] = {};
    dims[kDimsWidth] = doc.width;
    dims[kDimsHeight] = doc.height;
    dims[kDimsSamples] = doc.spp;
    dims[kDimsBits] = 8;
    dims[kDimsOutBits] = 16;
    Fusion job;
    job.setParam(Data::copy(tmParam, kTmParamBytes));
    job.setImageDimsFrom(Data::copy(dims, sizeof dims));
    job.setImageCount(static_cast<int>(doc.photos.size()));
    if (threads > 0)
        job.setNbProc(threads);
    job.setShowProgress(showProgress ? 1 : 0);
    std::string said;
    platform::AlertSink previous =
        platform::set_alert_sink([&said](const platform::Alert &a) { said = a.message; });
    DataPtr fused = job.processFusion(doc.stack);
    platform::set_alert_sink(previous);
    if (!fused)
        return fail(kExitFailed, "exposure fusion failed" + (said.empty() ? "" : ": " + said));
    *result = fused;
    return {};
}

// The sampling step of the intensive blend, which its defaults leave open. Against every pixel
// of the window (step 1), step 4 moves 2 % of the 16-bit samples of a real bracket by more than
// an 8-bit level at the default Strength (5 % at Strength 10) and takes a twentieth of the time;
// step 8 moves 11 % that far, step 2 takes a quarter of step 1's time. A radius below the step
// takes the radius, so that the window keeps its centre and both ends.
constexpr int kIntensiveStep = 4;

// The relative exposure of each photo as the road takes it for the merge: the metadata's
// (deltaT) when every photo has one, else the merge's own estimate from the brightness of the
// photos. Empty when the estimate cannot be made.
std::vector<float> road_exposures(const Document &doc)
{
    const size_t n = doc.photos.size();
    std::vector<float> ev(n, 1.0f);
    if (doc.exif > 0 && doc.deltaT && doc.deltaT->length() >= n * sizeof(float)) {
        std::memcpy(ev.data(), doc.deltaT->bytes(), n * sizeof(float));
    } else if (n > 1) {
        std::vector<int> keys(n);
        if (mediane_images(int(n), doc.width, doc.height, doc.width * doc.spp, doc.spp, 8,
                           doc.stack->bytes(), keys.data()) < 0 ||
            guess_ev(0, int(n), keys.data(), ev.data(), 0.0f) != int(n))
            return {};
    }
    return ev;
}

// The methods that combine the photos directly (11 to 14): the combination kernels on the 8-bit
// stack, with what their defaults leave open set here: the intensive blend's sampling step, and
// the two photos of method 13 (the darkest and the brightest unless --pair chose).
RoadError combine(const Document &doc, int method, const float *tmParam, int threads,
                  const StageHook &stage, DataPtr *result)
{
    float p[kTmParamCount];
    std::copy(tmParam, tmParam + kTmParamCount, p);
    if (method == kMethodFusionIntensive && imagecore::clamp_to_int(p[kInStep]) < 1)
        p[kInStep] = float(std::clamp(imagecore::clamp_to_int(p[kInRadius]), 1, kIntensiveStep));
    if (method == kMethodTwoPhotos && p[kTwoPhotoA] < 0) {
        const std::vector<float> ev = road_exposures(doc);
        if (ev.empty())
            return fail(kExitFailed, "the photos' exposures cannot be estimated (out of memory)");
        // Ties: the first photo is the darker, the last the brighter.
        p[kTwoPhotoA] = float(std::min_element(ev.begin(), ev.end()) - ev.begin());
        p[kTwoPhotoB] = float(ev.rend() - 1 - std::max_element(ev.rbegin(), ev.rend()));
    }
    if (stage)
        stage(method == kMethodFusionIntensive     ? "Fusing (intensive)"
              : method == kMethodHighlightsShadows ? "Combining (highlights and shadows)"
              : method == kMethodTwoPhotos         ? "Combining (two photos)"
                                                   : "Combining (mean)");
    auto bytes = platform::image_bytes(doc.width, doc.height, doc.spp, 2);
    DataPtr out = bytes ? Data::zeroed(*bytes) : nullptr;
    if (!out)
        return fail(kExitFailed, "not enough memory for the result");
    const int rc = combine_photos(method, p, static_cast<int>(doc.photos.size()), doc.width,
                                  doc.height, doc.width * doc.spp, doc.spp, 8, 16,
                                  doc.stack->bytes(), out->mutableBytes(), worker_threads(threads));
    if (rc != doc.height)
        return fail(kExitFailed,
                    rc == -4 ? "not enough memory to combine the photos"
                             : "combining the photos failed (error " + std::to_string(rc) + ")");
    *result = out;
    return {};
}

} // namespace

RoadError process(const Document &doc, int method, const float *tmParam, int threads,
                  bool showProgress, const StageHook &stage, DataPtr *result)
{
    if (method == kMethodFusionAdjust)
        return fuse(doc, tmParam, threads, showProgress, stage, result);
    if (method >= kMethodFusionIntensive && method <= kMethodMean)
        return combine(doc, method, tmParam, threads, stage, result);
    const int n = static_cast<int>(doc.photos.size());
    int dims[kImageDimsCount] = {};
    dims[kDimsWidth] = doc.width;
    dims[kDimsHeight] = doc.height;
    dims[kDimsSamples] = doc.spp;
    dims[kDimsBits] = 8;
    DataPtr dimsData = Data::copy(dims, sizeof dims);

    if (stage)
        stage("Merging");
    MergeToHDR merge;
    merge.setNbProc(worker_threads(threads));
    merge.setImageDimsFrom(dimsData);
    merge.setImageCount(n);
    if (doc.exif > 0)
        merge.setDeltaT(doc.deltaT);
    float gamma = 2.2f, trc = 0;
    if (doc.profile && trc_from_profile(doc.profile->bytes(), doc.profile->length(), &trc) > 0 &&
        trc > 0)
        gamma = trc;
    merge.setCamCurve(merge.makeCurve(gamma, 1));
    DataPtr hdr = merge.mergeImagesToHDR(showProgress ? 0 : 1, doc.stack, doc.exif, 0.0f, nullptr);
    if (!hdr)
        return fail(kExitFailed, "the merge failed (out of memory or unusable exposures)");

    if (stage)
        stage(method == kMethodDeredid ? "Tone mapping (Deredid Edazozed)"
                                       : "Tone mapping (Rodo Vizezadadu)");
    dims[kDimsOutBits] = 16;
    ToneMap tm;
    if (method == kMethodDeredid)
        tm.setTMParam1(Data::copy(tmParam, kTmParamBytes));
    else
        tm.setTMParam2(Data::copy(tmParam, kTmParamBytes));
    tm.setImageDimsFrom(Data::copy(dims, sizeof dims));
    tm.setDocType(kDocRgbe);
    tm.setNbProc(worker_threads(threads));
    hdr = method == kMethodDeredid ? tm.enhancerToneMap(showProgress ? 1 : 0, hdr)
                                   : tm.compressorToneMap(showProgress ? 1 : 0, hdr);
    auto expected = platform::image_bytes(doc.width, doc.height, doc.spp, 2);
    if (!hdr || !expected || hdr->length() != *expected)
        return fail(kExitFailed, "tone mapping failed");
    *result = hdr;
    return {};
}

namespace {

// A named temporary file of the save, where the folder takes no unnamed one: SIGINT and SIGTERM
// remove it before the process ends. Only what a signal handler may touch.
char g_pendingPath[PATH_MAX];
volatile sig_atomic_t g_pending = 0;

extern "C" void remove_pending_then_stop(int sig)
{
    if (g_pending)
        ::unlink(g_pendingPath);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// Holds SIGINT and SIGTERM back for its life, so that none lands between a file's creation and
// its handler's, or between the handler's removal and the file's: they arrive when it goes.
class SignalsHeld {
public:
    SignalsHeld()
    {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        ::pthread_sigmask(SIG_BLOCK, &set, &m_old);
    }
    ~SignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &m_old, nullptr); }
    SignalsHeld(const SignalsHeld &) = delete;
    SignalsHeld &operator=(const SignalsHeld &) = delete;

private:
    sigset_t m_old;
};

// Holds a named temporary file: removed when the holder goes, and by SIGINT or SIGTERM while it
// is held (a signal the process ignores stays ignored). Made with the signals held back.
class PendingFile {
public:
    explicit PendingFile(std::string path) : m_path(std::move(path))
    {
        if (m_path.size() >= sizeof g_pendingPath)
            return; // too long for the handler's copy: removed on the way out alone
        std::memcpy(g_pendingPath, m_path.c_str(), m_path.size() + 1);
        g_pending = 1;
        struct sigaction act {};
        act.sa_handler = remove_pending_then_stop;
        sigemptyset(&act.sa_mask);
        for (int k = 0; k < 2; ++k) {
            ::sigaction(kSignals[k], nullptr, &m_old[k]);
            if (m_old[k].sa_handler != SIG_IGN)
                ::sigaction(kSignals[k], &act, nullptr);
        }
        m_installed = true;
    }
    ~PendingFile()
    {
        const SignalsHeld held;
        if (m_installed) {
            g_pending = 0;
            for (int k = 0; k < 2; ++k)
                ::sigaction(kSignals[k], &m_old[k], nullptr);
        }
        ::unlink(m_path.c_str());
    }
    PendingFile(const PendingFile &) = delete;
    PendingFile &operator=(const PendingFile &) = delete;
    const std::string &path() const { return m_path; }

private:
    static constexpr int kSignals[2] = {SIGINT, SIGTERM};
    std::string m_path;
    struct sigaction m_old[2] = {};
    bool m_installed = false;
};

struct FdCloser {
    int fd = -1;
    ~FdCloser()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

bool g_unnamedFiles = true;           // set_unnamed_files_for_testing
void (*g_hiddenLinkHook)() = nullptr; // set_hidden_link_hook_for_testing

// The longest file name the folder takes (255 bytes on the usual file systems).
size_t name_max(const std::string &dir)
{
    const long n = ::pathconf(dir.c_str(), _PC_NAME_MAX);
    return n > 0 ? size_t(n) : size_t(NAME_MAX);
}

// A hidden temporary name beside name in dir: "." name suffix, the name cut where the whole
// would not fit the folder. The suffix alone keeps such names apart.
std::string hidden_path(const std::string &dir, const std::string &name, const std::string &suffix)
{
    const size_t room = name_max(dir), fixed = 1 + suffix.size();
    return dir + "/." + name.substr(0, fixed < room ? room - fixed : 0) + suffix;
}

// The last number a default name takes ("<name>_hdr-999.jpg").
constexpr int kLastOutputNumber = 999;

// The hidden names a save passes through: the named temporary file where the folder takes no
// unnamed one (mkstemp's template), and -o's finished file before its rename, tried under
// kHiddenTries numbers.
constexpr const char *kTemplateSuffix = ".XXXXXX";
constexpr int kHiddenTries = 100;
std::string hidden_suffix(int k)
{
    return "." + std::to_string(::getpid()) + "-" + std::to_string(k);
}

} // namespace

RoadError save_result(const Document &doc, const DataPtr &result, int method, const float *tmParam,
                      OutputFormat format, int quality, const OutputTarget &target,
                      std::string *saved)
{
    const SourcePhoto &first = doc.photos.front();
    int32_t info[kSaveInfoCount] = {};
    info[kSaveWidth] = doc.width;
    info[kSaveHeight] = doc.height;
    info[kSaveSamples] = doc.spp;
    info[kSaveXDpi] = doc.dpi;
    info[kSaveYDpi] = doc.dpi;
    info[kSaveIccLength] = doc.profile ? static_cast<int32_t>(doc.profile->length()) : 0;
    info[kSaveOrientation] = doc.orientation;
    const uint8_t *profile = doc.profile ? doc.profile->bytes() : nullptr;
    const int iptcLen = doc.iptc ? static_cast<int>(doc.iptc->length()) : 0;
    const uint8_t *iptc = doc.iptc ? doc.iptc->bytes() : nullptr;
    const std::string &path = target.path;
    const auto [dir, name] = folder_and_name(path);

    // The result is written into an unnamed file in the target's folder, which nothing that
    // stops the process can leave behind; the writers reach it through /proc. Where the folder
    // takes none, into a hidden named file that SIGINT and SIGTERM remove.
    FdCloser unnamed{g_unnamedFiles ? ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666)
                                    : -1};
    std::string writePath = "/proc/self/fd/" + std::to_string(unnamed.fd);
    if (unnamed.fd >= 0 && ::access(writePath.c_str(), W_OK) != 0) {
        ::close(unnamed.fd);
        unnamed.fd = -1;
    }
    std::unique_ptr<PendingFile> named;
    if (unnamed.fd < 0) {
        const std::string tmpl = hidden_path(dir, name, kTemplateSuffix);
        std::vector<char> tmp(tmpl.begin(), tmpl.end());
        tmp.push_back('\0');
        const SignalsHeld held;
        const int fd = ::mkstemp(tmp.data());
        if (fd < 0)
            return fail(kExitFailed, "cannot write in " + dir + ": " + std::strerror(errno));
        named = std::make_unique<PendingFile>(tmp.data());
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
        ::close(fd);
        writePath = named->path();
    }

    // Row lengths in samples (JPEG) and bytes (TIFF), which the writers take as int: a row too
    // long for one (no photo that passed the checks) is refused rather than wrapped.
    auto rowSamples = platform::checked_product({doc.width, doc.spp});
    auto rowBytes = platform::checked_product({doc.width, doc.spp, 2});
    const bool rowsFit = rowSamples && rowBytes && *rowBytes <= size_t(INT_MAX);
    int r = -3;
    errno = 0;
    if (rowsFit && format == OutputFormat::Jpeg) {
        info[kSaveBits] = 8;
        info[kSaveIs16to8] = 1;
        r = KVwritejpg(writePath.c_str(), quality, info, int(*rowSamples), profile,
                       ints(first.exifBuf), ints(first.gpsBuf), iptcLen, iptc, method, tmParam,
                       result->bytes());
    } else if (rowsFit) {
        info[kSaveBits] = 16;
        info[kSaveIs16to8] = 0;
        r = buf2tif(result->bytes(), info, int(*rowBytes), profile, ints(first.exifBuf),
                    ints(first.gpsBuf), iptcLen, iptc, method, tmParam, 0, nullptr,
                    writePath.c_str());
    }
    if (r != doc.height) {
        // The system's word for a failed write (a full disk, a quota) says more than the code.
        const int e = errno;
        return fail(kExitFailed, "could not save " + path + ": " +
                                     (r == -4  ? std::string("out of memory")
                                      : e != 0 ? std::string(std::strerror(e))
                                               : "writer error " + std::to_string(r)));
    }

    // The finished file gets its name in one step. A default name is taken only when free, the
    // link failing when it exists (another run may take it at the same time); -o's file is
    // replaced by a rename from a fresh hidden name.
    auto link_to = [&](const std::string &to) {
        const int rc = named ? ::link(named->path().c_str(), to.c_str())
                             : ::linkat(AT_FDCWD, writePath.c_str(), AT_FDCWD, to.c_str(),
                                        AT_SYMLINK_FOLLOW);
        return rc == 0 ? 0 : errno;
    };
    if (target.numbered) {
        for (int k = 1; k <= kLastOutputNumber; ++k) {
            const std::string to = numbered_output_path(path, k);
            const int e = link_to(to);
            if (e == 0) {
                if (saved)
                    *saved = to;
                return {};
            }
            if (e != EEXIST)
                return fail(kExitFailed, "could not save " + to + ": " + std::strerror(e));
        }
        return fail(kExitFailed, "could not save the result: " + path + " and its numbered "
                                 "names up to " +
                                     file_name(numbered_output_path(path, kLastOutputNumber)) +
                                     " all exist (give -o)");
    }
    if (!named) {
        for (int k = 0; !named && k < kHiddenTries; ++k) {
            const std::string hidden = hidden_path(dir, name, hidden_suffix(k));
            // Held until the name has its handler, or a signal between the two leaves it behind.
            const SignalsHeld held;
            const int e = link_to(hidden);
            if (e == 0 && g_hiddenLinkHook)
                g_hiddenLinkHook();
            if (e == 0)
                named = std::make_unique<PendingFile>(hidden);
            else if (e != EEXIST)
                return fail(kExitFailed, "could not save " + path + ": " + std::strerror(e));
        }
        if (!named)
            return fail(kExitFailed, "could not save " + path + ": no free temporary name");
    }
    if (std::rename(named->path().c_str(), path.c_str()) != 0)
        return fail(kExitFailed, "could not save " + path + ": " + std::strerror(errno));
    if (saved)
        *saved = path;
    return {};
}

RoadError check_output(const std::vector<std::string> &photos, const std::string &output,
                       bool replaces)
{
    struct stat out;
    if (replaces && ::stat(output.c_str(), &out) == 0) {
        if (S_ISDIR(out.st_mode))
            return fail(kExitFailed, "cannot save " + output + ": it is a directory");
        // The save would put a regular file in its place.
        if (!S_ISREG(out.st_mode))
            return fail(kExitFailed, "cannot save " + output + ": it is " +
                                         (S_ISFIFO(out.st_mode)   ? "a named pipe"
                                          : S_ISSOCK(out.st_mode) ? "a socket"
                                                                  : "a device") +
                                         ", not a regular file");
        for (const auto &photo : photos) {
            struct stat in;
            if (::stat(photo.c_str(), &in) == 0 && in.st_dev == out.st_dev &&
                in.st_ino == out.st_ino)
                return fail(kExitUsage, "the output " + output + " is the photo " + photo +
                                            "; saving would replace it (give another -o)");
        }
    }
    const std::string dir = folder_and_name(output).first;
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return fail(kExitFailed, "cannot save " + output + ": there is no folder " + dir);
    if (::access(dir.c_str(), W_OK | X_OK) != 0)
        return fail(kExitFailed, "cannot save " + output + ": the folder " + dir +
                                     " cannot be written (" + std::strerror(errno) + ")");
    // The name the save will take must fit the folder: for default names the first free one
    // now, which a second run finds longer ("-2").
    std::string taken = output;
    if (!replaces) {
        int k = 1;
        for (struct stat existing; k <= kLastOutputNumber; ++k)
            if (::lstat(numbered_output_path(output, k).c_str(), &existing) != 0)
                break;
        if (k > kLastOutputNumber)
            return fail(kExitFailed,
                        "cannot save the result: " + output + " and its numbered names up to " +
                            file_name(numbered_output_path(output, kLastOutputNumber)) +
                            " all exist (give -o)");
        taken = numbered_output_path(output, k);
    }
    const size_t longest = name_max(dir);
    if (file_name(taken).size() > longest || taken.size() >= PATH_MAX)
        return fail(kExitFailed,
                    "cannot save " + taken + ": the name is longer than the " +
                        std::to_string(taken.size() >= PATH_MAX ? PATH_MAX - 1 : longest) +
                        " bytes the file system takes" + (replaces ? "" : " (give -o)"));
    // So must the hidden names the save passes through, a few bytes longer, or the run fails
    // after all its work. A default name is linked straight from the unnamed file.
    const std::string name = folder_and_name(output).second;
    size_t hidden = hidden_path(dir, name, kTemplateSuffix).size();
    if (replaces)
        hidden = std::max(hidden, hidden_path(dir, name, hidden_suffix(kHiddenTries - 1)).size());
    if (hidden >= PATH_MAX)
        return fail(kExitFailed,
                    "cannot save " + taken +
                        ": the hidden temporary file the result is written into first would have "
                        "a path longer than the " +
                        std::to_string(PATH_MAX - 1) + " bytes the system takes" +
                        (replaces ? " (give a shorter -o)" : " (give -o)"));
    return {};
}

void set_unnamed_files_for_testing(bool allowed)
{
    g_unnamedFiles = allowed;
}

void set_hidden_link_hook_for_testing(void (*hook)())
{
    g_hiddenLinkHook = hook;
}

std::string default_output_path(const std::string &firstPhoto, OutputFormat format)
{
    std::string dir, name = firstPhoto;
    if (auto slash = firstPhoto.find_last_of('/'); slash != std::string::npos) {
        dir = firstPhoto.substr(0, slash + 1);
        name = firstPhoto.substr(slash + 1);
    }
    if (auto dot = name.find_last_of('.'); dot != std::string::npos && dot > 0)
        name = name.substr(0, dot);
    return dir + name + "_hdr" + (format == OutputFormat::Jpeg ? ".jpg" : ".tif");
}

std::string numbered_output_path(const std::string &first, int number)
{
    if (number < 2)
        return first;
    const auto dot = first.find_last_of('.');
    return first.substr(0, dot) + "-" + std::to_string(number) + first.substr(dot);
}

} // namespace app
