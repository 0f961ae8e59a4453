// Manip: the log-luminance histogram of an rgbeBuf, sharpening by the 8-neighbour Laplacian,
// colour-space names for a sample count, and the ICC profiles among the bundle's resources.
#include <cmath>
#include <cstdio>
#include <new>
#include <vector>

#include "imagecore/detail/manip_bitmaps.h"
#include "imagecore/float_clamp.h"
#include "imagecore/manip.h"
#include "imagecore/pixel_buffers.h"
#include "platform/bundle.h"
#include "platform/checked_size.h"
#include "platform/file_holder.h"

using imagecore::detail::copied_samples;

namespace {

constexpr int kHistoBins = 65536;

// The Laplacian of the first n samples of each pixel subtracted from them. Neighbours outside
// the image count 0 while the centre keeps its weight -8, so a flat border brightens.
template <class T>
void sharpen(const T *src, size_t rowLength, int spp, int w, int h, float amount, T *dst,
             int outSpp)
{
    const int n = copied_samples(outSpp);
    const int top = sizeof(T) == 1 ? 255 : 65535;
    for (int y = 0; y < h; ++y) {
        const int y0 = y > 0 ? y - 1 : y, y1 = y < h - 1 ? y + 1 : y;
        for (int x = 0; x < w; ++x) {
            const int x0 = x > 0 ? x - 1 : x, x1 = x < w - 1 ? x + 1 : x;
            T *d = dst + (size_t(y) * size_t(w) + size_t(x)) * size_t(outSpp);
            for (int k = 0; k < n; ++k) {
                const int s0 = src[size_t(y) * rowLength + size_t(x) * size_t(spp) + size_t(k)];
                int sum = 0;
                for (int yy = y0; yy <= y1; ++yy)
                    for (int xx = x0; xx <= x1; ++xx)
                        sum += src[size_t(yy) * rowLength + size_t(xx) * size_t(spp) + size_t(k)];
                const float scaled = float(sum - s0 - 8 * s0) * amount;
                // 8 bits round to nearest (halves to even), 16 bits truncate.
                const double step = sizeof(T) == 1 ? std::rint(scaled) : std::trunc(scaled);
                d[k] = T(imagecore::clamp_to_int(double(s0) - step, 0, top));
            }
        }
    }
}

struct Profile {
    const char *name, *type;
};
// By the colour-space codes of RawColorSpaceInfo: 0 sRGB, 1 Adobe RGB, 2 ProPhoto RGB.
constexpr Profile kProfiles[3] = {
    {"sRGB Profile", "icc"}, {"AdobeRGB1998", "icc"}, {"ProPhoto", "icm"}};

} // namespace

platform::DataPtr Manip::getHisto32(const platform::DataPtr &data, int largeur, int hauteur,
                                    float min, float max) const
{
    // Written so that NaN bounds fail too: a log of min <= 0 would fill the bins with NaN.
    if (!data || largeur < 0 || hauteur < 0 || !(min > 0) || !(max > min))
        return nullptr;
    const float logMin = std::log(min), logMax = std::log(max);
    if (!(logMax > 0) || logMin == logMax)
        return nullptr;
    auto bytes = platform::checked_product({4, largeur, hauteur});
    if (!bytes || data->length() < *bytes)
        return nullptr;
    const float scale = 65535.0f / (logMax - logMin);
    try {
        std::vector<uint32_t> counters(kHistoBins, 0);
        float table[256];
        exp_lut(table, 0);
        const size_t w = size_t(largeur);
        for (int y = 0; y < hauteur; ++y) {
            const uint8_t *row = data->bytes() + 4 * w * size_t(y);
            for (size_t x = 0; x < w; ++x) {
                const int e = row[3 * w + x];
                if (e == 0)
                    continue;
                const int luma = (54 * row[x] + 183 * row[w + x] + 19 * row[2 * w + x]) >> 8;
                int bin = 0;
                if (luma > 0) {
                    const float v = float(luma) * table[e];
                    bin = imagecore::clamp_to_int((std::log(double(v)) - logMin) * scale, 0,
                                                  kHistoBins - 1);
                }
                ++counters[size_t(bin)];
            }
        }
        return platform::Data::copy(counters.data(), counters.size() * sizeof(uint32_t));
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

std::shared_ptr<platform::Image> Manip::plusNet(const platform::BitmapPtr &bitmap,
                                                float pourcentage) const
{
    if (!bitmap || !std::isfinite(pourcentage))
        return nullptr;
    const size_t rowLength = imagecore::detail::row_samples(*bitmap);
    if (rowLength == 0)
        return nullptr;
    const int w = bitmap->pixelsWide(), h = bitmap->pixelsHigh();
    const int spp = bitmap->samplesPerPixel(), outSpp = imagecore::detail::result_spp(spp);
    const int bps = bitmap->bitsPerSample();
    try {
        platform::BitmapPtr result = imagecore::detail::result_bitmap(w, h, bps, outSpp);
        if (!result)
            return nullptr;
        if (bps == 8)
            sharpen(bitmap->bitmapData(), rowLength, spp, w, h, pourcentage, result->bitmapData(),
                    outSpp);
        else
            sharpen(reinterpret_cast<const uint16_t *>(bitmap->bitmapData()), rowLength, spp, w, h,
                    pourcentage, reinterpret_cast<uint16_t *>(result->bitmapData()), outSpp);
        auto image = std::make_shared<platform::Image>();
        image->width = w;
        image->height = h;
        image->addRepresentation(std::move(result));
        return image;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

const char *Manip::csNameFromSpp(int spp) const
{
    return spp == 1 ? platform::kCalibratedWhiteColorSpace : platform::kCalibratedRGBColorSpace;
}

int Manip::extract_profile(int id, int iccLength, uint8_t *profileBuf) const
{
    if (id > 2)
        return int(imagecore::clamp_to_int(-10.0 - double(id)));
    if (id < 0 || iccLength < 0 || !profileBuf)
        return -3;
    try {
        const std::string path =
            platform::path_for_resource(kProfiles[id].name, kProfiles[id].type);
        if (path.empty())
            return -2;
        platform::FilePtr f = platform::open_file(path, "rb");
        if (!f)
            return -2;
        // The size field is read first, as a check that the file holds a profile header at all.
        uint8_t size[4];
        if (std::fread(size, 1, 4, f.get()) != 4)
            return -3;
        if (std::fseek(f.get(), 0, SEEK_SET) != 0 ||
            std::fread(profileBuf, 1, size_t(iccLength), f.get()) != size_t(iccLength))
            return -5;
        return iccLength;
    } catch (const std::bad_alloc &) {
        return -4;
    }
}
