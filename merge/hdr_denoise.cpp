// The HDR denoisers and their driver. The driver reserves all its memory before it writes
// anything, so a failure leaves both images as they were.
#include "merge/hdr_denoise.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "imagecore/color.h"
#include "merge/detail/atrous.h"
#include "merge/detail/rgbe_pixels.h"
#include "merge/hdr_atrous.h"

namespace {

using merge::detail::decode_pixel;
using merge::detail::encode_pixel;
using merge::detail::ExponentTable;
using merge::detail::noise_coefficient;
using merge::detail::pixel_pos;

constexpr int kMinSide = 32; // twice the spacing of the coarsest level

bool sizes_ok(int width, int height, const void *work, const void *src, const void *dst)
{
    return work != nullptr && merge::detail::rgbe_args_ok(width, height, src, dst) &&
           width >= kMinSide && height >= kMinSide;
}

template <class Visit> void for_each_pixel(int width, int height, Visit visit)
{
    size_t i = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x, ++i)
            visit(pixel_pos(width, x, y), i);
}

int chroma_steps(int mode, int width, int height, float *work, const uint8_t *src, uint8_t *dst,
                 float k, float shadowsLevel, float satLevel, float *line)
{
    const ExponentTable table;
    const size_t n = size_t(width) * size_t(height);
    float *ratio[3] = {work + 2 * n, work + 3 * n, work + 4 * n};
    for_each_pixel(width, height, [&](size_t pos, size_t i) {
        float rgb[3];
        decode_pixel(src, width, table, pos, rgb);
        const float s = rgb[0] + rgb[1] + rgb[2];
        for (int c = 0; c < 3; ++c)
            ratio[c][i] = s > 0.0f ? rgb[c] / s : 0.0f;
    });
    // Each ratio plane is decomposed where it lies, which gives what a copy would: dst is written
    // once, at the end, and never has to hold floats (nor be aligned for them).
    for (float *plane : ratio)
        merge::detail::atrous_denoise({plane, {work, work + n}, line, width, height},
                                      [k](int level) {
                                          const float tau = k * noise_coefficient(level);
                                          return [tau](float) { return tau; };
                                      });
    for_each_pixel(width, height, [&](size_t pos, size_t i) {
        float rgb[3];
        decode_pixel(src, width, table, pos, rgb);
        const float s = rgb[0] + rgb[1] + rgb[2];
        if (s > 0.0f && s < shadowsLevel) {
            for (int c = 0; c < 3; ++c)
                rgb[c] = s * ratio[c][i];
        } else if (s > 0.0f && mode > 0 && s < satLevel) {
            const float alpha = (satLevel - s) / (satLevel - shadowsLevel);
            for (int c = 0; c < 3; ++c)
                rgb[c] = alpha * s * ratio[c][i] + (1.0f - alpha) * rgb[c];
        }
        encode_pixel(dst, width, pos, rgb);
    });
    return height;
}

// The luminance threshold of one level as a function of the smoothed log luma v.
struct LumaThreshold {
    float T, t0, lo, hi, top;
    float operator()(float v) const
    {
        if (v < lo)
            return T;
        if (v < hi) // lo <= v < hi: lo < hi, the ramp's denominator is not 0
            return ((T - t0) * v + lo * t0 - hi * T) / (lo - hi);
        // No room for the ramp to 0 when hi == top: the band keeps its starting threshold.
        if (hi == top)
            return t0;
        return t0 * (v - top) / (hi - top);
    }
};

