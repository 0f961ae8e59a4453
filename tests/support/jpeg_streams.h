// JPEG streams for the decoder's tests: a file's coefficients coded again (arithmetic,
// progressive) as a lossless transcoder does, libjpeg's plain decode to compare with, and the
// marker segments of a file for cutting and patching hostile ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tests/support/fixtures.h"

namespace testsupport {

// The quantised coefficients of jpeg written again by libjpeg, arithmetic-coded and/or
// progressive (libjpeg's simple progression): the pixels decode unchanged. Throws
// std::runtime_error when libjpeg fails.
Bytes recode_jpeg(const Bytes &jpeg, bool arithmetic, bool progressive);

// libjpeg's decode with its defaults, into packed RGB rows (grey rows for a grey file); empty
// when it fails or warns.
Bytes libjpeg_pixels(const Bytes &jpeg);

// A marker segment of a JPEG file as [begin, end); a scan's (SOS, 0xDA) runs to the end of its
// entropy-coded data.
struct JpegSegment {
    uint8_t marker;
    size_t begin, end;
};
// The segments between SOI and EOI, in file order.
std::vector<JpegSegment> jpeg_segments(const Bytes &jpeg);
// The scans alone.
std::vector<JpegSegment> jpeg_scans(const Bytes &jpeg);

// jpeg with its frame header (any SOFn) claiming w x h.
Bytes jpeg_claiming_size(Bytes jpeg, uint16_t w, uint16_t h);
// jpeg without its first scan (a progressive file then opens with an AC scan).
Bytes jpeg_without_first_scan(const Bytes &jpeg);
// jpeg with its last scan repeated until it has n scans.
Bytes jpeg_of_scans(const Bytes &jpeg, size_t n);

// A JPEG-compressed TIFF of w x h RGB pixels as libtiff writes it (YCbCr, strips of 16 rows),
// each strip's byte count then cut to its part `keep` (1 keeps the file whole).
Bytes jpeg_tiff(const uint8_t *rgb, int w, int h, double keep);

} // namespace testsupport
