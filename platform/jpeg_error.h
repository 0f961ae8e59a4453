// Error handling for every libjpeg object of the program. Each entry point owns one
// JpegErrorManager (and so its own jump buffer): two threads may read and write JPEG files at
// once. The setjmp lives in one small function per entry point that holds no object with a
// destructor across the jump.
#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

struct JpegErrorManager {
    jpeg_error_mgr pub;     // first member: the library sees only this
    jmp_buf jpeglib_erreur; // where gere_jpeglib_erreur jumps back to (longjmp value 1)
    char message[JMSG_LENGTH_MAX];
};

// The library's error_exit replacement: keeps the library's message and jumps back to the
// entry point that armed this manager. Never returns.
extern "C" void gere_jpeglib_erreur(j_common_ptr cinfo);

// Library defaults with gere_jpeglib_erreur as error_exit; warnings and trace messages are kept
// quiet (a corrupt-data warning is not an error of ours to print). Returns &mgr->pub for the
// object's err field.
jpeg_error_mgr *jpeg_error_init(JpegErrorManager *mgr);
