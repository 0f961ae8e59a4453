// JPEG probe, ICC profile and thumbnail decoder. The library may longjmp back on any fatal
// error, so each entry point keeps its library work in one function whose frame holds only
// plain data (the error manager, the library object, the memory source, the chunk table); files
// and other owners live in the caller of that function.
#include "imagecore/jpeg_readers.h"

#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include "imagecore/records.h"
#include "platform/file_holder.h"
#include "platform/icc_chunks.h"
#include "platform/jpeg_error.h"

// jerror.h needs jpeglib.h (from jpeg_error.h) before it.
#include <jerror.h>

#include "platform/jpeg_memory_source.h"

namespace {

// Diagnostics on standard error; off.
constexpr int kVerbose = 0;

constexpr int kApp2 = JPEG_APP0 + 2;

void add_saved_markers(platform::IccChunks &chunks, jpeg_saved_marker_ptr m)
{
    for (; m; m = m->next)
        chunks.add(m->marker, m->data, m->data_length);
}

// What the file probe found.
struct ProbeResult {
    int width, height, components, xDensity, yDensity;
    size_t iccLength;
    JpegHeldBytes held;
};

// Reads the header of the JPEG stream f, measures its ICC profile and, when dest is not null
// and the profile fits capacity, copies it. Returns 0, -4 when the library ran out of memory,
// or -3 on another library error.
int probe_stream(FILE *f, bool outputDims, ProbeResult *out, uint8_t *dest, size_t capacity)
{
    JpegErrorManager jerr;
    jpeg_decompress_struct cinfo;
    std::memset(&cinfo, 0, sizeof cinfo);
    cinfo.err = jpeg_error_init(&jerr);
    if (setjmp(jerr.jpeglib_erreur)) {
        jpeg_destroy_decompress(&cinfo);
        return jerr.pub.msg_code == JERR_OUT_OF_MEMORY ? -4 : -3;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_save_markers(&cinfo, kApp2, 0xFFFF);
    jpeg_stdio_src(&cinfo, f);
    jpeg_read_header(&cinfo, TRUE);
    if (outputDims) {
        jpeg_calc_output_dimensions(&cinfo);
        out->width = int(cinfo.output_width);
        out->height = int(cinfo.output_height);
        out->components = cinfo.output_components;
        out->xDensity = cinfo.X_density;
        out->yDensity = cinfo.Y_density;
    }
    out->held = {};
    if (jpeg_has_multiple_scans(&cinfo))
        for (int c = 0; c < cinfo.num_components; ++c) {
            const jpeg_component_info &k = cinfo.comp_info[c];
            const auto up = [](int64_t v, int64_t m) { return (v + m - 1) / m * m; };
            out->held.coefficients += up(k.width_in_blocks, k.h_samp_factor) *
                                      up(k.height_in_blocks, k.v_samp_factor) *
                                      int64_t(sizeof(JBLOCK));
        }
    for (jpeg_saved_marker_ptr m = cinfo.marker_list; m; m = m->next)
        out->held.markers += int64_t(sizeof *m + m->data_length);
    platform::IccChunks chunks;
    add_saved_markers(chunks, cinfo.marker_list);
    out->iccLength = chunks.copy(dest, capacity);
    jpeg_destroy_decompress(&cinfo);
    return 0;
}

// The library work of kvread_jpg_thumbnail; only plain data lives in this frame.
int decode_thumbnail(const uint8_t *data, size_t length, int mode, int *width, int *height,
                     int *components, uint8_t *dest)
{
    JpegErrorManager jerr;
    jpeg_decompress_struct cinfo;
    jpeg_source_mgr src;
    std::memset(&cinfo, 0, sizeof cinfo);
    cinfo.err = jpeg_error_init(&jerr);
    if (setjmp(jerr.jpeglib_erreur)) {
        jpeg_destroy_decompress(&cinfo);
        return -3;
    }
    jpeg_create_decompress(&cinfo);
    platform::jpeg_memory_source(&cinfo, &src, data, length);
    jpeg_read_header(&cinfo, TRUE);
    jpeg_calc_output_dimensions(&cinfo);
    if (mode == 1) {
        *width = int(cinfo.output_width);
        *height = int(cinfo.output_height);
        *components = cinfo.output_components;
        const int rows = int(cinfo.output_height);
        jpeg_destroy_decompress(&cinfo);
        return rows;
    }
    const size_t rowBytes = size_t(cinfo.output_width) * size_t(cinfo.output_components);
    const size_t total = rowBytes * cinfo.output_height; // 65535 x 65535 x 10 at most
    if (total > size_t(INT_MAX)) {
        jpeg_destroy_decompress(&cinfo);
        return -3;
    }
    // A multi-scan file buffers its coefficients; a few bytes of hostile header must not make
    // the library claim far more memory than the output itself.
    cinfo.mem->max_memory_to_use = long(2 * total + (size_t(64) << 20));
    jpeg_start_decompress(&cinfo);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = dest + size_t(cinfo.output_scanline) * rowBytes;
        if (jpeg_read_scanlines(&cinfo, &row, 1) != 1) {
            jpeg_destroy_decompress(&cinfo);
            return -3;
        }
    }
    const int written = int(size_t(cinfo.output_scanline) * rowBytes);
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return written;
}

} // namespace

