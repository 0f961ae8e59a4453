// Byte builders for hand-made test files (TIFF, JPEG segments, PSD/PSB, ICC profiles), and
// temporary folders. The builders write exactly what they are told, in the order given, so tests
// can also make malformed files: wrong magic, out-of-order tags, offsets past the end, loops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

using Bytes = std::vector<uint8_t>;

// Writes bytes to path (replacing it); false when it cannot.
bool write_file(const std::string &path, const Bytes &bytes);
// The whole file, or an empty vector when it cannot be read.
Bytes read_file(const std::string &path);

// A fresh folder under the test temporary folder, removed with its contents by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return m_path; }
    // path() + "/" + name
    std::string file(const std::string &name) const;

private:
    std::string m_path;
};

// ---------------------------------------------------------------------------------------------
// TIFF

enum TiffType : uint16_t {
    kTiffByte = 1,
    kTiffAscii = 2,
    kTiffShort = 3,
    kTiffLong = 4,
    kTiffRational = 5,
    kTiffSByte = 6,
    kTiffUndefined = 7,
    kTiffSShort = 8,
    kTiffSLong = 9,
    kTiffSRational = 10,
    kTiffFloat = 11,
    kTiffDouble = 12,
};

// Layout of build(): the 8-byte header; the blobs in the order added (each at an even offset);
// then each IFD in index order (count, 12-byte entries, next offset) followed by its entries'
// out-of-line data (values longer than 4 bytes, each at an even offset); finally the data of
// entries placed at explicit offsets, written over or past what is there (the file grows with
// zeros when needed).
class TiffBuilder {
public:
    explicit TiffBuilder(bool bigEndian = false);
    bool bigEndian() const { return m_big; }

    // The header's magic number (42 by default) and first-IFD offset (by default the first
    // chained IFD, or 0 when there is none).
    void set_first_ifd(uint32_t offset);

    // A new empty IFD; returns its index. Chained IFDs follow one another through their
    // next-IFD offsets in index order (the last one ends with 0); unchained ones (Exif, GPS
    // IFDs) are reached only through pointer entries.
    size_t add_ifd(bool chained = true);
    // Overrides an IFD's next-IFD offset with a raw value or with the offset of another IFD
    // (itself for a self-loop).
    void set_next(size_t ifd, uint32_t offset);
    void set_next_to(size_t ifd, size_t target);

    // Raw bytes (pixel strips, a thumbnail) placed after the header; returns their offset.
    uint32_t add_blob(const Bytes &bytes);

    // An entry with its data already in the file's byte order: data of up to 4 bytes sits in
    // the value field (left-justified), longer data after the IFD. count is written as given.
    void add_entry(size_t ifd, uint16_t tag, uint16_t type, uint32_t count, Bytes data);
    // An entry whose value field is offset and whose data (possibly none) is written there.
    void add_entry_at(size_t ifd, uint16_t tag, uint16_t type, uint32_t count, uint32_t offset,
                      Bytes data = {});
    void add_shorts(size_t ifd, uint16_t tag, const std::vector<uint16_t> &values);
    void add_longs(size_t ifd, uint16_t tag, const std::vector<uint32_t> &values);
    void add_rationals(size_t ifd, uint16_t tag,
                       const std::vector<std::pair<uint32_t, uint32_t>> &values);
    void add_ascii(size_t ifd, uint16_t tag, const std::string &text); // a NUL is appended
    void add_bytes(size_t ifd, uint16_t tag, uint16_t type, const Bytes &bytes);
    // A LONG entry holding the offset of another IFD (Exif 34665, GPS 34853).
    void add_ifd_pointer(size_t ifd, uint16_t tag, size_t target);

    // The entries of a baseline uncompressed image in ascending tag order: ImageWidth,
    // ImageLength, BitsPerSample, Compression 1, PhotometricInterpretation (2 for spp >= 3,
    // else 1), StripOffsets, SamplesPerPixel, RowsPerStrip (h), StripByteCounts, PlanarConfig 1.
    // The pixels (interleaved; 16-bit samples in host order) become one blob in file order.
    void add_image(size_t ifd, const uint8_t *pixels, int w, int h, int spp, int bits);
    // Sorts an IFD's entries by tag (entries otherwise stay in the order added).
    void sort_entries(size_t ifd);

    // Numbers in the builder's byte order.
    Bytes u16(const std::vector<uint16_t> &values) const;
    Bytes u32(const std::vector<uint32_t> &values) const;

    Bytes build() const;

private:
    struct Entry {
        uint16_t tag, type;
        uint32_t count;
        Bytes data;
        bool explicitOffset = false;
        uint32_t offset = 0;
        long pointerTo = -1; // an IFD index whose offset is the value
    };
    struct Ifd {
        bool chained = true;
        std::vector<Entry> entries;
        bool nextSet = false;
        uint32_t next = 0;
        long nextTo = -1;
    };
    std::vector<uint32_t> layout(std::vector<std::vector<uint32_t>> *dataOffsets) const;

    bool m_big;
    bool m_firstSet = false;
    uint32_t m_first = 0;
    Bytes m_blobs; // everything after the header up to the first IFD
    std::vector<Ifd> m_ifds;
};

// A one-strip TIFF of w x h of spp samples (RGB from 3 on, else grey) at 8 bits, uncompressed
// or with a libtiff COMPRESSION_* value, whose strip is `strip` bytes of 7: what a hostile
// header claims, in about 130 bytes for a short strip.
Bytes make_strip_tiff(uint32_t w, uint32_t h, uint16_t spp, uint32_t strip, uint16_t compression = 1);

