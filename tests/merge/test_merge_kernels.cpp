// The classic merge with its ghost test, the ghost-robust merge with its median selector and
// the response-gamma estimate: each against a plain scalar reading of its definition written
// here, plus known answers, relations and the moving object of a rendered bracket.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <numeric>
#include <tuple>
#include <vector>

#include "imagecore/pixel_buffers.h"
#include "merge/classic_merge.h"
#include "merge/merge_to_hdr.h"
#include "merge/response_gamma.h"
#include "merge/robust_merge.h"
#include "tests/support/bracket_generator.h"
#include "tests/support/image_compare.h"

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// What a merge call leaves behind.
struct Result {
    int code = 0;
    std::vector<uint8_t> rgbe;
    std::array<float, 3> stats{-1.0f, -1.0f, -1.0f};
    std::vector<float> exposures, lut;
    bool operator==(const Result &) const = default;
};

struct Call {
    int option; // plane order or clean-up selector
    int n, w, h, spp, bps, curveMode;
    float target;
    int ghost; // first output byte on entry
};

using Kernel = int (*)(int, int, int, int, int, int, int, float *, float *, const void *, float *,
                       uint8_t *, float);

Result run(Kernel kernel, const Call &c, const std::vector<uint8_t> &stack,
           std::vector<float> exposures, float lut0 = 1.8f)
{
    Result r;
    r.rgbe.assign(size_t(c.w) * size_t(c.h) * 4, 0xAB);
    r.rgbe[0] = uint8_t(c.ghost);
    r.lut.assign(size_t(1) << (c.bps == 16 ? 16 : 8), 0.0f);
    r.lut[0] = lut0;
    r.exposures = std::move(exposures);
    r.code = kernel(c.option, c.n, c.w, c.h, c.spp, c.bps, c.curveMode, r.lut.data(),
                    r.exposures.data(), stack.data(), r.stats.data(), r.rgbe.data(), c.target);
    return r;
}

// Leaves the buffers as run() laid them out: the state a refused call must not change.
int no_kernel(int, int, int, int, int, int, int, float *, float *, const void *, float *, uint8_t *,
              float)
{
    return 0;
}

// ---- Plain readings of the definitions: doubles where they say double, no tables ----

float hat(int v, float a = 4.0f)
{
    const float x = float(v) * (1.0f / 65536.0f) - 0.5f;
    const float h = 1.0f - a * x * x;
    return h * h;
}

std::array<uint8_t, 4> encode(float r, float g, float b)
{
    const float m = std::max({r, g, b});
    if (!(double(m) > 1e-32))
        return {0, 0, 0, 0};
    if (0.3 * double(r) + 0.6 * double(g) + 0.1 * double(b) >= 999999999.0)
        return {255, 255, 255, 255};
    int e = 0;
    const float f = float(std::frexp(double(m), &e) * 256.0 / double(m));
    auto byte = [&](float c) { return uint8_t(std::clamp(std::trunc(c * f), 0.0f, 255.0f)); };
    return {byte(r), byte(g), byte(b), uint8_t(e + 128)};
}

std::array<uint8_t, 4> grey(double luminance)
{
    const double y = float(luminance); // the statistics are floats
    if (y == 0.0)
        return {0, 0, 0, 128};
    int e = 0;
    const float f = float(std::frexp(y, &e) * 256.0 / y);
    const uint8_t v = uint8_t(std::clamp(std::trunc(float(y) * f), 0.0f, 255.0f));
    return {v, v, v, uint8_t(e + 128)};
}

void put(Result &r, int w, int x, int y, std::array<uint8_t, 4> q)
{
    for (size_t c = 0; c < 4; ++c)
        r.rgbe[size_t(4 * w * y) + c * size_t(w) + size_t(x)] = q[c];
}

// Everything before the pixel loop of both classic kernels.
struct Prepared {
    std::vector<int> rank;    // photo indices by ascending exposure, ties higher index first
    std::vector<float> t, T;  // scaled exposures and their reciprocals
    std::vector<double> stat; // min, max, sum, count
};

Prepared prepare(const Call &c, Result &r)
{
    const float gamma = c.curveMode == 1 ? r.lut[0] : c.curveMode == 2 ? 0.45f : 2.2f;
    const int codes = c.bps == 16 ? 65536 : 256;
    for (int i = 1; i < codes; ++i)
        r.lut[size_t(i)] = float(std::pow(double(float(i) * (1.0f / float(codes))), double(gamma)) *
                                 (c.curveMode == 2 ? 65535.0 : 1.0));
    r.lut[0] = r.lut[1];
    Prepared p;
    float mid = 1.0f;
    for (int k = c.n - 1; k >= 0; --k)
        if (std::count_if(r.exposures.begin(), r.exposures.end(),
                          [&](float e) { return r.exposures[size_t(k)] > e; }) == c.n / 2)
            mid = r.exposures[size_t(k)];
    for (float &e : r.exposures) {
        e *= float(2.0 * double(c.target) / double(mid));
        p.t.push_back(e);
        e = 1.0f / e;
        p.T.push_back(e);
    }
    p.rank.resize(size_t(c.n));
    std::iota(p.rank.begin(), p.rank.end(), 0);
    std::sort(p.rank.begin(), p.rank.end(), [&](int a, int b) {
        return p.t[size_t(a)] != p.t[size_t(b)] ? p.t[size_t(a)] < p.t[size_t(b)] : a > b;
    });
    p.stat = {1e11, 0, 0, 0};
    return p;
}

