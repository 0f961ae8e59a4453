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

// How a file's coefficients are written again.
struct Recoding {
    bool arithmetic = false, progressive = false;
    int restartRows = 0;
    const std::vector<jpeg_scan_info> *script = nullptr;
};

// Only plain values live here across the library calls that may jump back.
bool recode_guarded(jpeg_decompress_struct *in, jpeg_compress_struct *out, Jump *err,
                    const Bytes *jpeg, const Recoding *how, unsigned char **mem,
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
    out->arith_code = how->arithmetic;
    out->restart_in_rows = how->restartRows;
    if (how->progressive)
        jpeg_simple_progression(out);
    if (how->script) {
        out->scan_info = how->script->data();
        out->num_scans = int(how->script->size());
    }
    jpeg_mem_dest(out, mem, size);
    jpeg_write_coefficients(out, coefficients);
    jpeg_finish_compress(out);
    jpeg_finish_decompress(in);
    return true;
}

bool decode_guarded(jpeg_decompress_struct *in, Jump *err, const Bytes *jpeg, Bytes *pixels)
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
    return !err->warned;
}

Bytes recode(const Bytes &jpeg, const Recoding &how)
{
    jpeg_decompress_struct in;
    jpeg_compress_struct out;
    Jump err;
    std::memset(&in, 0, sizeof in);
    std::memset(&out, 0, sizeof out);
    in.err = out.err = jump_errors(&err);
    unsigned char *mem = nullptr;
    unsigned long size = 0;
    const bool ok = recode_guarded(&in, &out, &err, &jpeg, &how, &mem, &size);
    jpeg_destroy_compress(&out);
    jpeg_destroy_decompress(&in);
    return take_libjpeg_output(ok, mem, size, "libjpeg failed to recode");
}

} // namespace

Bytes recode_jpeg(const Bytes &jpeg, bool arithmetic, bool progressive, int restartRows)
{
    Recoding how;
    how.arithmetic = arithmetic;
    how.progressive = progressive;
    how.restartRows = restartRows;
    return recode(jpeg, how);
}

Bytes recode_jpeg_scans(const Bytes &jpeg, std::vector<jpeg_scan_info> scans)
{
    Recoding how;
    how.script = &scans;
    return recode(jpeg, how);
}

std::vector<jpeg_scan_info> jpeg_grey_script(int n)
{
    std::vector<jpeg_scan_info> script = {{1, {0}, 0, 0, 0, 0}};
    for (int k = 1; k <= 63; ++k)
        script.push_back({1, {0}, k, k, 0, 1});
    for (int k = 1; k <= n - 64; ++k)
        script.push_back({1, {0}, k, k, 1, 0});
    return script;
}

