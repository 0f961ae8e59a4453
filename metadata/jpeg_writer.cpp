// The JPEG writer: every segment's bytes are prepared first, so the libjpeg part (one small
// function holding the jump) only sends them; nothing with a destructor lives across setjmp.
#include "metadata/jpeg_writer.h"

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "imagecore/byte_order.h"
#include "imagecore/records.h"
#include "metadata/exif_block.h"
#include "metadata/xmp_settings.h"
#include "platform/file_holder.h"
#include "platform/jpeg_error.h"

namespace {

constexpr size_t kMaxSegmentData = 65533;       // the length field counts itself
constexpr size_t kIccChunk = 65519;             // kMaxSegmentData less the 14-byte chunk header
static_assert(kJpegMaxIccBytes == 255 * kIccChunk); // the chunk count is one byte
constexpr char kIccSignature[] = "ICC_PROFILE"; // and its zero: 12 bytes

struct Segments {
    std::vector<uint8_t> exif; // APP1 data
    std::vector<uint8_t> iptc; // APP13 data
    std::vector<uint8_t> xmp;  // APP1 data
    const uint8_t *icc = nullptr;
    size_t iccLen = 0;
};

// Everything the libjpeg part needs, in one object whose address does not change.
struct Job {
    jpeg_compress_struct cinfo;
    JpegErrorManager err;
    FILE *file = nullptr;
    int quality = 0;
    int width = 0, height = 0, spp = 0, xdpi = 0, ydpi = 0;
    bool is16to8 = false;
    size_t rowBytes = 0; // row pitch: bytes, or 16-bit samples when is16to8
    size_t rowLen = 0;   // samples libjpeg reads from a row: width x spp
    const uint8_t *pixels = nullptr;
    uint8_t *rowBuf = nullptr; // rowLen bytes when is16to8
    const Segments *segs = nullptr;
    JDIMENSION rows = 0;
};

void send_segment(j_compress_ptr c, int marker, const uint8_t *data, size_t n,
                  const uint8_t *head = nullptr, size_t headLen = 0)
{
    jpeg_write_m_header(c, marker, static_cast<unsigned int>(headLen + n));
    for (size_t i = 0; i < headLen; ++i)
        jpeg_write_m_byte(c, head[i]);
    for (size_t i = 0; i < n; ++i)
        jpeg_write_m_byte(c, data[i]);
}

void high_bytes(const uint8_t *src16, size_t n, uint8_t *dst)
{
    for (size_t i = 0; i < n; ++i) {
        uint16_t v;
        std::memcpy(&v, src16 + 2 * i, 2);
        dst[i] = static_cast<uint8_t>(v >> 8);
    }
}

// All libjpeg calls. Returns the rows written or -3 after a library error.
int compress(Job *job)
{
    j_compress_ptr c = &job->cinfo;
    std::memset(c, 0, sizeof *c);
    c->err = jpeg_error_init(&job->err);
    if (setjmp(job->err.jpeglib_erreur)) {
        jpeg_destroy_compress(c);
        return -3;
    }
    jpeg_create_compress(c);
    jpeg_stdio_dest(c, job->file);
    c->image_width = static_cast<JDIMENSION>(job->width);
    c->image_height = static_cast<JDIMENSION>(job->height);
    c->input_components = job->spp;
    c->in_color_space = job->spp < 2 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(c);
    c->density_unit = 1;
    c->X_density = static_cast<UINT16>(job->xdpi);
    c->Y_density = static_cast<UINT16>(job->ydpi);
    jpeg_set_quality(c, job->quality, TRUE);
    jpeg_start_compress(c, TRUE);

    const Segments &s = *job->segs;
    if (!s.exif.empty())
        send_segment(c, JPEG_APP0 + 1, s.exif.data(), s.exif.size());
    if (!s.iptc.empty())
        send_segment(c, JPEG_APP0 + 13, s.iptc.data(), s.iptc.size());
    if (!s.xmp.empty())
        send_segment(c, JPEG_APP0 + 1, s.xmp.data(), s.xmp.size());
    if (s.iccLen > 0) {
        const size_t chunks = (s.iccLen + kIccChunk - 1) / kIccChunk;
        for (size_t k = 0; k < chunks; ++k) {
            uint8_t head[14] = {};
            std::memcpy(head, kIccSignature, 12);
            head[12] = static_cast<uint8_t>(k + 1);
            head[13] = static_cast<uint8_t>(chunks);
            size_t n = std::min(kIccChunk, s.iccLen - k * kIccChunk);
            send_segment(c, JPEG_APP0 + 2, s.icc + k * kIccChunk, n, head, sizeof head);
        }
    }

    while (c->next_scanline < c->image_height) {
        const size_t r = c->next_scanline;
        JSAMPROW row;
        if (job->is16to8) {
            high_bytes(job->pixels + 2 * r * job->rowBytes, job->rowLen, job->rowBuf);
            row = job->rowBuf;
        } else {
            row = const_cast<JSAMPROW>(job->pixels + r * job->rowBytes);
        }
        jpeg_write_scanlines(c, &row, 1);
    }
    job->rows = c->next_scanline;
    jpeg_finish_compress(c);
    jpeg_destroy_compress(c);
    return static_cast<int>(job->rows);
}

// "Exif\0\0" + the block, or empty when the block would hold only the orientation.
std::vector<uint8_t> exif_segment(const int32_t *exifBuf, const int32_t *gpsBuf, int orientation)
{
    std::vector<uint8_t> data;
    metadata::ExifCounts c = metadata::exif_counts(exifBuf, gpsBuf);
    if (c.modelLen == 0 && c.exifCount == 0 && c.gpsCount == 0)
        return data;
    try {
        // The largest block is a few hundred bytes: a fixed upper bound spares a measuring pass.
        std::vector<uint8_t> block(1024, 0);
        int len =
            write_exif_buf(c.exifCount, c.exifDataLen, c.gpsCount, c.gpsDataLen, c.modelLen,
                           c.datetimeLen, c.gpsDateLen, orientation, exifBuf, gpsBuf, block.data());
        if (len < 1)
            return data;
        data.assign({'E', 'x', 'i', 'f', 0, 0});
        data.insert(data.end(), block.begin(), block.begin() + len);
    } catch (const std::bad_alloc &) {
        data.clear(); // the segment is dropped
    }
    return data;
}

// The Photoshop image-resource segment: signature, one 8BIM IPTC resource (id 0x0404, empty
// name), the block and a pad byte to an even length.
std::vector<uint8_t> iptc_segment(int iptcLen, const uint8_t *iptc)
{
    std::vector<uint8_t> data;
    const size_t len = static_cast<size_t>(iptcLen);
    const size_t total = len + 26 + (len & 1);
    static_assert(kJpegMaxIptcBytes + 26 <= kMaxSegmentData &&
                  kJpegMaxIptcBytes + 2 + 26 > kMaxSegmentData);
    if (iptcLen < 1 || total > kMaxSegmentData)
        return data; // larger blocks cannot be framed in one segment: left out
    data.assign(total, 0);
    std::memcpy(data.data(), "Photoshop 3.0", 14);
    std::memcpy(data.data() + 14, "8BIM", 4);
    data[18] = 0x04;
    data[19] = 0x04;
    imagecore::put_be32(data.data() + 22, static_cast<uint32_t>(len));
    std::memcpy(data.data() + 26, iptc, len);
    return data;
}

std::vector<uint8_t> xmp_segment(int tmMethod, const float *tmParam, const int32_t *exifBuf)
{
    std::vector<uint8_t> data;
    try {
        std::vector<uint8_t> packet = metadata::settings_packet(tmMethod, tmParam, exifBuf);
        const auto &signature = metadata::kXmpApp1Signature; // its NUL included
        if (packet.empty() || packet.size() + sizeof signature > kMaxSegmentData)
            return data;
        data.assign(signature, signature + sizeof signature);
        data.insert(data.end(), packet.begin(), packet.end());
    } catch (const std::bad_alloc &) {
        data.clear();
    }
    return data;
}

} // namespace