void finish(const Call &c, const Prepared &p, Result &r, bool cleanUp)
{
    r.stats[0] = float(p.stat[0] * 256);
    r.stats[1] = float(p.stat[1] * 256);
    if (p.stat[3] > 0)
        r.stats[2] = float(p.stat[2] * 256 / p.stat[3]);
    for (int y = 0; cleanUp && y < c.h; ++y)
        for (int x = 0; x < c.w; ++x) {
            const uint8_t e = r.rgbe[size_t(4 * c.w * y + 3 * c.w + x)];
            if (e == 0 || e == 255)
                put(r, c.w, x, y, grey(e == 255 ? p.stat[1] : p.stat[0]));
        }
}

void add_pixel(const Call &c, Prepared &p, Result &r, int x, int y, float R, float G, float B,
               bool blueFirst)
{
    const double lum = 0.3 * double(R) + 0.6 * double(G) + 0.1 * double(B);
    if (lum > 0 && lum < p.stat[0])
        p.stat[0] = lum;
    if (lum < 999999999.0) {
        p.stat[1] = std::max(p.stat[1], lum);
        p.stat[2] += lum;
        p.stat[3] += 1;
    }
    std::array<uint8_t, 4> q = encode(R, G, B);
    if (blueFirst)
        std::swap(q[0], q[2]);
    put(r, c.w, x, y, q);
}

// Photo k's samples at pixel i: red, green, blue (0, 1, 2; all 0 below 3 samples) and its luma
// from the bytes or the high bytes.
struct Pixel {
    int s[3], luma;
};
Pixel pixel(const Call &c, const std::vector<uint8_t> &stack, int k, size_t i)
{
    const size_t photo = size_t(c.w) * size_t(c.h) * size_t(c.spp);
    Pixel px{};
    int hi[3];
    for (int ch = 0; ch < 3; ++ch) {
        const size_t at = size_t(k) * photo + i * size_t(c.spp) + size_t(c.spp >= 3 ? ch : 0);
        if (c.bps == 16) {
            uint16_t v;
            std::memcpy(&v, &stack[at * 2], 2);
            px.s[ch] = v;
            hi[ch] = v >> 8;
        } else {
            px.s[ch] = hi[ch] = stack[at];
        }
    }
    px.luma = 54 * hi[0] + 183 * hi[1] + 19 * hi[2];
    return px;
}

Result reference_calc_hdr(const Call &c, const std::vector<uint8_t> &stack,
                          std::vector<float> exposures, float lut0 = 1.8f)
{
    Result r = run(no_kernel, c, stack, std::move(exposures), lut0);
    Prepared p = prepare(c, r);
    const double tmin = p.t[size_t(p.rank[0])], tmax = p.t[size_t(p.rank.back())];
    std::vector<int> level(size_t(c.n), 64000);
    std::vector<float> gap(size_t(c.n), 1.0f);
    for (int j = 0; j < c.n; ++j) {
        const double t = p.t[size_t(p.rank[size_t(j)])];
        if (tmax > tmin)
            level[size_t(j)] = int(60160 + 3840 * (std::log2(1 / t) - std::log2(1 / tmax)) /
                                               (std::log2(1 / tmin) - std::log2(1 / tmax)));
        if (j > 0) {
            const float d =
                std::log2(p.t[size_t(p.rank[size_t(j)])] / p.t[size_t(p.rank[size_t(j - 1)])]);
            gap[size_t(j)] = 8192.0f * (d < 0.0001f ? 0.3f : d);
        }
    }
    std::vector<float> slope(65536, 0.0f);
    rempliPenteExposition(slope.data());
    const int ghost = c.ghost;
    for (int y = 0; y < c.h; ++y)
        for (int x = 0; x < c.w; ++x) {
            const size_t i = size_t(y) * size_t(c.w) + size_t(x);
            float sw = 0, sr = 0, sg = 0, sb = 0, gs = 0;
            int clipped = 0, previous = 0;
            for (int j = 0; j < c.n; ++j) {
                const int k = p.rank[size_t(j)];
                const Pixel px = pixel(c, stack, k, i);
                const int v = px.luma, lv = level[size_t(j)];
                if (v > lv)
                    ++clipped;
                else if (v < 1280)
                    sw = sr = sg = sb = 0;
                if (ghost > 0 && j > 0) {
                    const int m = (previous + v) / 2;
                    const float d =
                        slope[size_t(std::max(m, 1))] - float(v - previous) / gap[size_t(j)];
                    gs += d * d * hat(m);
                }
                previous = v;
                const float d = 0.5f - float(lv) / 65535.0f;
                const float w = v > lv ? 0.0f : hat(v, v <= 32769 ? 4.0f : 1.0f / (d * d));
                sw += w;
                const float q = w * p.T[size_t(k)];
                sr += q * r.lut[size_t(px.s[0])];
                sg += q * r.lut[size_t(px.s[1])];
                sb += q * r.lut[size_t(px.s[2])];
            }
            // Clipped everywhere: the marker in the sums with weight 1. Only a zero weight skips
            // the ghost test, which may still turn the marker into the plain mean.
            if (clipped == c.n) {
                sr = sg = sb = 1e9f;
                sw = 1;
            }
            float rgb[3] = {0, 0, 0};
            if (sw > 0) {
                if (ghost > 0 && gs / float(c.n) > (ghost == 2 ? 0.8f : 1.0f)) {
                    for (int k = 0; k < c.n; ++k)
                        for (int ch = 0; ch < 3; ++ch)
                            rgb[ch] += p.T[size_t(k)] * r.lut[size_t(pixel(c, stack, k, i).s[ch])];
                    for (float &v : rgb)
                        v /= float(c.n);
                } else {
                    rgb[0] = sr / sw;
                    rgb[1] = sg / sw;
                    rgb[2] = sb / sw;
                }
            }
            add_pixel(c, p, r, x, y, rgb[0], rgb[1], rgb[2], c.option == 0);
        }
    finish(c, p, r, c.option != 2);
    r.code = c.h;
    return r;
}

