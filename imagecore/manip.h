// The image-manipulation class: a stateless set of operations over bitmaps, data objects and
// files; any instance serves any number of calls. PSD and PSB files into bitmaps; quarter turns
// and crops of bitmaps and rgbeBufs; the log-luminance histogram, sharpening, colour-space names
// and the bundle's ICC profiles; floating-point TIFF output.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/bitmap.h"
#include "platform/data.h"
#include "platform/geometry.h"

class Manip {
public:
    // readPSD:dims: — decodes the PSD or PSB file at path into a new bitmap. dims is the
    // caller's imageInfos, filled by getPsdInfo: [0] width, [1] height and [2] bits per channel
    // are read; [10] is set to 64 when the path's extension is exactly "psb" or "PSB" (the
    // large-document layout), 32 otherwise, before the pixels are read.
    // The bitmap: dims[0] x dims[1] pixels, 3 samples (red, green, blue), no alpha, meshed,
    // "NSCalibratedRGBColorSpace", dims[2] bits a sample in host order, rows packed
    // (3 x dims[0] x dims[2] / 8 bytes). Ownership is shared with the caller.
    // The file is checked for the pixel data the header promises (psd_pixels_present) before
    // the bitmap is made.
    // Returns null for a depth other than 8 and 16, a file that does not hold its pixel data or
    // whose version is not the layout its name asks for, or when the bitmap cannot be made (dims
    // untouched in these cases); or when the pixels cannot be read (dims[10] keeps its new
    // value).
    platform::BitmapPtr readPSD(const std::string &path, int *dims) const;

    // Bitmap operations. A source bitmap is meshed, 8 or 16 bits a sample, its rows possibly
    // padded (read through bytesPerRow). A result bitmap is new, meshed, rows packed, of the
    // source's depth and "NSCalibratedRGBColorSpace", with outSpp samples a pixel: 3 for a
    // 4-sample source (alpha dropped), 1 for a 2-sample source, else the source's count. Each
    // result pixel takes the first min(3, outSpp) samples of its source pixel; further samples
    // stay 0.

    // ldrRotate:angle: — a quarter turn: 90 clockwise, 270 counter-clockwise. The result is h
    // pixels wide and w high. Null for a null bitmap, another angle, or no memory.
    platform::BitmapPtr ldrRotate(const platform::BitmapPtr &bitmap, int angle) const;

    // ldrCrop:cropRect: — the rectangle (each value truncated toward zero: x0, y0, cw, ch; y0
    // counts from the top row) cut out into a new cw x ch bitmap, wrapped in an image of that
    // size that owns it. Null for a null bitmap, a rectangle that is not finite, empty or not
    // inside the source, or no memory.
    std::shared_ptr<platform::Image> ldrCrop(const platform::BitmapPtr &bitmap,
                                             const platform::Rect &cropRect) const;

    // plusNet:pourcentage: — sharpening by the 8-neighbour Laplacian L (sum of the neighbours
    // inside the image minus 8 x the centre; the centre keeps -8 at the border): each copied
    // sample becomes s - rint(L x amount) (8 bits) or s - trunc(L x amount) (16 bits), L x amount
    // in single precision, clamped to the depth's range. amount 0 copies. The result is wrapped
    // in an image of the source's size. Null for a null bitmap, a non-finite amount or no memory.
    std::shared_ptr<platform::Image> plusNet(const platform::BitmapPtr &bitmap,
                                             float pourcentage) const;

    // rgbeBuf operations: row-planar RGBE data of width largeur (4 x largeur bytes a row).

    // hdrRotate:largeur:hauteur:angle: — a quarter turn (90 clockwise, 270 counter-clockwise) of
    // the largeur x hauteur image: a new rgbeBuf of 4 x largeur x hauteur bytes, hauteur pixels
    // wide (empty when a side is 0). Null for null data, data shorter than 4 x largeur x
    // hauteur, a negative side, another angle, or no memory.
    platform::DataPtr hdrRotate(const platform::DataPtr &data, int largeur, int hauteur,
                                int angle) const;

    // hdrCrop:largeur:cropRect: — the rectangle (truncated as in ldrCrop) cut out into a new
    // rgbeBuf of 4 x cw x ch bytes, cw wide (empty when cw or ch is 0). The source's height is
    // the number of whole rows its data holds. Null for null data, largeur below 1, a rectangle
    // that is not finite or not inside the source, or no memory.
    platform::DataPtr hdrCrop(const platform::DataPtr &data, int largeur,
                              const platform::Rect &cropRect) const;

    // getHisto32:largeur:hauteur:min:max: — 65536 uint32 counters (262144 bytes, host order)
    // of the log luminance of a largeur x hauteur rgbeBuf. Pixels with exponent 0 are skipped;
    // v = ((54 R + 183 G + 19 B) >> 8) x 2^(E - 128) (256 times the decoded luminance) falls in
    // bin trunc((ln v - ln min) x 65535 / (ln max - ln min)), clamped to 0..65535 (v = 0 in 0).
    // Null for min <= 0, min >= max, max <= 1, equal logarithms, null or short data (below
    // 4 x largeur x hauteur bytes), a negative side, or no memory.
    platform::DataPtr getHisto32(const platform::DataPtr &data, int largeur, int hauteur, float min,
                                 float max) const;

    // csNameFromSpp: — "NSCalibratedWhiteColorSpace" for 1 sample a pixel,
    // "NSCalibratedRGBColorSpace" for any other count. The string is constant.
    const char *csNameFromSpp(int spp) const;

    // extract_profile:iccLength:profileBuf: — copies the first iccLength bytes of a bundle
    // profile into profileBuf: id 0 "sRGB Profile.icc", 1 "AdobeRGB1998.icc", 2 "ProPhoto.icm".
    // Returns iccLength; -10 - id for an id above 2; -3 for a negative id, a negative length, a
    // null buffer or a file shorter than 4 bytes; -2 when the resource is missing or cannot be
    // opened; -5 when fewer than iccLength bytes can be read (the buffer then holds a part); -4
    // when memory runs out.
    int extract_profile(int id, int iccLength, uint8_t *profileBuf) const;

    // writeFpTiffFromRgbe:rgbeData:largeur:hauteur: — writes the largeur x hauteur rgbeBuf as an
    // uncompressed little-endian TIFF of three IEEE floats a pixel, each mantissa x
    // 2^(exponent - 128) (256 times the decoded value; exponent 0 is black): header, one strip at
    // offset 8, then an 11-entry IFD with the BitsPerSample and SampleFormat arrays after it.
    // Returns 1; -3 for null data, data shorter than 4 x largeur x hauteur bytes, a side outside
    // 1..65535 or a file past 4 GiB (nothing is created); -1 when the file cannot be created;
    // -2 when a write fails (the file is left as far as it was written); -4 when memory runs out.
    int writeFpTiffFromRgbe(const std::string &path, const platform::DataPtr &rgbeData, int largeur,
                            int hauteur) const;
};

// x rounded to an int: the truncation n, plus one when x - n (single precision) is above 0.5.
// Positive halves go down, negative values truncate: 3.5 -> 3, 3.6 -> 4, -2.5 -> -2, -1.7 -> -1.
// Saturates to the int range; NaN gives 0.
int arrondi(float x);

// A big-endian float decoded with the exponent bias 128 (half its IEEE 754 reading): four zero
// bytes give 0; exponent fields 0 and 255 follow the same formula (no subnormal, infinity or NaN).
// A null pointer gives 0.
float m_order2float(const uint8_t *b);