int infojpg(FILE *f, int *imageInfos, JpegHeldBytes *held)
{
    if (!f || std::fseek(f, 0, SEEK_SET) != 0)
        return -1;
    ProbeResult r{};
    if (const int rc = probe_stream(f, true, &r, nullptr, 0); rc < 0) {
        if (kVerbose)
            std::fprintf(stderr, "jpeglib call from infojpg returned an error\n");
        return rc;
    }
    imageInfos[kInfoWidth] = r.width;
    imageInfos[kInfoHeight] = r.height;
    imageInfos[kInfoBits] = r.components;
    imageInfos[kInfoSamples] = 8;
    imageInfos[kInfoXRes] = r.xDensity;
    imageInfos[kInfoYRes] = r.yDensity;
    // 255 chunks of 65519 bytes at most: always fits an int.
    if (r.iccLength > 0)
        imageInfos[kInfoIccLength] = int(r.iccLength);
    if (held)
        *held = r.held;
    return 8;
}

int infojpg(const char *path, int *imageInfos, JpegHeldBytes *held)
{
    platform::FilePtr f = platform::open_file(path, "rb");
    return f ? infojpg(f.get(), imageInfos, held) : -1;
}

int infojpg(FILE *f, int *imageInfos)
{
    return infojpg(f, imageInfos, nullptr);
}

int infojpg(const char *path, int *imageInfos)
{
    return infojpg(path, imageInfos, nullptr);
}

int jpg_profile(FILE *f, uint8_t *dest, size_t capacity)
{
    if (!f || std::fseek(f, 0, SEEK_SET) != 0)
        return -1;
    ProbeResult r{};
    if (const int rc = probe_stream(f, false, &r, dest, capacity); rc < 0) {
        if (kVerbose)
            std::fprintf(stderr, "jpeglib call from jpg_profile returned an error\n");
        return rc;
    }
    if (r.iccLength > capacity || (r.iccLength > 0 && !dest))
        return -3;
    return int(r.iccLength);
}

int jpg_profile(const char *path, uint8_t *dest, size_t capacity)
{
    platform::FilePtr f = platform::open_file(path, "rb");
    return f ? jpg_profile(f.get(), dest, capacity) : -1;
}

int kvread_jpg_thumbnail(const uint8_t *data, int length, int mode, int *width, int *height,
                         int *components, uint8_t *dest)
{
    if (!data || length <= 0 || (mode == 1 && (!width || !height || !components)) ||
        (mode != 1 && !dest))
        return -3;
    int r = decode_thumbnail(data, size_t(length), mode, width, height, components, dest);
    if (r < 0 && kVerbose)
        std::fprintf(stderr, "jpeglib call from kvread_jpg_thumbnail returned an error\n");
    return r;
}