float median(std::vector<float> v)
{
    std::sort(v.begin(), v.end());
    return v[(v.size() - 1) / 2];
}

Result reference_robust(const Call &c, const std::vector<uint8_t> &stack,
                        std::vector<float> exposures)
{
    Result r = run(no_kernel, c, stack, std::move(exposures));
    Prepared p = prepare(c, r);
    auto L = [&](int k, int x, int y) {
        return r.lut[size_t(pixel(c, stack, k, size_t(y) * size_t(c.w) + size_t(x)).luma / 256)];
    };
    for (int y = 0; y < c.h; ++y)
        for (int x = 0; x < c.w; ++x) {
            const size_t i = size_t(y) * size_t(c.w) + size_t(x);
            float R = 0, G = 0, B = 0, W = 0;
            for (int j = 0; j < c.n; ++j) {
                const int k = p.rank[size_t(j)];
                const Pixel px = pixel(c, stack, k, i);
                const int v = px.luma;
                if (v > 64000) {
                    if (j == 0) {
                        R = G = B = 1e9f;
                        W = 1;
                        break;
                    }
                    if (v - pixel(c, stack, p.rank[size_t(j - 1)], i).luma < 52000)
                        break;
                } else if (v < 1280) {
                    if (j == c.n - 1) {
                        R = G = B = 0;
                        break;
                    }
                    R = G = B = W = 0;
                }
                float w = hat(v);
                if (x > 0 && y > 0 && x < c.w - 1 && y < c.h - 1) {
                    float dev = 0;
                    for (int l : p.rank) {
                        std::vector<float> hood;
                        for (int dy = -1; dy <= 1; ++dy)
                            for (int dx = -1; dx <= 1; ++dx)
                                if (dx != 0 || dy != 0 || l != k)
                                    hood.push_back(L(l, x + dx, y + dy));
                        const float m = median(hood);
                        if (m > 0)
                            dev +=
                                hat(v) * std::fabs(1.0f - r.lut[size_t(v / 256)] * p.T[size_t(k)] /
                                                              (p.T[size_t(l)] * m));
                    }
                    // Full agreement is the best weight there is, not none.
                    w = hat(v) > 0 ? hat(v) / std::max(dev, hat(v) / 256.0f) : 0.0f;
                }
                W += w;
                const float q = w * p.T[size_t(k)];
                R += q * r.lut[size_t(px.s[0])];
                G += q * r.lut[size_t(px.s[1])];
                B += q * r.lut[size_t(px.s[2])];
            }
            if (W > 0)
                add_pixel(c, p, r, x, y, R / W, G / W, B / W, false);
            else
                add_pixel(c, p, r, x, y, 0, 0, 0, false);
        }
    finish(c, p, r, c.option != 2);
    r.code = c.h;
    return r;
}

int reference_courbe(int n, int w, int h, int bps, int spp, const std::vector<float> &t,
                     const std::vector<uint8_t> &stack)
{
    const int bpos = spp == 4 ? 2 : spp == 2 ? 0 : spp - 1, pos[3] = {0, bpos / 2, bpos};
    auto sample = [&](int k, int x, int y, int ch) {
        const size_t at =
            (size_t(k) * size_t(h) * size_t(w) + size_t(y) * size_t(w) + size_t(x)) * size_t(spp) +
            size_t(pos[ch]);
        if (bps == 8)
            return int(stack[at]);
        uint16_t v;
        std::memcpy(&v, &stack[at * 2], 2);
        return v >> 8;
    };
    auto Y = [&](int k, int x, int y) {
        return int(0.1 * sample(k, x, y, 0) + 0.6 * sample(k, x, y, 1) + 0.3 * sample(k, x, y, 2));
    };
    std::vector<std::array<int, 2>> pts;
    for (int y = 0; y < h; y += h / 50 + 1)
        for (int x = 0; x < w; x += w / 50 + 1) {
            bool keep = true;
            for (int k = 0; k < n; ++k)
                keep = keep && Y(k, x, y) >= 1 && Y(k, x, y) <= 254;
            if (keep)
                pts.push_back({x, y});
        }
    if (pts.size() < 2)
        return -1;
    pts.pop_back();
    std::vector<int> mean(static_cast<size_t>(n)), order;
    for (int k = 0; k < n; ++k) {
        long sum = 0;
        for (auto [x, y] : pts)
            sum += sample(k, x, y, 0) + sample(k, x, y, 1) + sample(k, x, y, 2);
        mean[size_t(k)] = int(sum / (3 * long(pts.size())));
    }
    for (int round = 0, previous = 255; round < n; ++round) { // distinct means here
        int pick = -1;
        for (int k = 0; k < n; ++k)
            if (mean[size_t(k)] > 0 && mean[size_t(k)] < previous &&
                (pick < 0 || mean[size_t(k)] > mean[size_t(pick)]))
                pick = k;
        order.push_back(pick);
        previous = mean[size_t(pick)];
    }
    auto f = [](int m) { return m <= 128 ? m : 255 - m; };
    float sum = 0, weights = 0;
    for (int i = 0; i + 1 < n; ++i) {
        const int k = order[size_t(i)], kd = order[size_t(i + 1)];
        float inv = 0;
        int used = 0;
        for (auto [x, y] : pts) {
            const int a = Y(k, x, y), b = Y(kd, x, y);
            const float l = std::log(float(a) / float(b));
            if (a >= 65 && a <= 191 && b >= 65 && b <= 191 && l != 0) {
                inv += 1 / l;
                ++used;
            }
        }
        const float g =
            used && t[size_t(kd)] != 0
                ? float(std::log(double(t[size_t(k)]) / t[size_t(kd)])) * (inv / float(used))
                : 0.0f;
        if (g > 1.0f && g < 3.2f) {
            const float wt = float(int((f(mean[size_t(k)]) + f(mean[size_t(kd)])) * 0.5));
            sum += g * wt;
            weights += wt;
        }
    }
    return int((weights > 0 ? sum / weights : 2.2f) * 1000);
}

