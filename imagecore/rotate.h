// Quarter turns of an image into a second buffer: the destination is h pixels wide and w high,
// same layout as the source, packed rows. Interleaved data copies channels 0, (spp - 1) / 2 and
// spp - 1 of each pixel into the same positions (every channel for 1 or 3 samples).
#pragma once

#include <cstdint>

// Turns an 8-bit interleaved w x h image by its EXIF-derived code: 6 clockwise, 5
// counter-clockwise. Returns w (the rows written); 0 when w or h is below 1 (nothing written);
// -3 for another code, spp below 1 or a null buffer.
int rotate_8bit(int code, int w, int h, int spp, const uint8_t *source, uint8_t *destination);

// Turns a w x h image by angle degrees: 90 clockwise, 270 and -90 counter-clockwise. bps 8 or 16
// (interleaved, spp samples a pixel) or 32 (rgbeBuf, spp not read).
// Returns w (the rows written); 0 when w or h is below 1 (nothing written); -3 for another angle
// or bps, spp below 1 or a null buffer.
int kv_rotate(int angle, int w, int h, int spp, int bps, const void *source, void *destination);
