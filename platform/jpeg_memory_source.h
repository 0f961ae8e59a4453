// The libjpeg data source over bytes held in memory, shared by every decoder of in-memory JPEG
// data (whole files, TIFF strips and tiles, embedded thumbnails). By default running out of
// bytes is a fatal library error, so a truncated stream fails instead of being completed with
// grey; a decoder that judges the library's warnings itself may ask for an end marker instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <jpeglib.h>

namespace platform {

// What the source gives when the bytes run out.
enum class JpegDataEnd {
    Fail,   // error_exit with JERR_INPUT_EOF
    Marker, // the JWRN_JPEG_EOF warning, then an end-of-image marker (as libjpeg's own sources)
};

// The end of the data for a source that gives an end marker there: the JWRN_JPEG_EOF warning,
// then an end-of-image marker. Returns TRUE.
boolean jpeg_end_of_data(j_decompress_ptr cinfo);

// Makes src the source of cinfo, reading data[0, length). src is plain data owned by the caller
// and must outlive the decode; the bytes are never copied. A skip past the end counts as
// running out of bytes.
void jpeg_memory_source(jpeg_decompress_struct *cinfo, jpeg_source_mgr *src, const uint8_t *data,
                        size_t length, JpegDataEnd end = JpegDataEnd::Fail);

} // namespace platform