// Green of pixel (x, y) of a merged rgbeBuf (planes red, green, blue, exponent).
float green(const Result &r, int w, int x, int y)
{
    const uint8_t m = r.rgbe[size_t(4 * w * y + w + x)], e = r.rgbe[size_t(4 * w * y + 3 * w + x)];
    return e == 0 ? 0.0f : std::ldexp(float(m), e - 136);
}

// Photos of one grey code a pixel, one vector a photo.
std::vector<uint8_t> grey_stack(const std::vector<std::vector<uint8_t>> &photos)
{
    std::vector<uint8_t> s;
    for (const auto &photo : photos)
        for (uint8_t v : photo)
            s.insert(s.end(), {v, v, v});
    return s;
}

// Three 8-bit RGB photos (exposures 1, 4, 16: saturation levels 64000, 62080, 60160) whose
// pixels sit on and beside every luma threshold of the kernels: the dark limit 1280, the hat's
// knee, the levels, the clip limit 64000 and a clipped photo 52000 above the one before it.
// Three rows, each the columns shifted by one.
std::vector<uint8_t> edge_stack(int &w)
{
    const std::vector<std::array<int, 3>> columns = {
        {1279, 1280, 1281},    {32768, 32769, 32770}, {32769, 32769, 32769}, {64000, 62080, 60160},
        {64001, 62081, 60161}, {63999, 62079, 60159}, {12001, 64001, 64001}, {12002, 64001, 64001},
        {64001, 64001, 64001}, {1279, 1279, 1279},    {5000, 1279, 40000},   {20000, 30000, 45000}};
    auto triple = [](int luma) { // some R, G, B with 54 R + 183 G + 19 B = luma
        for (int g = 255; g >= 0; --g)
            for (int r = 0; r < 256; ++r) {
                const int rest = luma - 183 * g - 54 * r;
                if (rest >= 0 && rest % 19 == 0 && rest / 19 < 256)
                    return std::array<uint8_t, 3>{uint8_t(r), uint8_t(g), uint8_t(rest / 19)};
            }
        return std::array<uint8_t, 3>{};
    };
    w = int(columns.size());
    std::vector<uint8_t> stack;
    for (size_t k = 0; k < 3; ++k)
        for (size_t y = 0; y < 3; ++y)
            for (size_t x = 0; x < columns.size(); ++x) {
                const auto rgb = triple(columns[(x + y) % columns.size()][k]);
                stack.insert(stack.end(), rgb.begin(), rgb.end());
            }
    return stack;
}

const std::vector<float> kShuffled = {1.0f, 0.25f, 4.0f, 0.0625f, 16.0f};

} // namespace

TEST(CalcHdr, MatchesAScalarReadingOfItsDefinition)
{
    // Shuffled exposures two stops apart, a moving object for the ghost test to find, a sun that
    // clips in every photo; odd sizes.
    const int w = 37, h = 23;
    const auto map = testsupport::make_radiance_map(w, h);
    const testsupport::MovingObject walker{1, 5, 4, 14, 12, 3.0f};
    for (int bps : {8, 16})
        for (int spp : {1, 3})
            for (auto [n, option, ghost, curve] :
                 {std::array{5, 1, 0, 0}, {5, 0, 1, 2}, {5, 2, 2, 0}, {3, 1, 2, 1}, {1, 1, 1, 0}}) {
                const std::vector<float> t(kShuffled.begin(), kShuffled.begin() + n);
                const auto stack = testsupport::render_bracket(map, t, bps, spp, walker);
                const Call c{option, n, w, h, spp, bps, curve, 0.5f, ghost};
                const Result got = run(calc_hdr, c, stack, t),
                             want = reference_calc_hdr(c, stack, t);
                ASSERT_EQ(got.code, h);
                EXPECT_TRUE(got == want) << bps << " bits, " << spp << " samples, " << n
                                         << " photos, order " << option << ", ghost " << ghost;
            }
    int ew = 0;
    const auto edges = edge_stack(ew);
    for (int ghost : {0, 2}) {
        const Call c{1, 3, ew, 3, 3, 8, 0, 1.0f, ghost};
        EXPECT_TRUE(run(calc_hdr, c, edges, {1, 4, 16}) == reference_calc_hdr(c, edges, {1, 4, 16}))
            << "thresholds, ghost " << ghost;
    }
    // Equal exposures: the ghost test's step falls back to 0.3 EV; and levels from exposures
    // whose logarithms are not whole.
    for (const std::vector<float> &t : {std::vector<float>{1, 1}, {1, 1.00005f, 4}}) {
        const int n = int(t.size());
        const auto stack = testsupport::render_bracket(map, t, 8, 3, walker);
        const Call c{1, n, w, h, 3, 8, 0, 0.5f, 1};
        EXPECT_TRUE(run(calc_hdr, c, stack, t) == reference_calc_hdr(c, stack, t)) << n;
    }
}

