// Procedural high-dynamic-range scenes and the bracketed photos a camera would take of them,
// for tests that need known radiance behind 8- and 16-bit photos.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testsupport {

// Linear scene radiance, interleaved RGB floats, row-major, every value > 0.
struct RadianceMap {
    int width = 0, height = 0;
    std::vector<float> rgb;
    float at(int x, int y, int c) const
    {
        return rgb[(std::size_t(y) * std::size_t(width) + std::size_t(x)) * 3 + std::size_t(c)];
    }
};

// A coloured patch of the scene: its rectangle as fractions of the frame (a pixel belongs to it
// when its centre lies inside [x0, x1) x [y0, y1)) and its radiance r, g, b x 0.18 x 2^stops.
struct ScenePatch {
    double x0, y0, x1, y1;
    double r, g, b;
    double stops;
};
// The four patches of make_radiance_map: red, green, blue, yellow.
const std::vector<ScenePatch> &scene_patches();

// A deterministic scene of w x h pixels (w, h >= 1), mid grey 0.18:
// - base: a horizontal log gradient from 0.18 x 2^-6 at x = 0 to 0.18 x 2^6 at x = w - 1
//   (12 stops), gently tinted (red, green, blue x 1.10, 1.00, 0.85) and lifted by up to a third
//   of a stop down the rows;
// - four coloured patches (saturated red, green, blue, yellow) at 0.18 x 2^{-2, 0, 1, 2};
// - a "sun" disc (centre 0.75 w, 0.3 h; radius 0.08 min(w, h)) at 0.18 x 2^8;
// - a dark corner (the lower-left w/8 x h/8) divided by 16.
RadianceMap make_radiance_map(int w, int h);

// One photo of the map at an exposure factor, 8 or 16 bits a sample, spp 3 (RGB) or 1
// (luminance Y = 0.2126 R + 0.7152 G + 0.0722 B of the radiance). For each sample, in double:
//     s = min(max(radiance x exposure, 0), 1)
//     value = floor(s^(1 / 2.2) x M + 0.5),  M = 255 (8 bits) or 65535 (16 bits)
// so radiance x exposure = (value / M)^2.2 within half a code. Samples are interleaved and
// packed; 16-bit samples are uint16_t in host byte order inside the byte vector.
std::vector<uint8_t> render_photo(const RadianceMap &map, float exposure, int bits, int spp);

// The photos for each exposure, back to back, each as render_photo gives it.
std::vector<uint8_t> render_bracket(const RadianceMap &map, const std::vector<float> &exposures,
                                    int bits, int spp);

// Something that moved while the bracket was taken (a passer-by): a rectangle of pixels
// [x0, x1) x [y0, y1), clipped to the frame, of grey radiance `radiance`, present in photo
// `photo` of the bracket only.
struct MovingObject {
    int photo;
    int x0, y0, x1, y1;
    float radiance;
};

// render_bracket, photo object.photo rendered from the map with the object painted in.
std::vector<uint8_t> render_bracket(const RadianceMap &map, const std::vector<float> &exposures,
                                    int bits, int spp, const MovingObject &object);

// How well a picture shows the scene it was made from: the correlation of its luminance with
// the scene's log luminance (a monotonic curve keeps it high; noise, swapped bytes or a lost
// exposure order do not), and per patch of scene_patches() the hue distance in degrees between
// the patch's mean colour (2 pixels in from its edges) and the patch's own, raised to
// patchExponent (1 / 2.2: the hue a photo of the patch shows). rgb: interleaved samples scaled to
// 0..1, spp 3 (hues) or 1 (grey: the hue distances are left empty), the scene's size.
struct SceneMatch {
    double correlation = 0;
    std::vector<double> hueError;
};
SceneMatch scene_match(const std::vector<double> &rgb, int spp, const RadianceMap &scene,
                       double patchExponent = 1);

} // namespace testsupport