int KVwritejpg(const char *path, int quality, const int32_t *saveInfo, int rowBytes,
               const uint8_t *profile, const int32_t *exifBuf, const int32_t *gpsBuf, int iptcLen,
               const uint8_t *iptc, int tmMethod, const float *tmParam, const void *pixels)
{
    if (!path)
        return -1;
    if (!saveInfo || !pixels)
        return -3;
    const int width = saveInfo[kSaveWidth], height = saveInfo[kSaveHeight];
    const int spp = saveInfo[kSaveSamples];
    if (width < 1 || height < 1 || (spp != 1 && spp != 3) || rowBytes < 1 ||
        int64_t(rowBytes) < int64_t(width) * spp)
        return -3;
    const int iccLen = saveInfo[kSaveIccLength];
    if ((iccLen > 0 && !profile) || (iptcLen > 0 && !iptc) || (tmMethod >= 1 && !tmParam))
        return -3;

    try {
        Segments segs;
        segs.exif = exif_segment(exifBuf, gpsBuf, saveInfo[kSaveOrientation]);
        segs.iptc = iptc_segment(iptcLen, iptc);
        segs.xmp = xmp_segment(tmMethod, tmParam, exifBuf);
        if (iccLen > 0 && size_t(iccLen) <= kJpegMaxIccBytes) {
            segs.icc = profile;
            segs.iccLen = size_t(iccLen);
        }

        auto job = std::make_unique<Job>();
        job->quality = quality;
        job->width = width;
        job->height = height;
        job->spp = spp;
        job->xdpi = std::clamp(saveInfo[kSaveXDpi], 0, 65535);
        job->ydpi = std::clamp(saveInfo[kSaveYDpi], 0, 65535);
        job->is16to8 = saveInfo[kSaveIs16to8] != 0;
        job->rowBytes = size_t(rowBytes);
        job->rowLen = size_t(width) * size_t(spp);
        job->pixels = static_cast<const uint8_t *>(pixels);
        job->segs = &segs;
        std::vector<uint8_t> rowBuf;
        if (job->is16to8) {
            try {
                rowBuf.assign(job->rowLen, 0);
            } catch (const std::bad_alloc &) {
                return -4;
            }
            job->rowBuf = rowBuf.data();
        }

        platform::FilePtr file = platform::open_file(path, "wb");
        if (!file)
            return -1;
        job->file = file.get();
        return compress(job.get());
    } catch (const std::bad_alloc &) {
        return -4;
    }
}