TEST(CalcHdr, MiddlePhotoTakesTwiceTheTargetAndDoublingItHalvesRadiance)
{
    const auto stack =
        testsupport::render_bracket(testsupport::make_radiance_map(16, 8), {1, 4, 16}, 8, 3);
    const Call c{1, 3, 16, 8, 3, 8, 0, 1.0f, 0};
    const Result one = run(calc_hdr, c, stack, {1, 4, 16});
    Call twice = c;
    twice.target = 2.0f;
    const Result two = run(calc_hdr, twice, stack, {1, 4, 16});
    ASSERT_EQ(one.code, 8);
    // Scaled to 0.5, 2, 8; the array returns their reciprocals.
    EXPECT_EQ(one.exposures, (std::vector<float>{2.0f, 0.5f, 0.125f}));
    // Every reciprocal halves, a power of two: the same mantissas one exponent lower.
    for (size_t i = 0; i < one.rgbe.size(); ++i)
        EXPECT_EQ(int(two.rgbe[i]), int(one.rgbe[i]) - (i % (16 * 4) >= 48 ? 1 : 0)) << i;
    EXPECT_EQ(two.stats[1], one.stats[1] / 2);
}

TEST(CalcHdr, GhostModesMergeDisagreeingPixelsByThePlainMean)
{
    // Two photos 2 EV apart (scaled to 0.25 and 1). Pixel 0 steps as a 2.2 curve predicts;
    // pixel 1 rises far more than the step (mean squared departure 0.88); pixel 2 far more still
    // (1.19).
    const auto stack = grey_stack({{60, 10, 10}, {113, 175, 194}});
    const std::array<int, 3> shortCode = {60, 10, 10}, longCode = {113, 175, 194};
    auto plain_mean = [&](int x) {
        const double a = std::pow(shortCode[size_t(x)] / 256.0, 2.2) * 4;
        return (a + std::pow(longCode[size_t(x)] / 256.0, 2.2)) / 2;
    };
    auto merge = [&](int ghost) {
        const Result r = run(calc_hdr, {1, 2, 3, 1, 3, 8, 0, 0.5f, ghost}, stack, {1, 4});
        EXPECT_EQ(r.code, 1);
        return r;
    };
    const Result weighted = merge(0);
    // The weighted merge of the disagreeing pixels lies 45 % and more from their plain mean.
    for (int x : {1, 2})
        EXPECT_GT(std::fabs(green(weighted, 3, x, 0) / plain_mean(x) - 1), 0.3) << x;
    // Which pixels each ghost mode turns into the plain mean; the others stay weighted.
    for (auto [ghost, p0, p1, p2] : {std::array{1, 0, 0, 1}, {2, 0, 1, 1}, {7, 0, 0, 1}}) {
        const Result r = merge(ghost);
        const int expected[3] = {p0, p1, p2};
        for (int x = 0; x < 3; ++x) {
            if (expected[x]) // RGBE keeps 8 significant bits
                EXPECT_NEAR(green(r, 3, x, 0) / plain_mean(x), 1, 1.0 / 128)
                    << "ghost " << ghost << ", pixel " << x;
            else
                EXPECT_EQ(green(r, 3, x, 0), green(weighted, 3, x, 0))
                    << "ghost " << ghost << ", pixel " << x;
        }
    }
}

TEST(CalcHdr, GhostTestOfSinglePixelsWorkedByHand)
{
    // Two grey photos, one pixel; ghost sum / 2 worked from the slope table, the step between
    // the exposures (8192 x EV, 0.3 EV when they are equal) and the plain hat, against the
    // threshold 1 (mode 1). Without the clean-up pass, so the clipped marker shows.
    // - Exposures 1 and 1.01 (scaled to 1.9802 and 2: reciprocals 0.505 and 0.5, a step of
    //   117.6 codes): 254 falling to 240 with more light is clipped in both photos; m = 63232,
    //   slope 0, departure 3584 / 117.6 = 30.5, hat 0.0184: 8.55, the plain mean.
    // - The same exposures at 255 in both: no departure, the marker stays.
    // - Exposures 1 and 1 (reciprocals 1, target 0.5; the step 2457.6 codes): 85 rising to 115,
    //   m = 25600, slope 1.25, departure 7680 / 2457.6 - 1.25 = 1.875, hat 0.9066: 1.59, the
    //   plain mean (a step of 0.5 EV would give 0.18).
    const struct {
        std::vector<float> t;
        float target;
        int shorter, longer; // codes of the photos with the smaller and the larger exposure
        bool mean;           // whether ghost detection turns the pixel into the plain mean
        bool clipped;        // whether both photos are above their saturation levels
    } cases[] = {{{1.0f, 1.01f}, 1.0f, 254, 240, true, true},
                 {{1.0f, 1.01f}, 1.0f, 255, 255, false, true},
                 {{1.0f, 1.0f}, 0.5f, 85, 115, true, false}};
    for (const auto &k : cases) {
        // Photo 1 is ranked first where the exposures are equal.
        const int c0 = k.t[0] < k.t[1] ? k.shorter : k.longer,
                  c1 = k.t[0] < k.t[1] ? k.longer : k.shorter;
        const auto stack = grey_stack({{uint8_t(c0)}, {uint8_t(c1)}});
        // Photo 1 is the middle one (1.0 stands in for equal exposures): scaled to 2 x target.
        const double tmid = k.t[0] < k.t[1] ? k.t[1] : 1.0;
        const double mean = (tmid / (2 * k.target) / k.t[0] * std::pow(c0 / 256.0, 2.2) +
                             tmid / (2 * k.target) / k.t[1] * std::pow(c1 / 256.0, 2.2)) /
                            2;
        const Result off = run(calc_hdr, {2, 2, 1, 1, 3, 8, 0, k.target, 0}, stack, k.t);
        for (int ghost : {1, 2}) {
            const Result r = run(calc_hdr, {2, 2, 1, 1, 3, 8, 0, k.target, ghost}, stack, k.t);
            ASSERT_EQ(r.code, 1);
            if (k.mean) // RGBE keeps 8 significant bits
                EXPECT_NEAR(green(r, 1, 0, 0), mean, mean / 128) << c0 << " " << c1 << " " << ghost;
            else
                EXPECT_EQ(r.rgbe, off.rgbe) << c0 << " " << c1 << " " << ghost;
        }
        if (k.clipped)
            EXPECT_EQ(off.rgbe, (std::vector<uint8_t>{255, 255, 255, 255})) << c0 << " " << c1;
        else // the weighted merge lies 3.7 % from the plain mean
            EXPECT_GT(std::fabs(green(off, 1, 0, 0) / mean - 1), 0.02) << c0 << " " << c1;
    }
}

