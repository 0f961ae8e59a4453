// Helpers of the alignment tests: detection into full-capacity lists and pairing of two lists.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/bitmap.h"

#include "align/feature_points.h"
#include "align/matching.h"

namespace aligntest {

struct Points {
    int n = 0;
    std::vector<int> x, y, s;
    std::vector<float> d;
};

inline Points detect(const std::vector<uint8_t> &g, int w, int h, int maxPoints = 1309,
                     int threads = 0)
{
    Points p;
    const size_t cap = size_t(maxPoints) + 1;
    p.x.resize(cap), p.y.resize(cap), p.s.resize(cap), p.d.resize(cap * kDescriptorSize);
    p.n = kvdetect(1, w, h, maxPoints, 0, 0, g.data(), threads, p.x.data(), p.y.data(), p.s.data(),
                   p.d.data());
    return p;
}

struct PairSet {
    std::vector<int> x1, y1, x2, y2;
    std::vector<float> d;
    int n() const { return int(x1.size()); }
    void resize(int n)
    {
        for (auto *v : {&x1, &y1, &x2, &y2})
            v->resize(size_t(n));
        d.resize(size_t(n));
    }
};

inline PairSet match(const Points &a, const Points &b, int maxPairs, int shiftX, int shiftY)
{
    PairSet p;
    p.resize(maxPairs);
    const int n = find_paires(maxPairs, shiftX, shiftY, a.n, a.x.data(), a.y.data(), a.s.data(),
                              a.d.data(), b.n, b.x.data(), b.y.data(), b.s.data(), b.d.data(),
                              p.x1.data(), p.y1.data(), p.x2.data(), p.y2.data(), p.d.data());
    EXPECT_GE(n, 0);
    p.resize(n < 0 ? 0 : n);
    return p;
}

// The luma of a w x h crop from the middle of a real photo (a path under the test photos'
// folder), or empty when the photo is missing or smaller.
inline std::vector<uint8_t> real_crop(const std::string &name, int w, int h)
{
    const auto bmp = platform::BitmapImageRep::imageRepWithContentsOfFile(
        std::string(HDR_TESTDATA_DIR) + "/" + name);
    if (!bmp || bmp->samplesPerPixel() != 3 || bmp->pixelsWide() < w || bmp->pixelsHigh() < h)
        return {};
    std::vector<uint8_t> g(size_t(w) * size_t(h));
    const int x0 = (bmp->pixelsWide() - w) / 2, y0 = (bmp->pixelsHigh() - h) / 2;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint8_t *p =
                bmp->bitmapData() + size_t(y0 + y) * bmp->bytesPerRow() + size_t(x0 + x) * 3;
            g[size_t(y) * size_t(w) + size_t(x)] =
                uint8_t((54 * p[0] + 183 * p[1] + 19 * p[2]) >> 8);
        }
    return g;
}

} // namespace aligntest
