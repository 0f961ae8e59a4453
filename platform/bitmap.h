// Bitmaps: the stand-in for the framework's bitmap image class and for its decoding of TIFF and
// JPEG files. A bitmap owns one zeroed, meshed pixel buffer; decoded bitmaps are interleaved RGB
// (or grey) at 8 or 16 bits a sample, 16-bit samples in host byte order, with the file's ICC
// profile when it has one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/data.h"

namespace platform {

inline constexpr const char *kCalibratedRGBColorSpace = "NSCalibratedRGBColorSpace";
inline constexpr const char *kDeviceRGBColorSpace = "NSDeviceRGBColorSpace";
inline constexpr const char *kCalibratedWhiteColorSpace = "NSCalibratedWhiteColorSpace";

// The most bytes a bitmap holds, decoded or created.
inline constexpr uint64_t kMaxBitmapBytes = uint64_t(8) << 30;

class BitmapImageRep;
using BitmapPtr = std::shared_ptr<BitmapImageRep>;

// What a TIFF or JPEG file's headers promise, as the decoder would take it: the size, the
// decoded samples a pixel (1 or 3) and bits a sample (8 or 16; a JPEG's sample precision).
// TIFF only, what libtiff holds while it reads the file, beside the file and the decoded pixels
// (0 for JPEG): tagBytes, the values of the directory's tags (an ICC profile, XMP, a Photoshop
// block...) and its strip or tile tables, which every open of the file loads; readBytes, the
// largest strip or tile as stored, which it reads whole before decoding a row of it, and a
// decoded tile.
struct PixelLayout {
    int width = 0, height = 0, spp = 0, bits = 0;
    uint64_t tagBytes = 0, readBytes = 0;
};

// How a decode that expects a layout ended. Another size or layout is told from the file's
// headers before any pixel buffer is sized; Damaged is a file the decoder refuses (by
// check_pixel_data's rules, or damage found while decoding).
enum class DecodeOutcome { Ok, Damaged, OtherSize, OtherLayout, OutOfMemory };

class BitmapImageRep {
public:
    // The initialiser with null planes: the bitmap allocates and owns a zeroed buffer of
    // bytesPerRow x pixelsHigh bytes (bytesPerRow 0 means packed rows). Returns null for a
    // side below 1, a depth other than 8 or 16, samples outside 1..5, planar layout, a row
    // length below the packed one, bitsPerPixel other than 0 or samples x depth, sizes that
    // overflow or pass INT_MAX pixels or 8 GiB, or when memory runs out.
    static BitmapPtr create(int pixelsWide, int pixelsHigh, int bitsPerSample, int samplesPerPixel,
                            bool hasAlpha, bool isPlanar, const std::string &colorSpaceName,
                            int bytesPerRow, int bitsPerPixel);

    // Decodes a TIFF or JPEG file held in memory (imageRepWithData:); null when the bytes are
    // neither, or are corrupt or truncated (check_pixel_data's rules; damage libjpeg finds
    // while rows of a JPEG or of a JPEG-compressed strip remain to be decoded; a frame or scan
    // libjpeg reads otherwise than the check; arithmetic-coded data that its decoder reads past
    // by more zeros than a whole scan's end takes), or use a layout
    // the decoder does not handle (CMYK, float or 1..4-bit samples), or would decode past
    // INT_MAX pixels or 8 GiB. Pixels stay in stored order (orientation is not applied); alpha
    // and extra samples are dropped; the first TIFF directory is read. The libraries' messages
    // are never printed.
    static BitmapPtr imageRepWithData(const DataPtr &data);
    // As above, into *out; with expected, only a file whose headers give that layout (as
    // check_pixel_data gave it) is decoded, and no profile is collected (the caller that checked
    // the file has it from there). OutOfMemory also when a library's allocation failed.
    static DecodeOutcome imageRepWithData(const DataPtr &data, const PixelLayout *expected,
                                          BitmapPtr *out);
    // Reads and decodes a file; null as above or when it cannot be read.
    static BitmapPtr imageRepWithContentsOfFile(const std::string &path);

    uint8_t *bitmapData() { return m_pixels.data(); }
    const uint8_t *bitmapData() const { return m_pixels.data(); }
    int bytesPerRow() const { return m_bytesPerRow; }
    int samplesPerPixel() const { return m_spp; }
    int bitsPerSample() const { return m_bps; }
    int bitsPerPixel() const { return m_bitsPerPixel; }
    int pixelsWide() const { return m_width; }
    int pixelsHigh() const { return m_height; }
    bool hasAlpha() const { return m_hasAlpha; }
    bool isPlanar() const { return false; }
    const std::string &colorSpaceName() const { return m_colorSpace; }