TEST(CalcHdr, RefusedArgumentsWriteNothing)
{
    const std::vector<uint8_t> stack(2 * 4 * 4 * 3, 100);
    const Result untouched = run(no_kernel, {1, 2, 4, 4, 3, 8, 0, 0.5f, 0}, stack, {1, 4});
    struct Case {
        Call call;
        std::vector<float> t;
        int code;
    };
    const Case cases[] = {
        {{1, 2, 4, 4, 3, 8, 0, 0.5f, 0}, {1, 0}, -3},
        {{1, 2, 4, 4, 3, 8, 0, 0.5f, 0}, {1, -4}, -3},
        {{1, 2, 4, 4, 3, 8, 0, 0.5f, 0}, {kNaN, 4}, -3},
        {{1, 2, 4, 4, 3, 8, 0, 0.5f, 0}, {1, kInf}, -3},
        {{1, 2, 4, 4, 3, 8, 0, 0.0f, 0}, {1, 4}, -3}, // scaled to 0
        {{1, 2, 4, 4, 3, 8, 0, kNaN, 0}, {1, 4}, -3},
        {{1, 2, 4, 4, 3, 8, 1, 0.5f, 0}, {1, 4}, -3}, // gamma from lut[0], NaN below
        {{1, 0, 4, 4, 3, 8, 0, 0.5f, 0}, {1, 4}, -3},
        {{1, 2, 4, 4, 0, 8, 0, 0.5f, 0}, {1, 4}, -3},
        {{1, 2, 4, 4, 3, 12, 0, 0.5f, 0}, {1, 4}, 0}, // no clean-up of the untouched buffer
        {{0, 2, 4, 4, 3, 12, 0, 0.5f, 0}, {1, 4}, 0},
    };
    for (const Case &k : cases) {
        const Result r = run(calc_hdr, k.call, stack, k.t, k.call.curveMode == 1 ? kNaN : 1.8f);
        EXPECT_EQ(r.code, k.code) << &k - cases;
        EXPECT_EQ(r.rgbe, untouched.rgbe) << &k - cases;
        EXPECT_EQ(r.stats, untouched.stats) << &k - cases;
        EXPECT_TRUE(r.exposures == k.t || std::isnan(k.t[0])) << &k - cases;
    }
    float stats[3];
    std::vector<float> lut(256), t = {1, 4};
    std::vector<uint8_t> out(64);
    EXPECT_EQ(calc_hdr(1, 2, 4, 4, 3, 8, 0, lut.data(), t.data(), nullptr, stats, out.data(), 1),
              -3);
    EXPECT_EQ(calc_hdr(1, 2, 1 << 30, 1 << 30, 16, 8, 0, lut.data(), t.data(), stack.data(), stats,
                       out.data(), 1),
              -3);
}

TEST(RempliPenteExposition, RisesToTheMidtonesThenFallsToZero)
{
    std::vector<float> table(65536, -1.0f), viaJob(65536, -1.0f);
    EXPECT_EQ(rempliPenteExposition(table.data()), 13);
    MergeToHDR().rempliPenteExposition(viaJob.data());
    EXPECT_EQ(viaJob, table);
    EXPECT_EQ(rempliPenteExposition(nullptr), -3);
    for (auto [v, s] : {std::pair{0, 0.4f}, {20480, 1.0f}, {28160, 1.333f}, {12800, 0.625f}})
        EXPECT_NEAR(table[size_t(v)], s, 1e-6) << v;
    EXPECT_TRUE(std::is_sorted(table.begin(), table.begin() + 28161));
    EXPECT_TRUE(
        std::is_sorted(table.begin() + 28160, table.begin() + 51201, std::greater<float>()));
    EXPECT_TRUE(std::all_of(table.begin() + 51200, table.begin() + 65281,
                            [](float s) { return s == 0.0f; }));
    EXPECT_TRUE(std::all_of(table.begin() + 65281, table.end(), [](float s) { return s == -1; }));
}

TEST(Fqs, LowerMedianOfAnyOrder)
{
    std::vector<float> five = {5, 1, 4, 2, 3};
    EXPECT_EQ(fqs(five.data(), 5), 3.0f);
    std::vector<float> eight = {1, 2, 3, 4, 5, 6, 7, 8};
    do {
        std::vector<float> v = eight;
        ASSERT_EQ(fqs(v.data(), 8), 4.0f);
    } while (std::next_permutation(eight.begin(), eight.end()));
    // Every length up to 30 with repeated values, against a full sort.
    for (int n = 1; n <= 30; ++n)
        for (int seed = 0; seed < 20; ++seed) {
            std::vector<float> v;
            for (int i = 0; i < n; ++i)
                v.push_back(float((i * 7 + seed * 13 + i * i * seed) % 11));
            std::vector<float> sorted = v;
            std::sort(sorted.begin(), sorted.end());
            ASSERT_EQ(fqs(v.data(), n), sorted[size_t(n - 1) / 2]) << n << ", " << seed;
        }
    EXPECT_EQ(fqs(nullptr, 3), 0.0f);
}

