// The libjpeg data source over bytes held in memory, shared by every decoder of in-memory JPEG
// data (whole files and embedded thumbnails). Running out of bytes is a fatal library error, so
// a truncated stream fails instead of being completed with grey.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <jpeglib.h>

namespace platform {

// Makes src the source of cinfo, reading data[0, length). src is plain data owned by the caller
// and must outlive the decode; the bytes are never copied. End of data (also a skip past it)
// calls the error manager's error_exit with JERR_INPUT_EOF.
void jpeg_memory_source(jpeg_decompress_struct *cinfo, jpeg_source_mgr *src, const uint8_t *data,
                        size_t length);

} // namespace platform
