#include "tests/support/jpeg_streams.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <jpeglib.h>
#include <tiffio.h>

namespace testsupport {
namespace {

struct Jump {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    bool warned;
};

[[noreturn]] void jump_back(j_common_ptr cinfo)
{
    std::longjmp(reinterpret_cast<Jump *>(cinfo->err)->jump, 1);
}

void note_warning(j_common_ptr cinfo, int level)
{
    if (level < 0)
        reinterpret_cast<Jump *>(cinfo->err)->warned = true;
}

jpeg_error_mgr *jump_errors(Jump *err)
{
    jpeg_std_error(&err->pub);
    err->pub.error_exit = jump_back;
    err->pub.emit_message = note_warning;
    err->warned = false;
    return &err->pub;
}

// Only plain values live here across the library calls that may jump back.
bool recode_guarded(jpeg_decompress_struct *in, jpeg_compress_struct *out, Jump *err,
                    const Bytes *jpeg, bool arithmetic, bool progressive, int restartRows,
                    const std::vector<jpeg_scan_info> *scans, unsigned char **mem,
                    unsigned long *size)
{
    if (setjmp(err->jump))
        return false;
    jpeg_create_decompress(in);
    jpeg_create_compress(out);
    jpeg_mem_src(in, jpeg->data(), jpeg->size());
    jpeg_read_header(in, TRUE);
    jvirt_barray_ptr *coefficients = jpeg_read_coefficients(in);
    jpeg_copy_critical_parameters(in, out);
    out->arith_code = arithmetic;
    out->restart_in_rows = restartRows;
    if (progressive)
        jpeg_simple_progression(out);
    if (!scans->empty()) {
        out->scan_info = scans->data();
        out->num_scans = int(scans->size());
    }
    jpeg_mem_dest(out, mem, size);
    jpeg_write_coefficients(out, coefficients);
    jpeg_finish_compress(out);
    jpeg_finish_decompress(in);
    return true;
}

bool decode_guarded(jpeg_decompress_struct *in, Jump *err, const Bytes *jpeg, Bytes *pixels,
                    bool warnings)
{
    if (setjmp(err->jump))
        return false;
    jpeg_create_decompress(in);
    jpeg_mem_src(in, jpeg->data(), jpeg->size());
    jpeg_read_header(in, TRUE);
    in->out_color_space = in->num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(in);
    const size_t row = size_t(in->output_width) * size_t(in->output_components);
    pixels->resize(row * in->output_height);
    while (in->output_scanline < in->output_height) {
        JSAMPROW at = pixels->data() + row * in->output_scanline;
        jpeg_read_scanlines(in, &at, 1);
    }
    jpeg_finish_decompress(in);
    return warnings || !err->warned;
}

} // namespace

Bytes recode_jpeg(const Bytes &jpeg, bool arithmetic, bool progressive, int restartRows,
                  const std::vector<jpeg_scan_info> &scans)
{
    jpeg_decompress_struct in;
    jpeg_compress_struct out;
    Jump err;
    std::memset(&in, 0, sizeof in);
    std::memset(&out, 0, sizeof out);
    in.err = out.err = jump_errors(&err);
    unsigned char *mem = nullptr;
    unsigned long size = 0;
    const bool ok = recode_guarded(&in, &out, &err, &jpeg, arithmetic, progressive, restartRows,
                                   &scans, &mem, &size);
    jpeg_destroy_compress(&out);
    jpeg_destroy_decompress(&in);
    return take_libjpeg_output(ok, mem, size, "libjpeg failed to recode");
}

Bytes libjpeg_pixels(const Bytes &jpeg, bool warnings)
{
    jpeg_decompress_struct in;
    Jump err;
    std::memset(&in, 0, sizeof in);
    in.err = jump_errors(&err);
    Bytes pixels;
    const bool ok = decode_guarded(&in, &err, &jpeg, &pixels, warnings);
    jpeg_destroy_decompress(&in);
    return ok ? pixels : Bytes{};
}

std::vector<JpegSegment> jpeg_segments(const Bytes &j)
{
    std::vector<JpegSegment> out;
    size_t i = 2;
    while (i + 3 < j.size()) {
        if (j[i] != 0xFF || j[i + 1] == 0xFF) {
            ++i;
            continue;
        }
        const uint8_t marker = j[i + 1];
        if (marker == 0xD9)
            break;
        size_t end = i + 2 + size_t(j[i + 2] << 8 | j[i + 3]);
        // Entropy-coded data runs to a marker other than a stuffed zero or a restart.
        while (marker == 0xDA && end + 1 < j.size() &&
               !(j[end] == 0xFF && j[end + 1] != 0 && (j[end + 1] & 0xF8) != 0xD0))
            ++end;
        out.push_back({marker, i, std::min(end, j.size())});
        i = end;
    }
    return out;
}

std::vector<JpegSegment> jpeg_scans(const Bytes &jpeg)
{
    std::vector<JpegSegment> scans;
    for (const JpegSegment &s : jpeg_segments(jpeg))
        if (s.marker == 0xDA)
            scans.push_back(s);
    return scans;
}

Bytes jpeg_claiming_size(Bytes jpeg, uint16_t w, uint16_t h)
{
    for (const JpegSegment &s : jpeg_segments(jpeg))
        if (s.marker >= 0xC0 && s.marker <= 0xCF && s.marker != 0xC4 && s.marker != 0xC8 &&
            s.marker != 0xCC) {
            const uint8_t size[4] = {uint8_t(h >> 8), uint8_t(h), uint8_t(w >> 8), uint8_t(w)};
            std::memcpy(jpeg.data() + s.begin + 5, size, 4);
        }
    return jpeg;
}

Bytes jpeg_without_scan(const Bytes &jpeg, size_t k)
{
    const JpegSegment scan = jpeg_scans(jpeg).at(k);
    return spliced(jpeg, scan.begin, scan.end - scan.begin);
}

Bytes jpeg_with_first_scan_last(const Bytes &jpeg)
{
    const std::vector<JpegSegment> scans = jpeg_scans(jpeg);
    const Bytes first(jpeg.begin() + long(scans[0].begin), jpeg.begin() + long(scans[0].end));
    return spliced(jpeg_without_scan(jpeg, 0), scans.back().end - first.size(), 0, first);
}

Bytes jpeg_of_scans(const Bytes &jpeg, size_t n)
{
    const std::vector<JpegSegment> scans = jpeg_scans(jpeg);
    const auto last = jpeg.begin() + long(scans.at(scans.size() - 1).begin),
               end = jpeg.begin() + long(scans.back().end);
    Bytes out(jpeg.begin(), end);
    for (size_t k = scans.size(); k < n; ++k)
        out.insert(out.end(), last, end);
    out.insert(out.end(), end, jpeg.end());
    return out;
}

Bytes jpeg_hiding(const Bytes &visible, const Bytes &hidden)
{
    Bytes behind(hidden.begin() + 2, hidden.end());
    // Neither length byte may be 0xFF, which would start a marker for libjpeg.
    while (((behind.size() + 2) & 0xFF) == 0xFF || ((behind.size() + 2) >> 8) == 0xFF)
        behind.push_back(0);
    if (behind.size() + 2 > 0xFFFF)
        throw std::runtime_error("the hidden file is too long for a segment");
    const size_t length = behind.size() + 2;
    behind.insert(behind.begin(), {0xFF, 0x00, uint8_t(length >> 8), uint8_t(length)});
    return spliced(visible, 2, 0, behind);
}

Bytes spliced(Bytes bytes, size_t at, size_t erase, const Bytes &insert)
{
    bytes.erase(bytes.begin() + long(at), bytes.begin() + long(at + erase));
    bytes.insert(bytes.begin() + long(at), insert.begin(), insert.end());
    return bytes;
}

Bytes jpeg_tiff(const uint8_t *rgb, int w, int h, const std::function<Bytes(Bytes)> &edit,
                bool ycbcr)
{
    TempDir dir;
    const std::string path = dir.file("j.tif");
    LibTiffOptions jpeg;
    jpeg.compression = COMPRESSION_JPEG;
    jpeg.rowsPerStrip = 16;
    if (ycbcr)
        jpeg.photometric = PHOTOMETRIC_YCBCR;
    if (!write_libtiff(path, rgb, w, h, 3, jpeg))
        throw std::runtime_error("libtiff failed to write");
    // libtiff writes a strip again in its place, or at the end when it grew.
    std::unique_ptr<TIFF, void (*)(TIFF *)> t(edit ? TIFFOpen(path.c_str(), "r+") : nullptr,
                                              TIFFClose);
    if (edit && !t)
        throw std::runtime_error("libtiff failed to open its own file");
    for (tstrip_t s = 0; t && s < TIFFNumberOfStrips(t.get()); ++s) {
        Bytes strip(size_t(TIFFRawStripSize(t.get(), s)));
        if (TIFFReadRawStrip(t.get(), s, strip.data(), tmsize_t(strip.size())) < 0)
            throw std::runtime_error("libtiff failed to read a strip");
        strip = edit(strip);
        if (TIFFWriteRawStrip(t.get(), s, strip.data(), tmsize_t(strip.size())) < 0)
            throw std::runtime_error("libtiff failed to write a strip");
    }
    t.reset();
    return read_file(path);
}

} // namespace testsupport
