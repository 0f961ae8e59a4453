#include "platform/jpeg_error.h"

#include <cstring>

namespace {
extern "C" void quiet_output(j_common_ptr) {}
} // namespace

extern "C" void gere_jpeglib_erreur(j_common_ptr cinfo)
{
    auto *mgr = reinterpret_cast<JpegErrorManager *>(cinfo->err);
    mgr->pub.format_message(cinfo, mgr->message);
    std::longjmp(mgr->jpeglib_erreur, 1);
}

jpeg_error_mgr *jpeg_error_init(JpegErrorManager *mgr)
{
    std::memset(mgr->message, 0, sizeof mgr->message);
    jpeg_std_error(&mgr->pub);
    mgr->pub.error_exit = gere_jpeglib_erreur;
    mgr->pub.output_message = quiet_output;
    return &mgr->pub;
}
