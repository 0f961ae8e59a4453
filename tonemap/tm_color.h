// Colour routines of the tone mappers: an 8- or 16-bit photo turned into an rgbeBuf through a
// linearising curve (so the global operator can run on a single photo), and RGB <-> HSL on the
// unit scale or on a given scale (hue in [0, 1), a full turn being 1).
#pragma once

#include <cstdint>

// Encodes an interleaved photo as an rgbeBuf. source: bitsIn 8 (bytes) or 16 (uint16_t, host
// order), spp samples a pixel, rows rowLength samples apart; red, green, blue at sample offsets
// 0, (spp - 1) / 2, spp - 1, or with swap non-zero spp - 1, (spp - 1) / 2, 0. curve: linear value
// of every sample value (256 or 65536 entries). out: w x h x 4 bytes, row-planar (caller-owned).
// Pixels of integer luma <= 4 become a grey of the image's smallest positive value, pixels of
// luma >= 254 a grey of its largest; when no pixel lies between them, dark pixels are black and
// saturated ones a grey of the curve's top entry.
// Returns h; 0 (nothing written) when h, w or spp is below 1, rowLength < w x spp, or bitsIn is
// neither 8 nor 16.
int convert_to_rgbe(int bitsIn, int w, int h, int spp, int rowLength, int swap, const float *curve,
                    const void *source, uint8_t *out);

// rgb in 0..1 -> hue, saturation, lightness. Returns 1.
int rgb2hsl_norm(const float *rgb, float *hsl);
// rgb on the scale 0..scale -> HSL; with scale below 1 hsl is left untouched.
void rgb2hsl(const float *rgb, float *hsl, float scale);
// The inverse of rgb2hsl_norm. Returns 1.
int hsl2rgb_norm(const float *hsl, float *rgb);
// HSL -> rgb on the scale 0..scale.
void hsl2rgb(const float *hsl, float *rgb, float scale);
// One channel of the HSL-to-RGB conversion: t is the hue shifted for that channel.
float hue2rgb(float p, float q, float t);