TEST(CalcHdrRobust, MatchesAScalarReadingOfItsDefinition)
{
    const int w = 29, h = 17;
    const auto map = testsupport::make_radiance_map(w, h);
    const testsupport::MovingObject walker{0, 3, 3, 12, 11, 2.0f};
    for (int spp : {1, 3})
        for (auto [n, selector, curve] : {std::array{5, 0, 0}, {3, 2, 2}, {2, 1, 0}, {1, 0, 0}}) {
            const std::vector<float> t(kShuffled.begin(), kShuffled.begin() + n);
            const auto stack = testsupport::render_bracket(map, t, 8, spp, walker);
            const Call c{selector, n, w, h, spp, 8, curve, 0.5f, 0};
            const Result got = run(calc_hdr_robust, c, stack, t),
                         want = reference_robust(c, stack, t);
            ASSERT_EQ(got.code, h);
            EXPECT_TRUE(got == want) << spp << " samples, " << n << " photos";
        }
    int ew = 0;
    const auto edges = edge_stack(ew);
    const Call c{2, 3, ew, 3, 3, 8, 0, 1.0f, 0};
    EXPECT_TRUE(run(calc_hdr_robust, c, edges, {1, 4, 16}) ==
                reference_robust(c, edges, {1, 4, 16}))
        << "thresholds";
}

TEST(CalcHdrRobust, SuppressesAMovingObjectThePlainMergeKeeps)
{
    // Five photos two stops apart; someone bright walks through the shortest exposure only.
    const int w = 96, h = 64;
    const auto map = testsupport::make_radiance_map(w, h);
    const std::vector<float> t = {0.0625f, 0.25f, 1.0f, 4.0f, 16.0f};
    const auto stack =
        testsupport::render_bracket(map, t, 8, 3, testsupport::MovingObject{0, 30, 36, 42, 50, 8});
    const Call c{1, 5, w, h, 3, 8, 0, 0.5f, 0}; // the exposure-1 photo keeps its scale
    const Result robust = run(calc_hdr_robust, c, stack, t), plain = run(calc_hdr, c, stack, t);
    ASSERT_TRUE(robust.code == h && plain.code == h);
    // Stops between merged and scene green, inside the object (off its rim) and around it.
    auto stops = [&](const Result &r, bool object) {
        std::vector<float> v;
        for (int y = 1; y < h - 1; ++y)
            for (int x = 20; x < 70; ++x)
                if (object == (x > 30 && x < 41 && y > 36 && y < 49))
                    v.push_back(std::log2(green(r, w, x, y) / map.at(x, y, 1)));
        return v;
    };
    // Half a stop: far above the 8-bit quantisation, far below the object's 7 stops.
    const auto robustIn = stops(robust, true), plainIn = stops(plain, true);
    const std::vector<float> zeroIn(robustIn.size(), 0.0f);
    EXPECT_EQ(testsupport::compare_images(robustIn, zeroIn, 0.5).count, 0u);
    EXPECT_GT(testsupport::compare_images(plainIn, zeroIn, 0.5).shareOver, 0.9);
    for (const Result *r : {&robust, &plain}) {
        const auto around = stops(*r, false);
        // A quarter stop: the sun's clipped disc is grey at the largest luminance in both.
        EXPECT_LT(testsupport::compare_images(around, std::vector<float>(around.size(), 0.0f), 0.25)
                      .shareOver,
                  0.05);
    }
}

TEST(CalcHdrRobust, FlatAgreeingPhotosKeepTheirValue)
{
    // Inside a flat photo a pixel equals its neighbourhood median: no deviation is full
    // agreement, the best weight there is, not none (which left the interior black). Without the
    // clean-up pass, which would hide black pixels under grey.
    for (const std::vector<float> &t : {std::vector<float>{1}, {0.25f, 1}}) {
        std::vector<std::vector<uint8_t>> photos;
        for (float e : t)
            photos.push_back(
                std::vector<uint8_t>(25, uint8_t(std::lround(255 * std::pow(0.2 * e, 1 / 2.2)))));
        const Result r =
            run(calc_hdr_robust, {2, int(t.size()), 5, 5, 3, 8, 0, 0.5f, 0}, grey_stack(photos), t);
        ASSERT_EQ(r.code, 5);
        for (int i = 0; i < 25; ++i) // the 255-against-256 scale of the curve and a half code
            EXPECT_NEAR(green(r, 5, i % 5, i / 5), 0.2, 0.2 * 0.03) << t.size() << ", " << i;
    }
}

TEST(CalcHdrRobust, RefusesDepthsOtherThan8AndBadArguments)
{
    const std::vector<uint8_t> stack(2 * 3 * 3 * 3 * 2, 100);
    const Result untouched = run(no_kernel, {0, 2, 3, 3, 3, 8, 0, 0.5f, 0}, stack, {1, 4});
    for (auto [bps, e, code] :
         {std::tuple{16, 1.0f, -1}, {12, 1.0f, -1}, {8, 0.0f, -3}, {8, kNaN, -3}, {8, -1.0f, -3}}) {
        const Result r = run(calc_hdr_robust, {0, 2, 3, 3, 3, bps, 0, 0.5f, 0}, stack, {e, 4});
        EXPECT_EQ(r.code, code) << bps << ", " << e;
        EXPECT_EQ(r.rgbe, untouched.rgbe);
        EXPECT_EQ(r.stats, untouched.stats);
    }
}

