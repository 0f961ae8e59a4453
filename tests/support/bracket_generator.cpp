// Scene and exposure rendering; the formulas are the header's, kept in double so tests can
// invert them exactly.
#include "tests/support/bracket_generator.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "tests/support/image_compare.h"

namespace testsupport {
namespace {

constexpr double kMid = 0.18;

const std::vector<ScenePatch> kPatches = {
    {0.10, 0.10, 0.22, 0.25, 0.90, 0.08, 0.06, -2.0},
    {0.30, 0.10, 0.42, 0.25, 0.08, 0.85, 0.10, 0.0},
    {0.10, 0.60, 0.22, 0.75, 0.07, 0.10, 0.90, 1.0},
    {0.30, 0.60, 0.42, 0.75, 0.85, 0.80, 0.07, 2.0},
};

void put_sample(std::vector<uint8_t> &out, size_t index, int bits, double s)
{
    double m = bits == 16 ? 65535.0 : 255.0;
    double v = std::floor(std::pow(std::clamp(s, 0.0, 1.0), 1.0 / 2.2) * m + 0.5);
    if (bits == 16) {
        uint16_t u = uint16_t(v);
        std::memcpy(out.data() + index * 2, &u, 2);
    } else {
        out[index] = uint8_t(v);
    }
}

void check_format(int bits, int spp)
{
    if ((bits != 8 && bits != 16) || (spp != 1 && spp != 3))
        throw std::invalid_argument("bits must be 8 or 16 and spp 1 or 3");
}

} // namespace

const std::vector<ScenePatch> &scene_patches()
{
    return kPatches;
}

RadianceMap make_radiance_map(int w, int h)
{
    if (w < 1 || h < 1)
        throw std::invalid_argument("map size");
    RadianceMap map;
    map.width = w;
    map.height = h;
    map.rgb.resize(size_t(w) * size_t(h) * 3);
    const double tint[3] = {1.10, 1.00, 0.85};
    const double cx = 0.75 * w, cy = 0.3 * h, radius = 0.08 * std::min(w, h);
    for (int y = 0; y < h; ++y) {
        double fy = h > 1 ? double(y) / (h - 1) : 0.0;
        for (int x = 0; x < w; ++x) {
            double fx = w > 1 ? double(x) / (w - 1) : 0.0;
            double base = kMid * std::exp2(-6.0 + 12.0 * fx) * std::exp2(fy / 3.0);
            double c[3] = {base * tint[0], base * tint[1], base * tint[2]};
            double px = (x + 0.5) / w, py = (y + 0.5) / h;
            for (const ScenePatch &p : kPatches) {
                if (px >= p.x0 && px < p.x1 && py >= p.y0 && py < p.y1) {
                    double k = kMid * std::exp2(p.stops);
                    c[0] = p.r * k;
                    c[1] = p.g * k;
                    c[2] = p.b * k;
                }
            }
            double dx = x + 0.5 - cx, dy = y + 0.5 - cy;
            if (dx * dx + dy * dy <= radius * radius)
                c[0] = c[1] = c[2] = kMid * 256.0;
            if (x < w / 8 && y >= h - h / 8)
                for (double &v : c)
                    v /= 16.0;
            float *dst = &map.rgb[(size_t(y) * size_t(w) + size_t(x)) * 3];
            for (int k = 0; k < 3; ++k)
                dst[k] = float(std::max(c[k], 1e-6));
        }
    }
    return map;
}

std::vector<uint8_t> render_photo(const RadianceMap &map, float exposure, int bits, int spp)
{
    check_format(bits, spp);
    const size_t pixels = size_t(map.width) * size_t(map.height);
    std::vector<uint8_t> out(pixels * size_t(spp) * size_t(bits / 8));
    for (size_t i = 0; i < pixels; ++i) {
        const float *p = &map.rgb[i * 3];
        if (spp == 1) {
            double y = 0.2126 * p[0] + 0.7152 * p[1] + 0.0722 * p[2];
            put_sample(out, i, bits, y * double(exposure));
        } else {
            for (int c = 0; c < 3; ++c)
                put_sample(out, i * 3 + size_t(c), bits, double(p[c]) * double(exposure));
        }
    }
    return out;
}

std::vector<uint8_t> render_bracket(const RadianceMap &map, const std::vector<float> &exposures,
                                    int bits, int spp)
{
    std::vector<uint8_t> out;
    for (float e : exposures) {
        std::vector<uint8_t> photo = render_photo(map, e, bits, spp);
        out.insert(out.end(), photo.begin(), photo.end());
    }
    return out;
}

std::vector<uint8_t> render_bracket(const RadianceMap &map, const std::vector<float> &exposures,
                                    int bits, int spp, const MovingObject &object)
{
    RadianceMap moved = map;
    for (int y = std::max(object.y0, 0); y < std::min(object.y1, map.height); ++y)
        for (int x = std::max(object.x0, 0); x < std::min(object.x1, map.width); ++x)
            for (size_t c = 0; c < 3; ++c)
                moved.rgb[(size_t(y) * size_t(map.width) + size_t(x)) * 3 + c] = object.radiance;
    std::vector<uint8_t> out;
    for (size_t k = 0; k < exposures.size(); ++k) {
        const std::vector<uint8_t> photo =
            render_photo(int(k) == object.photo ? moved : map, exposures[k], bits, spp);
        out.insert(out.end(), photo.begin(), photo.end());
    }
    return out;
}

SceneMatch scene_match(const std::vector<double> &rgb, int spp, const RadianceMap &scene,
                       double patchExponent)
{
    SceneMatch m;
    const int w = scene.width, h = scene.height;
    const size_t n = size_t(w) * size_t(h), s = size_t(spp);
    if (rgb.size() != n * s || (spp != 1 && spp != 3))
        return m;
    std::vector<double> y(n), logY(n);
    for (size_t i = 0; i < n; ++i) {
        const double *p = &rgb[i * s];
        y[i] = spp == 3 ? 0.2126 * p[0] + 0.7152 * p[1] + 0.0722 * p[2] : p[0];
        logY[i] = std::log(0.2126 * scene.rgb[3 * i] + 0.7152 * scene.rgb[3 * i + 1] +
                           0.0722 * scene.rgb[3 * i + 2]);
    }
    m.correlation = correlation(y, logY);
    if (spp != 3)
        return m;
    for (const ScenePatch &p : kPatches) {
        double sum[3] = {};
        for (int py = int(p.y0 * h) + 2; py < int(p.y1 * h) - 2; ++py)
            for (int px = int(p.x0 * w) + 2; px < int(p.x1 * w) - 2; ++px)
                for (size_t c = 0; c < 3; ++c)
                    sum[c] += rgb[(size_t(py) * size_t(w) + size_t(px)) * 3 + c];
        const double g = patchExponent;
        m.hueError.push_back(
            hue_distance(hue_degrees(sum[0], sum[1], sum[2]),
                         hue_degrees(std::pow(p.r, g), std::pow(p.g, g), std::pow(p.b, g))));
    }
    return m;
}

} // namespace testsupport