int lumin_steps(int mode, int width, int height, float *work, const uint8_t *src, uint8_t *dst,
                float lo, float hi, float top, float threshold, float *line)
{
    const ExponentTable table;
    const size_t n = size_t(width) * size_t(height);
    float *logY = work;
    for_each_pixel(width, height, [&](size_t pos, size_t i) {
        float rgb[3], ybr[3];
        decode_pixel(src, width, table, pos, rgb);
        rgb2ybr(rgb, ybr);
        logY[i] = merge::detail::log_or_zero(ybr[0]);
    });
    const float rampEnd = mode > 0 ? hi : lo;
    merge::detail::atrous_denoise({logY, {work + n, work + 2 * n}, line, width, height},
                                  [&](int level) {
                                      const float T = noise_coefficient(level) * threshold;
                                      const float t0 = mode > 0 ? float(0.1 * T) : 0.0f;
                                      return LumaThreshold{T, t0, lo, rampEnd, top};
                                  });
    for_each_pixel(width, height, [&](size_t pos, size_t i) {
        float rgb[3], ybr[3];
        decode_pixel(src, width, table, pos, rgb);
        rgb2ybr(rgb, ybr);
        ybr[0] = std::exp(logY[i]);
        ybr2rgb(ybr, rgb);
        encode_pixel(dst, width, pos, rgb);
    });
    return height;
}

// The decomposition's line buffer, or null when memory is short.
std::unique_ptr<float[]> line_buffer(int width, int height)
{
    try {
        return std::make_unique_for_overwrite<float[]>(merge::detail::line_floats(width, height));
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

struct LevelSettings {
    int mode;        // chroma blend and luminance threshold shape
    bool luminance;  // run the luminance step
    float k;         // chroma strength
    float threshold; // statistics threshold
};

LevelSettings level_settings(int level)
{
    if (level < 50 || level > 150)
        level = 100;
    if (level == 100)
        return {0, true, 0.4f, 0.0013333333f};
    const double step = level < 100 ? 0.004 : 0.012;
    const float k = float(0.4 + step * (level - 100));
    return {level > 100 ? 1 : 0, level > 100, k, k / 300.0f};
}

} // namespace

int denoise_chroma(int mode, int width, int height, int bits, float *work, const uint8_t *src,
                   uint8_t *dst, float k, float shadowsLevel, float satLevel)
{
    if (bits != 32)
        return 0;
    if (!sizes_ok(width, height, work, src, dst))
        return -3;
    const auto line = line_buffer(width, height);
    if (!line)
        return -4;
    return chroma_steps(mode, width, height, work, src, dst, k, shadowsLevel, satLevel, line.get());
}

int denoise_lumin(int mode, int width, int height, int bits, float *work, const uint8_t *src,
                  uint8_t *dst, float lo, float hi, float top, float threshold)
{
    if (bits != 32)
        return -2;
    if (!sizes_ok(width, height, work, src, dst))
        return -3;
    const auto line = line_buffer(width, height);
    if (!line)
        return -4;
    return lumin_steps(mode, width, height, work, src, dst, lo, hi, top, threshold, line.get());
}

int denoise1(int level, int width, int height, int bits, uint8_t *src, uint8_t *dst)
{
    if (bits != 32)
        return 0;
    if (!merge::detail::rgbe_args_ok(width, height, src, dst) || width < kMinSide ||
        height < kMinSide)
        return -3;
    const auto planes = platform::checked_product({width, height, 5});
    if (!planes)
        return -4;
    std::unique_ptr<float[]> work;
    try {
        work = std::make_unique_for_overwrite<float[]>(*planes);
    } catch (const std::bad_alloc &) {
        return -4;
    }
    // Both steps share one line buffer, reserved now so that no step can fail once the source
    // has been overwritten with the chroma result.
    const auto line = line_buffer(width, height);
    if (!line)
        return -4;

    const LevelSettings s = level_settings(level);
    float stats[6];
    const int measured = hdr_stats(width, height, src, stats, s.threshold);
    if (measured < 0)
        return measured;
    int result = chroma_steps(s.mode, width, height, work.get(), src, dst, s.k, std::exp(stats[0]),
                              std::exp(stats[1]), line.get());
    if (s.luminance && result > 0) {
        const size_t bytes = size_t(width) * size_t(height) * 4;
        std::memcpy(src, dst, bytes);
        std::memset(dst, 0, bytes);
        result = lumin_steps(s.mode, width, height, work.get(), src, dst, stats[2], stats[3],
                             stats[4], stats[5], line.get());
    }
    return result;
}
