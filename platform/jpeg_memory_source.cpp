#include "platform/jpeg_memory_source.h"

// jerror.h needs jpeglib.h before it.
#include <jerror.h>

namespace platform {
namespace {

void init_source(j_decompress_ptr) {}

boolean fail_at_end(j_decompress_ptr cinfo)
{
    ERREXIT(cinfo, JERR_INPUT_EOF);
    return FALSE;
}

void skip_input_data(j_decompress_ptr cinfo, long count)
{
    jpeg_source_mgr *src = cinfo->src;
    if (count <= 0)
        return;
    if (size_t(count) > src->bytes_in_buffer) {
        src->bytes_in_buffer = 0;
        src->fill_input_buffer(cinfo);
        return;
    }
    src->next_input_byte += count;
    src->bytes_in_buffer -= size_t(count);
}

void term_source(j_decompress_ptr) {}

} // namespace

// The decoder then meets a marker where data should go on: a Huffman decoder that still needed
// bits warns, a marker reader sees the end of the image.
boolean jpeg_end_of_data(j_decompress_ptr cinfo)
{
    static const JOCTET eoi[2] = {0xFF, JPEG_EOI};
    WARNMS(cinfo, JWRN_JPEG_EOF);
    cinfo->src->next_input_byte = eoi;
    cinfo->src->bytes_in_buffer = sizeof eoi;
    return TRUE;
}

void jpeg_memory_source(jpeg_decompress_struct *cinfo, jpeg_source_mgr *src, const uint8_t *data,
                        size_t length, JpegDataEnd end)
{
    src->next_input_byte = data;
    src->bytes_in_buffer = length;
    src->init_source = init_source;
    src->fill_input_buffer = end == JpegDataEnd::Marker ? jpeg_end_of_data : fail_at_end;
    src->skip_input_data = skip_input_data;
    src->resync_to_restart = jpeg_resync_to_restart;
    src->term_source = term_source;
    cinfo->src = src;
}

} // namespace platform
