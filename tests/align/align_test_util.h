// Helpers of the alignment tests: detection into full-capacity lists and pairing of two lists.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "align/feature_points.h"
#include "align/matching.h"

namespace aligntest {

struct Points {
    int n = 0;
    std::vector<int> x, y, s;
    std::vector<float> d;
};

inline Points detect(const std::vector<uint8_t> &g, int w, int h, int maxPoints = 1309)
{
    Points p;
    const size_t cap = size_t(maxPoints) + 1;
    p.x.resize(cap), p.y.resize(cap), p.s.resize(cap), p.d.resize(cap * kDescriptorSize);
    p.n = kvdetect(1, w, h, maxPoints, 0, 0, g.data(), 0, p.x.data(), p.y.data(), p.s.data(),
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

} // namespace aligntest
