// JPEG streams for the decoder's tests: a file's coefficients coded again (arithmetic,
// progressive) as a lossless transcoder does, libjpeg's plain decode to compare with, and the
// marker segments of a file for cutting and patching hostile ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include <jpeglib.h>

#include "tests/support/fixtures.h"

namespace testsupport {

// The quantised coefficients of jpeg written again by libjpeg, arithmetic-coded and/or
// progressive (libjpeg's simple progression), with a restart marker after every restartRows
// rows of MCUs when not 0, or Huffman-coded in the scans given when there are any (a script
// libjpeg takes: every component's DC coded): the pixels decode unchanged. Throws
// std::runtime_error when libjpeg fails.
Bytes recode_jpeg(const Bytes &jpeg, bool arithmetic, bool progressive, int restartRows = 0,
                  const std::vector<jpeg_scan_info> &scans = {});

// libjpeg's decode with its defaults, into packed RGB rows (grey rows for a grey file); empty
// when it fails, or warns unless warnings are allowed.
Bytes libjpeg_pixels(const Bytes &jpeg, bool warnings = false);

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
// jpeg without its scan k (in file order).
Bytes jpeg_without_scan(const Bytes &jpeg, size_t k);
// jpeg with its first scan moved after the others (a progressive file then opens with an AC
// scan and codes its DC last).
Bytes jpeg_with_first_scan_last(const Bytes &jpeg);
// visible with hidden (a whole JPEG file) put after its SOI behind FF 00 and a two-byte length
// that spans it: libjpeg's reader skips FF 00 as garbage and reads hidden's frame and scans to
// its end of image, where a reader that takes FF 00 for a marker with a length reads visible's.
Bytes jpeg_hiding(const Bytes &visible, const Bytes &hidden);
// bytes with `erase` bytes from `at` on replaced by insert.
Bytes spliced(Bytes bytes, size_t at, size_t erase, const Bytes &insert = {});
// jpeg with its last scan repeated until it has n scans.
Bytes jpeg_of_scans(const Bytes &jpeg, size_t n);

// A JPEG-compressed TIFF of w x h RGB pixels as libtiff writes it (strips of 16 rows, RGB
// components, or YCbCr 2 x 2 subsampled: a strip is one row of MCUs), each strip's JPEG stream
// (SOI to EOI) replaced by edit(stream) when an edit is given.
Bytes jpeg_tiff(const uint8_t *rgb, int w, int h, const std::function<Bytes(Bytes)> &edit = {},
                bool ycbcr = false);

} // namespace testsupport