Bytes libjpeg_pixels(const Bytes &jpeg)
{
    jpeg_decompress_struct in;
    Jump err;
    std::memset(&in, 0, sizeof in);
    in.err = jump_errors(&err);
    Bytes pixels;
    const bool ok = decode_guarded(&in, &err, &jpeg, &pixels);
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

Bytes jpeg_without_scans(const Bytes &jpeg, const std::vector<size_t> &drop)
{
    const std::vector<JpegSegment> scans = jpeg_scans(jpeg);
    Bytes out;
    size_t from = 0;
    for (size_t k : drop) {
        out.insert(out.end(), jpeg.begin() + long(from), jpeg.begin() + long(scans.at(k).begin));
        from = scans[k].end;
    }
    out.insert(out.end(), jpeg.begin() + long(from), jpeg.end());
    return out;
}

Bytes jpeg_without_first_scan(const Bytes &jpeg)
{
    return jpeg_without_scans(jpeg, {0});
}

Bytes jpeg_with_first_scan_last(const Bytes &jpeg)
{
    const std::vector<JpegSegment> scans = jpeg_scans(jpeg);
    const Bytes first(jpeg.begin() + long(scans[0].begin), jpeg.begin() + long(scans[0].end));
    return spliced(jpeg_without_first_scan(jpeg), scans.back().end - first.size(), 0, first);
}

size_t jpeg_entropy_bytes(const Bytes &jpeg)
{
    size_t bytes = 0;
    for (const JpegSegment &s : jpeg_scans(jpeg))
        bytes += s.end - s.begin - 2 - size_t(jpeg[s.begin + 2] << 8 | jpeg[s.begin + 3]);
    return bytes;
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

Bytes jpeg_padded(Bytes jpeg, size_t n, bool inComment)
{
    return inComment ? spliced(jpeg, jpeg.size() - 2, 0, make_segment(0xFE, Bytes(n, 0)))
                     : spliced(jpeg, jpeg.size(), 0, Bytes(n, 0));
}

Bytes spliced(Bytes bytes, size_t at, size_t erase, const Bytes &insert)
{
    bytes.erase(bytes.begin() + long(at), bytes.begin() + long(at + erase));
    bytes.insert(bytes.begin() + long(at), insert.begin(), insert.end());
    return bytes;
}

Bytes jpeg_tiff(const uint8_t *rgb, int w, int h, double keep)
{
    return jpeg_tiff(rgb, w, h, [keep](const Bytes &s) {
        return Bytes(s.begin(), s.begin() + long(double(s.size()) * keep));
    });
}

Bytes jpeg_tiff(const uint8_t *rgb, int w, int h, const std::function<Bytes(Bytes)> &edit,
                bool ycbcr)
{
    TempDir dir;
    LibTiffOptions jpeg;
    jpeg.compression = COMPRESSION_JPEG;
    jpeg.rowsPerStrip = 16;
    if (ycbcr)
        jpeg.photometric = PHOTOMETRIC_YCBCR;
    if (!write_libtiff(dir.file("in.tif"), rgb, w, h, 3, jpeg))
        throw std::runtime_error("libtiff failed to write");
    struct Close {
        void operator()(TIFF *t) const { TIFFClose(t); }
    };
    std::unique_ptr<TIFF, Close> in(TIFFOpen(dir.file("in.tif").c_str(), "r"));
    std::unique_ptr<TIFF, Close> out(TIFFOpen(dir.file("out.tif").c_str(), "w"));
    uint32_t tablesSize = 0;
    void *tables = nullptr;
    if (!in || !out || !TIFFGetField(in.get(), TIFFTAG_JPEGTABLES, &tablesSize, &tables))
        throw std::runtime_error("libtiff failed to read its own file");
    TIFF *t = out.get();
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(w));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(h));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, uint16_t(8));
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t(3));
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG));
    TIFFSetField(t, TIFFTAG_COMPRESSION, uint16_t(COMPRESSION_JPEG));
    uint16_t photometric = 0, subH = 0, subV = 0;
    TIFFGetField(in.get(), TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, photometric);
    if (TIFFGetField(in.get(), TIFFTAG_YCBCRSUBSAMPLING, &subH, &subV))
        TIFFSetField(t, TIFFTAG_YCBCRSUBSAMPLING, subH, subV);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, uint32_t(16));
    TIFFSetField(t, TIFFTAG_JPEGTABLES, tablesSize, tables);
    for (tstrip_t s = 0; s < TIFFNumberOfStrips(in.get()); ++s) {
        Bytes strip(size_t(TIFFRawStripSize(in.get(), s)));
        if (TIFFReadRawStrip(in.get(), s, strip.data(), tmsize_t(strip.size())) < 0)
            throw std::runtime_error("libtiff failed to read a strip");
        strip = edit(strip);
        if (TIFFWriteRawStrip(t, s, strip.data(), tmsize_t(strip.size())) < 0)
            throw std::runtime_error("libtiff failed to write a strip");
    }
    out.reset();
    return read_file(dir.file("out.tif"));
}

} // namespace testsupport