// Files written by libtiff itself, for readers that must accept what a real writer makes.
struct LibTiffOptions {
    int bits = 8;          // 8, 16, or 32 (float samples)
    bool separate = false; // planar configuration 2
    bool bigEndian = false;
    int compression = 1;  // a libtiff COMPRESSION_* value (7 JPEG writes YCbCr)
    int photometric = -1; // -1: RGB for 3 or more samples, else MinIsBlack
    int rowsPerStrip = 0; // 0: libtiff's default
    int tileSize = 0;     // > 0: square tiles of that side (a multiple of 16)
    int orientation = 0;  // > 0: written as the Orientation tag
    Bytes icc;            // written as tag 34675 when not empty
    Bytes xmp;            // written as tag 700 when not empty
};
// Writes interleaved pixels (samples of bits / 8 bytes, 16-bit in host order, floats for 32)
// of w x h x spp; samples past the colour ones are marked as unassociated alpha (RGB) or
// unspecified extras. Returns false when libtiff refuses; libtiff's messages are not printed.
bool write_libtiff(const std::string &path, const void *pixels, int w, int h, int spp,
                   const LibTiffOptions &options = {});

// ---------------------------------------------------------------------------------------------
// JPEG

// A marker segment: FF, marker, the big-endian length (payload + 2), payload. Throws
// std::invalid_argument when the payload passes 65533 bytes.
Bytes make_segment(uint8_t marker, const Bytes &payload);
// APP2 segments carrying profile in chunks of at most chunkSize bytes (1..65519): each payload
// is "ICC_PROFILE\0", the 1-based sequence number, the chunk count, then the chunk.
std::vector<Bytes> make_icc_app2_chunks(const Bytes &profile, size_t chunkSize);
// The APP1 segment "Exif\0\0" + tiff.
Bytes make_exif_app1(const Bytes &tiff);

struct JpegOptions {
    bool jfif = true; // write the JFIF APP0
    bool progressive = false;
    bool subsample = false; // 2x2 chroma subsampling instead of 4:4:4
    int density = 72;       // JFIF density in dots per inch
};

// A real JPEG made by libjpeg from interleaved 8-bit pixels: spp 1 grey, 3 RGB, 4 CMYK. The
// segments (whole marker segments, e.g. from make_segment) are inserted after SOI and the
// JFIF APP0 in the order given. Throws std::runtime_error when libjpeg fails.
Bytes encode_jpeg(const uint8_t *pixels, int w, int h, int spp, int quality,
                  const std::vector<Bytes> &segments = {}, const JpegOptions &options = {});

// The bytes libjpeg wrote into memory (jpeg_mem_dest's buffer, freed here); throws
// std::runtime_error with what when the library failed (ok false).
Bytes take_libjpeg_output(bool ok, unsigned char *mem, unsigned long size, const char *what);

// ---------------------------------------------------------------------------------------------
// PSD / PSB

struct PsdResource {
    uint16_t id = 0;
    std::string name; // Pascal string, padded to an even length; empty is 00 00
    Bytes data;       // padded to an even length
};

// Big-endian "8BPS" files. Layout: signature, version (u16), 6 zero bytes, channels (u16),
// height (u32), width (u32), depth (u16), mode (u16); colour-mode data (u32 length, bytes);
// image resources (u32 total, then "8BIM" blocks: id u16, name, data size u32, data);
// layer-and-mask section (u32 length for version 1, u64 for version 2, then the bytes); image
// data: compression (u16), for PackBits the byte count of every row of every channel (u16 for
// version 1, u32 for version 2) and then each row packed on its own; raw data is the planes
// one after the other.
struct PsdBuilder {
    std::string signature = "8BPS";
    int version = 1;   // 1 PSD, 2 PSB
    int channels = -1; // written channel count; -1 writes planes.size()
    uint32_t width = 0, height = 0;
    int depth = 8;
    int mode = 3;
    Bytes colorModeData;
    std::vector<PsdResource> resources;
    Bytes layerMask; // the section's content
    int compression = 0;
    // One plane per channel, height x width samples of depth / 8 bytes, big-endian.
    std::vector<Bytes> planes;

    // Splits interleaved pixels into planes and sets width, height and depth (8, 16, 32).
    // 16-bit samples are read in host order; floats are stored as IEEE big-endian.
    void set_interleaved8(const uint8_t *pixels, uint32_t w, uint32_t h, int spp);
    void set_interleaved16(const uint16_t *pixels, uint32_t w, uint32_t h, int spp);
    void set_interleaved32(const float *pixels, uint32_t w, uint32_t h, int spp);
    // set_interleaved8 or set_interleaved16 by bits, over samples of bits / 8 bytes.
    void set_interleaved(const uint8_t *pixels, uint32_t w, uint32_t h, int spp, int bits);

    // File offset of the layer-and-mask section's length field (the end of the resources).
    uint64_t layer_mask_offset() const;
    // File offset of the compression word.
    uint64_t image_data_offset() const;
    Bytes build() const;
};

// A header alone: version, square side, depth and compression, 3 channels, no pixel data after
// it (what a hostile file claims).
Bytes make_psd_header(int version, uint32_t side, int depth, int compression = 0);

// ---------------------------------------------------------------------------------------------
// ICC

// A plausible ICC v2 profile of exactly max(length, minimum) bytes: the 128-byte header (size,
// version 2.1, class 'mntr', colour space 'RGB ' or 'CMYK', PCS 'XYZ ', 'acsp', D50
// illuminant), a tag table with one 'desc' tag at offset 144, and that tag: 'desc', 4 zero
// bytes, the ASCII count (text length + 1, big-endian u32, written even when 256 or more), the
// text and its NUL, then empty Unicode and ScriptCode parts; zero padding up to length.
Bytes make_icc_profile(size_t length, const std::string &description, bool rgb = true);

} // namespace testsupport