TEST(CalcCourbe, GammaFromBrightnessAndExposureRatios)
{
    // Grey code pairs whose ratio is 4^(1/2.2) to within rounding, in a 10 x 3 image, the
    // brighter photo with 4 times the exposure.
    auto pairs = [](double gamma) {
        std::vector<uint8_t> bright, dark;
        const int codes[10] = {65, 66, 73, 74, 81, 82, 89, 90, 91, 99};
        for (int i = 0; i < 30; ++i) {
            const int b = codes[i % 10];
            dark.push_back(uint8_t(b));
            bright.push_back(uint8_t(std::lround(b * std::pow(4.0, 1 / gamma))));
        }
        return grey_stack({bright, dark});
    };
    const auto at22 = pairs(2.2);
    EXPECT_NEAR(calc_courbe(2, 10, 3, 8, 3, std::vector<float>{4, 1}.data(), at22.data()), 2200, 1);
    // Exposures in either order of the photos, and the direction: a steeper curve, a larger gamma.
    EXPECT_NEAR(calc_courbe(2, 10, 3, 8, 3, std::vector<float>{8, 2}.data(), at22.data()), 2200, 1);
    int previous = 0;
    for (double g : {1.8, 2.2, 2.6, 3.0}) {
        const int r = calc_courbe(2, 10, 3, 8, 3, std::vector<float>{4, 1}.data(), pairs(g).data());
        EXPECT_GT(r, previous) << g;
        EXPECT_NEAR(r, g * 1000, g * 1000 * 0.01) << g; // codes are rounded to integers
        previous = r;
    }
    // The last usable grid pixel is left out: here the only one at gamma 3.
    std::vector<uint8_t> lastApart = at22;
    for (size_t c = 0; c < 3; ++c) {
        lastApart[29 * 3 + c] = uint8_t(std::lround(99 * std::pow(4.0, 1 / 3.0)));
        lastApart[(30 + 29) * 3 + c] = 99;
    }
    EXPECT_EQ(calc_courbe(2, 10, 3, 8, 3, std::vector<float>{4, 1}.data(), lastApart.data()),
              calc_courbe(2, 10, 3, 8, 3, std::vector<float>{4, 1}.data(), at22.data()));
    // Pairs that say nothing: 2200.
    EXPECT_EQ(calc_courbe(1, 10, 3, 8, 3, std::vector<float>{1}.data(), at22.data()), 2200);
    EXPECT_EQ(calc_courbe(2, 10, 3, 8, 3, std::vector<float>{64, 1}.data(), at22.data()), 2200);
    EXPECT_EQ(calc_courbe(2, 10, 3, 8, 3, std::vector<float>{4, 0}.data(), at22.data()), 2200);
}

TEST(CalcCourbe, MatchesAScalarReadingOfItsDefinition)
{
    const auto map = testsupport::make_radiance_map(120, 77);
    for (int bps : {8, 16})
        for (int spp : {1, 3})
            for (const std::vector<float> &t :
                 {std::vector<float>{1, 4, 0.25f}, {0.5f, 0.125f, 2, 8, 0.03125f}}) {
                const auto stack = testsupport::render_bracket(map, t, bps, spp);
                const int n = int(t.size());
                EXPECT_EQ(calc_courbe(n, 120, 77, bps, spp, t.data(), stack.data()),
                          reference_courbe(n, 120, 77, bps, spp, t, stack))
                    << bps << " bits, " << spp << " samples, " << n << " photos";
            }
    // Three photos a stop apart, gammas 2.0 above and 2.6 below the middle one, means on both
    // sides of 128, codes on the limits 65 and 191.
    for (int shift = 0; shift < 4; ++shift) {
        std::vector<uint8_t> bright, middle, dark;
        for (int b : {85, 100, 104, 110, 115, 120, 125, 130, 135, 144}) {
            middle.push_back(uint8_t(b + shift));
            bright.push_back(uint8_t(std::lround((b + shift) * std::sqrt(2.0))));
            dark.push_back(uint8_t(std::lround((b + shift) / std::pow(2.0, 1 / 2.6))));
        }
        const auto stack = grey_stack({dark, bright, middle});
        const std::vector<float> t = {0.5f, 2, 1};
        EXPECT_EQ(calc_courbe(3, 5, 2, 8, 3, t.data(), stack.data()),
                  reference_courbe(3, 5, 2, 8, 3, t, stack))
            << shift;
    }
}

TEST(CalcCourbe, UnusableGridsAndArguments)
{
    const std::vector<float> t = {4, 1};
    const std::vector<uint8_t> white(2 * 8 * 8 * 3, 255), black(2 * 8 * 8 * 3, 0);
    std::vector<uint8_t> onePoint =
        grey_stack({std::vector<uint8_t>(64, 255), std::vector<uint8_t>(64, 255)});
    std::fill_n(onePoint.begin(), 3, 100);
    std::fill_n(onePoint.begin() + 64 * 3, 3, 50);
    for (auto [stack, n, w, h, bps, spp, code] : {std::tuple{&white, 2, 8, 8, 8, 3, -1},
                                                  {&black, 2, 8, 8, 8, 3, -1},
                                                  {&onePoint, 2, 8, 8, 8, 3, -1},
                                                  {&white, 2, 8, 0, 8, 3, -1},
                                                  {&white, 0, 8, 8, 8, 3, -3},
                                                  {&white, 2, 8, 8, 12, 3, -3},
                                                  {&white, 2, 0, 8, 8, 3, -3},
                                                  {&white, 2, 1 << 30, 1 << 30, 8, 16, -3}})
        EXPECT_EQ(calc_courbe(n, w, h, bps, spp, t.data(), stack->data()), code)
            << n << " " << w << "x" << h << " " << bps;
    EXPECT_EQ(calc_courbe(2, 8, 8, 8, 3, nullptr, white.data()), -3);
}
