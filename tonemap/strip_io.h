// Strips of floats to and from the temporary files of the local operator's out-of-core mode. A
// file is a flat array of single-precision floats in host byte order without a header: element
// i lies at byte 4 x i.
#pragma once

#include <cstdint>
#include <cstdio>

// Writes count floats from buffer at element offset of stream (byte 4 x offset, a 64-bit
// position), as 4 items of count bytes. Returns 4; -20 when the positioning fails or fewer than
// 4 items are written (count 0 writes none, so it fails too).
int write_strip(FILE *stream, int64_t offset, int count, const float *buffer);

// Reads count floats at element offset of stream into buffer, as 4 items of count bytes.
// Returns 4; -20 when the positioning fails or not all 4 items are read (past the end of the
// file, or count 0).
int read_strip(FILE *stream, int64_t offset, int count, float *buffer);