    // The NSImageColorSyncProfileData property: the embedded ICC profile or null.
    DataPtr iccProfile() const { return m_icc; }
    void setIccProfile(DataPtr icc) { m_icc = std::move(icc); }

private:
    BitmapImageRep() = default;
    std::vector<uint8_t> m_pixels;
    int m_width = 0, m_height = 0, m_bps = 0, m_spp = 0, m_bytesPerRow = 0, m_bitsPerPixel = 0;
    bool m_hasAlpha = false;
    std::string m_colorSpace;
    DataPtr m_icc;
};

// Decodes a JPEG file held in memory straight into dst when its headers give width x height
// pixels of spp 8-bit samples (rows of width x spp bytes, packed), with no bitmap between: a
// stack of photos is filled without a copy. Otherwise it tells why, dst partly written when
// damage is found while decoding.
DecodeOutcome decode_jpeg_into(const DataPtr &data, int width, int height, int spp, uint8_t *dst);

// Tests only: the JPEG decoders walk bytes instead of the stream they decode (null: the stream),
// so that a stream that libjpeg reads otherwise than its walk can be made.
void set_jpeg_walk_for_testing(DataPtr bytes);

enum class PixelDataCheck {
    Ok,
    NotDecodable, // not a TIFF or JPEG file, or a layout the decoder does not take (a JPEG of
                  // other than 8-bit samples has the layout filled)
    TooLarge,     // past the decoder's caps (see create); the layout is filled
    Truncated,    // the file cannot hold the pixels its header declares; the layout is filled
    TooManyScans, // a JPEG of more scans than kMaxJpegScans; the layout is filled
    OutOfMemory,  // memory ran out while the headers were read: nothing is known of the file
};

// The most scans a JPEG may have: photos have about 10 (progressive encoders' scripts stay in
// the tens). Each scan walks the whole image again, some 15 ms at 24 megapixels for a scan of
// 50 bytes: a file at the cap decodes in 1.6 s where a photo of that size takes 0.2 s. The
// decoder refuses a file as its scan count passes the cap.
inline constexpr int kMaxJpegScans = 100;

// The most memory the JPEG library may take while decoding an image of outputBytes samples: a
// multi-scan file buffers its coefficients, twice the output at most, beside working room. A
// file that would take more is refused by the library instead of allocated.
inline constexpr uint64_t jpeg_library_memory(uint64_t outputBytes)
{
    return 2 * outputBytes + (uint64_t(64) << 20);
}

// Reads the headers of the TIFF or JPEG file at path, not its pixels: whether the decoder takes
// the layout and whether the file is long enough for the pixels declared. TIFF: a codec of known
// bound (WebP, LERC and unknown codecs are NotDecodable); the first directory's strips or tiles
// lie in the file and hold every row's bytes (compressed: enough to expand to them as far as the
// codec can), each byte of the file counted once however many strips share it; JPEG-compressed
// strips or tiles are JPEG streams held to the rules below, each of the strip or tile its tags
// give (width, rows, samples), their entropy-coded bytes counted once. JPEG: the markers are
// walked to the end of the image as libjpeg's reader finds them (bytes between segments,
// FF 00 among them, are skipped), and what that reader refuses is NotDecodable (a second SOI or
// frame, reserved markers, frame types other than baseline, extended, progressive and their
// arithmetic-coded forms, tables it cannot read, scans naming components it does not find, a
// second scan after one that codes a sequential frame whole); 8-bit samples; the scans are
// counted, and the entropy-coded bytes of each (nothing outside them counts); every component is
// coded by a scan (progressive: by a DC scan); a stream that ends without its end of image must
// have coded every coefficient to its last bit; each Huffman-coded sequential or DC scan holds at
// least one bit for each 8 x 8 block it codes (whole MCUs of each component when it interleaves
// them), as every such scan spends, and an arithmetic-coded file one byte for every 4096 blocks
// of all components, a floor no photo comes near. The decoders hold the same rules, and libjpeg
// to the frame and scans of the walk. A path that is not a regular file is NotDecodable.
PixelDataCheck check_pixel_data(const std::string &path, PixelLayout *layout);

// An image: a size and its representations.
struct Image {
    double width = 0, height = 0;
    std::vector<BitmapPtr> representations;
    void addRepresentation(BitmapPtr rep) { representations.push_back(std::move(rep)); }
};

} // namespace platform
