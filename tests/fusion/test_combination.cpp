// The simple combination methods and the alternative intensive blends: refusals and out of memory,
// the known values, plain readings of each blend's definition (scalar, no tables, weights in long
// double), and generated brackets of a known scene through every method.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "fusion/combination.h"
#include "fusion/detail/intensive.h"
#include "fusion/intensive_blends.h"
#include "tests/support/allocation_probe.h"
#include "tests/support/bracket_generator.h"
#include "tonemap/tm_color.h"
#include "tonemap/tm_params.h"

using testsupport::make_radiance_map;
using testsupport::render_bracket;

namespace {

using Bytes = std::vector<uint8_t>;

int sample(const Bytes &b, int bits, size_t i)
{
    return bits == 8 ? b[i] : reinterpret_cast<const uint16_t *>(b.data())[i];
}

// Mid-grey distance of a byte, from its definition.
int grey_distance(int v)
{
    return std::min(255, std::abs((255 * v - 32640) / 128));
}

// Plain reading of the intensive blend (method 11), or with ring set of the bilateral form
// (flag: spatial weights), or with square set of the square form over a zero-bordered plane.
enum class Form { Window, Ring, Square };
struct Blend {
    Form form = Form::Window;
    int step = 1, radius = 3, n = 3, w = 0, h = 0, spp = 3, bpsIn = 8, bpsOut = 8;
    float strength = 0, saturation = 0; // compression and saturation of the 8-bit forms too
    bool flag = false;
    int threads = 0; // the window form's bands
};

std::vector<int> reference(const Blend &b, const Bytes &stack)
{
    const int w = b.w, h = b.h, r = b.radius, spp = b.spp;
    const int pos[3] = {0, spp < 3 ? 0 : 1, spp < 3 ? 0 : 2};
    auto at = [&](int k, int x, int y, int c) {
        return sample(stack, b.bpsIn, ((size_t(k) * h + y) * w + x) * spp + pos[c]);
    };
    auto dist = [&](int k, int x, int y) {
        int c[3];
        for (int i = 0; i < 3; ++i)
            c[i] = at(k, x, y, i) >> (b.bpsIn - 8);
        if (b.form == Form::Ring)
            return grey_distance(int(0.2 * c[0] + 0.7 * c[1] + 0.1 * c[2]));
        if (b.form == Form::Square)
            return int(0.2 * std::abs(c[0] - 128) + 0.7 * std::abs(c[1] - 128) +
                       0.1 * std::abs(c[2] - 128));
        return std::min(255, int(0.2 * grey_distance(c[0]) + 0.7 * grey_distance(c[1]) +
                                 0.1 * grey_distance(c[2])));
    };
    const float range = b.form == Form::Square ? 128.0f : 255.0f;
    auto gauss = [](float q) { return std::exp(-2.0f * q * q); };
    const long double e =
        b.form == Form::Window ? std::exp2(b.strength / 10.0L) : std::exp2(int(b.strength) / 5.0L);
    std::vector<int> out(size_t(w) * h * 3, -1);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            if (b.form == Form::Ring && (y < r || y >= h - r || x < r || x >= w - r))
                continue;
            long double sumW = 0, sum[3] = {0, 0, 0};
            for (int k = 0; k < b.n; ++k) {
                const int z = dist(k, x, y);
                float S = float(z);
                auto term = [&](int dx, int dy) {
                    const int v = x + dx < 0 || x + dx >= w || y + dy < 0 || y + dy >= h
                                      ? 0
                                      : dist(k, x + dx, y + dy);
                    return gauss(float(std::abs(v - z)) / range) * float(v);
                };
                if (b.form == Form::Ring) {
                    for (int d = 1; d <= r; d += b.step)
                        for (int i = 0; i < d; ++i)
                            S += (b.flag ? gauss(float(d) / float(r)) : 1.0f) *
                                 (term(i, d - i) + term(d - i, -i) + term(-i, -(d - i)) +
                                  term(-(d - i), i));
                } else if (b.form == Form::Square) {
                    for (int dy = -r; dy <= r; dy += b.step)
                        for (int dx = -r; dx <= r; dx += b.step)
                            S += term(dx, dy);
                } else {
                    for (int dy = std::max(-r, -y); dy <= std::min(r, h - 1 - y); dy += b.step)
                        for (int dx = std::max(-r, -x); dx <= std::min(r, w - 1 - x); dx += b.step)
                            S += gauss(float(dy) / float(r)) * gauss(float(dx) / float(r)) *
                                 term(dx, dy);
                }
                const long double W =
                    int(b.strength) != 0 ? std::pow(S + 1.0L, -e) : 1e6L / (S + 1.0L);
                sumW += W;
                for (int c = 0; c < 3; ++c)
                    sum[c] += W * at(k, x, y, c) * (b.bpsIn == 8 && b.bpsOut == 16 ? 256 : 1);
            }
            const float top = b.bpsOut == 8 ? 255.0f : 65535.0f;
            float v[3], rgb[3], hsl[3];
            for (int c = 0; c < 3; ++c)
                rgb[c] = (v[c] = float(sum[c] / sumW)) / top;
            if (int(b.saturation) != 0) {
                rgb2hsl_norm(rgb, hsl);
                hsl[1] = std::min(1.0f, hsl[1] * float(1 + b.saturation * 0.1));
                hsl2rgb_norm(hsl, rgb);
                for (int c = 0; c < 3; ++c)
                    v[c] = rgb[c] * top;
            }
            for (int c = 0; c < 3; ++c)
                out[(size_t(y) * w + x) * 3 + c] = int(std::clamp(v[c], 0.0f, top));
        }
    return out;
}

// Truncating means over x - l .. x + r of each row, then over y - u .. y + d of each column,
// counting only positions inside the image.
std::vector<int> box(const std::vector<int> &a, int w, int h, int l, int r, int u, int d)
{
    auto pass = [&](const std::vector<int> &in, bool rows, int lo, int hi) {
        std::vector<int> out(in.size());
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int at = rows ? x : y, n = rows ? w : h;
                int sum = 0, count = 0;
                for (int i = std::max(0, at - lo); i <= std::min(n - 1, at + hi); ++i, ++count)
                    sum += in[rows ? size_t(y) * w + i : size_t(i) * w + x];
                out[size_t(y) * w + x] = sum / count;
            }
        return out;
    };
    return pass(pass(a, true, l, r), false, u, d);
}

// Plain readings of moyenne and hsauto (photos a and b unused) and kv_combi_2images (photos a and
// b), the three positions of each pixel.
std::vector<int> reference_mask_blend(int method, int n, int a, int b, int w, int h, int spp,
                                      int bpsIn, int bpsOut, const Bytes &stack)
{
    const bool hs = method != kMethodTwoPhotos;
    const int mid = hs ? (spp - 1) / 2 : (spp < 3 ? 0 : 1), last = hs ? spp - 1 : (spp < 3 ? 0 : 2);
    const int pos[3] = {0, mid, last};
    const bool out16 = bpsIn == 16 || bpsOut == 16;
    const size_t P = size_t(w) * h;
    auto at = [&](int k, size_t i, int c) {
        return sample(stack, bpsIn, (k * P + i) * spp + pos[c]);
    };
    std::vector<int> out(P * 3), mask(P);
    if (hs) {
        for (size_t i = 0; i < P; ++i) {
            for (int c = 0; c < 3; ++c) {
                long S = 0;
                for (int k = 0; k < n; ++k)
                    S += at(k, i, c);
                out[i * 3 + c] = int(bpsIn == 8 && out16 ? std::min(S * 256 / n, 65535L) : S / n);
            }
            const int L =
                (19 * out[i * 3] + 183 * out[i * 3 + 1] + 54 * out[i * 3 + 2]) >> (out16 ? 16 : 8);
            mask[i] = std::max(0, 255 - L);
        }
        if (spp == 1 || method == kMethodMean)
            return out;
        mask = box(mask, w, h, 4 * n + 2, 4 * n + 1, 4 * n + 2, 4 * n + 2);
        for (size_t i = 0; i < P * 3; ++i) {
            const long u = out[i], m = mask[i / 3], top = out16 ? 65535 : 255;
            const int shift = out16 ? 16 : 8;
            out[i] = int(std::min(top, ((255 - (((top - u) * (255 - m)) >> shift)) * u +
                                        ((u * m) >> shift) * (top - u)) >>
                                           8));
        }
        return out;
    }
    auto brightness = [&](int k) {
        long sum = 0;
        for (int y = 0; y<h; y += h> 50 ? h / 50 + 1 : 1)
            for (int x = 0; x<w; x += w> 50 ? w / 50 + 1 : 1)
                for (int c = 0; c < 3; ++c)
                    sum += at(k, size_t(y) * w + x, c) >> (bpsIn - 8);
        return sum / (spp * 2500);
    };
    const int dark = brightness(a) <= brightness(b) ? a : b, bright = dark == a ? b : a;
    for (size_t i = 0; i < P; ++i) {
        const int q = bpsIn - 8,
                  s = (at(dark, i, 0) >> q) + (at(dark, i, 1) >> q) + (at(dark, i, 2) >> q);
        mask[i] = std::clamp(int(float(s - 204) * 0.38333333f) + 128, 0, 255);
    }
    mask = box(mask, w, h, 10, 9, 10, 10);
    for (size_t i = 0; i < P * 3; ++i) {
        const float f = mask[i / 3] / 256.0f;
        const float v =
            float(at(dark, i / 3, int(i % 3))) * f + float(at(bright, i / 3, int(i % 3))) * (1 - f);
        out[i] = bpsIn == 8 && out16 ? std::min(int(double(v) * 255.0), 65535)
                                     : std::min(int(v), out16 ? 65535 : 255);
    }
    return out;
}

// Runs the blend; the three positions of each pixel (-1 where nothing was written), with the
// bilateral form's border, the fourth channel of spp 4 and the row padding checked untouched.
std::vector<int> run(const Blend &b, const Bytes &stack, int *rc)
{
    const int rowLen = b.w * b.spp + 5, bits = b.bpsOut, r = b.radius;
    Bytes out(size_t(rowLen) * b.h * size_t(bits / 8), 0x5A);
    out[0] = b.flag ? 1 : 0;
    if (b.form == Form::Ring)
        *rc = kv_combi_intensive2(b.step, r, int(b.strength), int(b.saturation), b.n, b.w, b.h,
                                  rowLen, b.spp, 0, stack.data(), out.data());
    else if (b.form == Form::Square)
        *rc = kv_combi_intensive3(b.step, r, int(b.strength), 0, b.n, b.w, b.h, rowLen, b.spp, 0,
                                  stack.data(), out.data());
    else
        *rc = kv_combi_intensive(b.step, r, b.n, b.w, b.h, rowLen, b.spp, b.bpsIn, bits,
                                 stack.data(), out.data(), b.strength, b.saturation, b.threads);
    std::vector<int> px;
    const int pos[3] = {0, b.spp < 3 ? 0 : 1, b.spp < 3 ? 0 : 2};
    for (int y = 0; y < b.h; ++y)
        for (int i = 0; i < rowLen; ++i) {
            const int x = i / b.spp, c = i % b.spp;
            const bool border =
                b.form == Form::Ring && (y < r || y >= b.h - r || x < r || x >= b.w - r);
            const size_t at = size_t(y) * size_t(rowLen) + size_t(i);
            if (x < b.w && c == 0)
                for (int k : pos)
                    px.push_back(border ? -1 : sample(out, bits, at + size_t(k)));
            if ((x >= b.w || border || (c > 0 && (b.spp < 3 || c > 2))) && at > 0) {
                EXPECT_EQ(sample(out, bits, at), bits == 8 ? 0x5A : 0x5A5A) << y << " " << i;
            }
        }
    return px;
}

// Three photos of the scene two and four stops apart, spp channels (2 and 4 padded from RGB).
Bytes bracket(int w, int h, int bits, int spp)
{
    const Bytes rgb = render_bracket(make_radiance_map(w, h), {0.05f, 0.4f, 3.0f}, bits, 3);
    const size_t B = size_t(bits / 8), n = rgb.size() / 3 / B;
    Bytes out(n * size_t(spp) * B);
    for (size_t i = 0; i < n; ++i)
        for (int c = 0; c < spp; ++c)
            std::memcpy(&out[(i * size_t(spp) + size_t(c)) * B], &rgb[(i * 3 + size_t(c % 3)) * B],
                        B);
    return out;
}

} // namespace

TEST(CombinationMethods, RefuseBadArgumentsAndOutOfMemoryWithoutWriting)
{
    Bytes stack(3 * 8 * 8 * 3, 100), out(8 * 8 * 3 * 2, 7);
    const uint8_t *s = stack.data();
    uint8_t *o = out.data();
    const int cases[][2] = {
        {moyenne(0, 8, 8, 24, 3, 8, 8, s, o), -3}, // n below 1 divides by zero
        {moyenne(3, 8, 0, 24, 3, 8, 8, s, o), 0},  // no rows
        {hsauto(3, 8, 8, 24, 0, 8, 8, 3, nullptr, nullptr, o), -3},
        {hsauto(0, 8, 8, 24, 0, 8, 8, 3, nullptr, s, o), -3},     // no photos to average
        {kv_combi_2images(3, 0, 3, 8, 8, 24, 8, 8, 3, s, o), -3}, // index past the stack
        {kv_combi_2images(3, -1, 1, 8, 8, 24, 8, 8, 3, s, o), -3},
        {kv_combi_intensive(0, 5, 3, 8, 8, 24, 3, 8, 8, s, o, 0, 0), -3}, // an endless loop
        {kv_combi_intensive(2, 0, 3, 8, 8, 24, 3, 8, 8, s, o, 0, 0), -3}, // no window
        {kv_combi_intensive2(1, 0, 0, 0, 3, 8, 8, 24, 3, 0, s, o), -3},
        {kv_combi_intensive2(1, 4, 0, 0, 3, 8, 8, 24, 3, 0, s, o), 4}, // h <= 2r: the radius
        {kv_combi_intensive3(0, 2, 0, 0, 3, 8, 8, 24, 3, 0, s, o), -3},
        {combine_photos(kMethodFusionAdjust, std::array<float, 20>{}.data(), 3, 8, 8, 24, 3, 8, 8,
                        s, o),
         -3},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cases[i][0], cases[i][1]) << "case " << i;
    EXPECT_EQ(out, Bytes(out.size(), 7));
    // Each allocation failing in turn (the hsauto work area among them, when the caller gives
    // none): -4 with the output as it was, until the call has all it needs.
    const int w = 12, h = 10, r = w * 3;
    const Bytes scene = bracket(w, h, 8, 3);
    const uint8_t *in = scene.data();
    const std::pair<int, std::function<int(uint8_t *)>> calls[] = {
        {h, [&](uint8_t *q) { return hsauto(3, w, h, r, 0, 8, 8, 3, nullptr, in, q); }},
        {h, [&](uint8_t *q) { return kv_combi_2images(3, 0, 2, w, h, r, 8, 8, 3, in, q); }},
        {h, [&](uint8_t *q) { return kv_combi_intensive(2, 3, 3, w, h, r, 3, 8, 8, in, q, 5, 2); }},
        {h - 2,
         [&](uint8_t *q) { return kv_combi_intensive2(1, 2, 1, 1, 3, w, h, r, 3, 0, in, q); }},
        {h, [&](uint8_t *q) { return kv_combi_intensive3(1, 2, 1, 0, 3, w, h, r, 3, 0, in, q); }},
    };
    for (size_t c = 0; c < std::size(calls); ++c)
        for (long n = 0;; ++n) {
            Bytes blank(size_t(w) * h * 3, 0x5A);
            testsupport::alloc::failAt = n + 1, testsupport::alloc::seen = 0;
            const int rc = calls[c].second(blank.data());
            testsupport::alloc::failAt = 0;
            if (rc != -4) {
                EXPECT_EQ(rc, calls[c].first) << c;
                EXPECT_GT(n, 0) << c << ": allocates nothing?";
                break;
            }
            ASSERT_EQ(blank, Bytes(blank.size(), 0x5A)) << c << " " << n;
            ASSERT_LT(n, 10) << c;
        }
}

TEST(CombinationMethods, KnownValues)
{
    // Saturated bytes: the mean reaches 65280 in 16 bits (x 256), also through hsauto for grey,
    // the two-photo blend 65025 (x 255).
    const Bytes white(2 * 6 * 6 * 3, 255);
    std::vector<uint16_t> out(6 * 6 * 3);
    uint8_t *o = reinterpret_cast<uint8_t *>(out.data());
    ASSERT_EQ(moyenne(2, 6, 6, 18, 3, 8, 16, white.data(), o), 6);
    EXPECT_EQ(out, std::vector<uint16_t>(out.size(), 65280));
    out.assign(out.size(), 0);
    ASSERT_EQ(hsauto(2, 6, 6, 6, 0, 8, 16, 1, nullptr, white.data(), o), 6);
    EXPECT_EQ(std::count(out.begin(), out.end(), 65280), 36);
    ASSERT_EQ(kv_combi_2images(2, 0, 1, 6, 6, 18, 8, 16, 3, white.data(), o), 6);
    EXPECT_EQ(out, std::vector<uint16_t>(out.size(), 65025));
    // Flat 10 x 10 photos of 100, 110 and 120 have one brightness (30000, 33000 and 36000 over
    // 7500, truncated: 4): the first named is the dark one, the brighter 120 too, and gives the
    // mask trunc((3 v - 204) x 0.3833) + 128: 164 for 100, 176 for 110, 187 for 120.
    Bytes pair(2 * 10 * 10 * 3), out8(300);
    for (auto [a, b, mask] : {std::array{100, 110, 164}, {110, 100, 176}, {120, 100, 187}}) {
        std::fill(pair.begin(), pair.begin() + 300, uint8_t(a));
        std::fill(pair.begin() + 300, pair.end(), uint8_t(b));
        ASSERT_EQ(kv_combi_2images(2, 0, 1, 10, 10, 30, 8, 8, 3, pair.data(), out8.data()), 10);
        EXPECT_EQ(out8[0], int(a * (mask / 256.0f) + b * (1 - mask / 256.0f))) << a << " " << b;
    }
    // The mid-grey distance table: 0 at 128, 255 at black, 253 at white.
    uint8_t D[256];
    fusion::detail::grey_distance_table(D);
    EXPECT_EQ(D[128] * 1000000 + D[0] * 1000 + D[255], 255253);
    for (auto [v, byte] :
         {std::pair{255.5f, 255}, {254.9f, 254}, {-3.0f, 0}, {NAN, 0}, {1e30f, 255}})
        EXPECT_EQ(lim8f(v), byte) << v;
}

TEST(MaskBlends, FollowTheirDefinitions)
{
    // The mean, hsauto and the two-photo blend over depths, channel counts (spp 2 reads
    // position 0 alone in the two-photo blend, 0 and 1 in the others), both orders of a pair,
    // images narrower than the blur boxes. hsauto leaves the stack alone without a work area and
    // gives the same with one; its swap exchanges the outer positions.
    const struct {
        int w, h, spp, bpsIn, bpsOut, a, b;
    } cases[] = {{37, 29, 3, 8, 8, 0, 2},  {37, 29, 3, 8, 16, 2, 0}, {60, 55, 4, 16, 16, 1, 2},
                 {23, 17, 2, 8, 16, 0, 1}, {9, 70, 1, 8, 8, 2, 1},   {61, 53, 3, 16, 8, 0, 1}};
    for (const auto &c : cases) {
        const Bytes stack = bracket(c.w, c.h, c.bpsIn, c.spp), before = stack;
        const int bits = c.bpsIn == 16 || c.bpsOut == 16 ? 16 : 8, rowLen = c.w * c.spp;
        const size_t bytes = size_t(rowLen * c.h * bits / 8);
        for (int method : {kMethodMean, kMethodHighlightsShadows, kMethodTwoPhotos}) {
            const bool hs = method == kMethodHighlightsShadows, two = method == kMethodTwoPhotos;
            if (two && c.bpsIn == 16 && c.bpsOut == 8)
                continue; // refused
            auto blend = [&](int swap, uint8_t *work, Bytes &out) {
                out.assign(bytes, 0x5A);
                const auto *in = stack.data();
                return two ? kv_combi_2images(3, c.a, c.b, c.w, c.h, rowLen, c.bpsIn, c.bpsOut,
                                              c.spp, in, out.data())
                       : hs
                           ? hsauto(3, c.w, c.h, rowLen, swap, c.bpsIn, c.bpsOut, c.spp, work, in,
                                    out.data())
                           : moyenne(3, c.w, c.h, rowLen, c.spp, c.bpsIn, c.bpsOut, in, out.data());
            };
            Bytes out, worked, swapped, work(size_t(2 * c.w * c.h));
            ASSERT_EQ(blend(0, nullptr, out), c.h);
            ASSERT_EQ(stack, before);
            const auto want = reference_mask_blend(method, 3, c.a, c.b, c.w, c.h, c.spp, c.bpsIn,
                                                   c.bpsOut, stack);
            const int mid = two ? (c.spp < 3 ? 0 : 1) : (c.spp - 1) / 2;
            const size_t pos[3] = {0, size_t(mid), size_t(two ? (c.spp < 3 ? 0 : 2) : c.spp - 1)};
            for (size_t i = 0; i < want.size(); ++i)
                ASSERT_EQ(sample(out, bits, i / 3 * size_t(c.spp) + pos[i % 3]), want[i])
                    << method << " " << c.w << " " << c.spp << " at " << i;
            if (!hs)
                continue;
            blend(0, work.data(), worked);
            EXPECT_EQ(worked, out);
            blend(1, nullptr, swapped);
            for (size_t i = 0; i < want.size(); i += 3) {
                ASSERT_EQ(sample(swapped, bits, i / 3 * size_t(c.spp)), want[i + 2]);
                ASSERT_EQ(sample(swapped, bits, (i / 3 + 1) * size_t(c.spp) - 1), want[i]);
            }
        }
    }
}

TEST(IntensiveBlends, FollowTheirDefinitionsAndTheGreyerPhotoWins)
{
    // Depths, strengths (|p0| < 1 weighs by 10^6 / (S + 1)), saturation, steps that leave the
    // clipped windows off the kernel's grid, and two samples a pixel (position 0 alone). The
    // bilateral form writes interior pixels only, with the switch from the first output byte;
    // the square form sums its whole grid, the outside counting as distance 0.
    const Blend blends[] = {
        {Form::Window, 1, 3, 3, 23, 17, 3, 8, 8, 0.0f, 0},
        {Form::Window, 2, 5, 3, 23, 17, 3, 8, 16, 0.5f, 4},
        {Form::Window, 3, 4, 3, 23, 17, 4, 16, 16, 15.0f, -6},
        {Form::Window, 2, 3, 3, 23, 17, 2, 8, 16, -12.0f, 0},
        {Form::Window, 1, 2, 3, 23, 17, 1, 8, 8, 8.0f, 5},
        {Form::Ring, 1, 3, 3, 21, 16, 3, 8, 8, 0, 0, true},
        {Form::Ring, 2, 5, 3, 21, 16, 3, 8, 8, 3, 4, false},
        {Form::Ring, 1, 4, 3, 21, 16, 2, 8, 8, -2, -3, true},
        {Form::Square, 1, 3, 3, 21, 16, 3, 8, 8, 0, 0},
        {Form::Square, 3, 4, 3, 21, 16, 4, 8, 8, 4, 0},
    };
    for (const Blend &b : blends) {
        const Bytes stack = bracket(b.w, b.h, b.bpsIn, b.spp);
        int rc = 0;
        const auto got = run(b, stack, &rc), want = reference(b, stack);
        EXPECT_EQ(rc, b.form == Form::Ring ? b.h - b.radius : b.h);
        ASSERT_EQ(got.size(), want.size());
        // The kernel's weights are relative to the best photo and its output truncated: a float
        // quotient may land one step either side of an integer.
        for (size_t i = 0; i < got.size(); ++i)
            ASSERT_LE(std::abs(got[i] - want[i]), 1)
                << int(b.form) << " " << b.step << " " << b.radius << " at " << i;
        // Rows in pieces on 3 and 8 threads: every pixel as on one.
        if (b.form == Form::Window)
            for (int threads : {3, 8}) {
                Blend banded = b;
                banded.threads = threads;
                int bandedRc = 0;
                EXPECT_EQ(run(banded, stack, &bandedRc), got) << threads;
                EXPECT_EQ(bandedRc, rc);
            }
    }
    // Flat photos far from mid-grey make neighbourhood sums near 10^6; at Strength 40 each
    // (S + 1)^-16 lies below the smallest float. The result still follows the photo nearest
    // mid-grey (60, distance 135, against 30 and 200), as the weights in long double say.
    const int w = 90, h = 90, P = w * h * 3;
    Bytes stack(size_t(3 * P), 30);
    std::fill(stack.begin() + P, stack.begin() + 2 * P, 60);
    std::fill(stack.begin() + 2 * P, stack.end(), 200);
    for (float strength : {40.0f, 0.0f}) {
        const Blend b{Form::Window, 3, 40, 3, w, h, 3, 8, 8, strength, 0};
        int rc = 0;
        const auto got = run(b, stack, &rc), want = reference(b, stack);
        ASSERT_EQ(rc, h);
        for (size_t i : {size_t(0), got.size() / 2 + 1, got.size() - 1}) {
            EXPECT_NEAR(got[i], want[i], 1) << strength << " " << i;
            EXPECT_GT(got[i], 60) << strength; // pulled a little towards 200 (distance 143)
            EXPECT_LT(got[i], 130) << strength;
        }
    }
}

TEST(IntensiveBlends, FlatPhotosBlendByTheirGreyDistances)
{
    // Two flat 9 x 9 photos, A (3, 128, 129) and B (228, 228, 229). Every sample of a window
    // holds the centre's distance z at a range weight of 1, so the centre pixel's sum is
    // S = z (1 + the window's spatial weights); with Strength (compression) 0 the result is
    // (x_A (S_B + 1) + x_B (S_A + 1)) / (S_A + S_B + 2), at 10 (5) the same with the squares.
    // - method 11 mixes the channels' distances: trunc(0.2 D[3] + 0.7 D[128] + 0.1 D[129]) =
    //   trunc(0.2 x 249 + 0.1 x 1) = 49, B 199; radius 2 spatial weights (1 + 2 e^-0.5 +
    //   2 e^-2)^2 = 6.1689: S 351.28 and 1426.62, giving 47.53, 147.79, 148.79 or 15.91,
    //   133.74, 134.74;
    // - the bilateral form takes the distance of the mix: D[trunc(103.1)] = 49, D[228] = 199;
    //   rings 1 and 2 hold 12 samples: S 637 and 2587, giving 47.50, 147.78, 148.78 or 15.89,
    //   133.73, 134.73;
    // - the square form |c - 128|: trunc(25 + 0.1) = 25, trunc(100.1) = 100, 25 samples and
    //   the centre again: S 650 and 2600, giving 48.04, 148.02, 149.02 or 16.26, 133.90, 134.90.
    const int w = 9, h = 9, P = w * h;
    Bytes stack(size_t(2 * P * 3));
    for (int i = 0; i < P; ++i)
        for (int c = 0; c < 3; ++c) {
            stack[size_t(i * 3 + c)] = uint8_t(c == 0 ? 3 : 127 + c);
            stack[size_t((P + i) * 3 + c)] = uint8_t(c < 2 ? 228 : 229);
        }
    for (auto [form, strength, r, g, b] : {std::array{0, 0, 47, 147, 148},
                                           {0, 10, 15, 133, 134},
                                           {1, 0, 47, 147, 148},
                                           {1, 5, 15, 133, 134},
                                           {2, 0, 48, 148, 149},
                                           {2, 5, 16, 133, 134}}) {
        Bytes out(size_t(P * 3), 0);
        const uint8_t *s = stack.data();
        const int rc =
            form == 0 ? kv_combi_intensive(1, 2, 2, w, h, w * 3, 3, 8, 8, s, out.data(),
                                           float(strength), 0)
            : form == 1
                ? kv_combi_intensive2(1, 2, strength, 0, 2, w, h, w * 3, 3, 0, s, out.data())
                : kv_combi_intensive3(1, 2, strength, 0, 2, w, h, w * 3, 3, 0, s, out.data());
        ASSERT_GT(rc, 0) << form;
        const uint8_t *centre = &out[size_t((4 * w + 4) * 3)];
        EXPECT_EQ((std::array<int, 3>{centre[0], centre[1], centre[2]}), (std::array{r, g, b}))
            << "form " << form << ", strength " << strength;
    }
}

TEST(CombinationMethods, BracketsShowTheScene)
{
    // Each method on three photos four and three stops apart: the result follows the scene's
    // log luminance (swapped photos or channels, or noise, fall far below) and a patch keeps the
    // hue its photos show (gamma-encoded) within the two degrees or so that a per-channel mix of
    // clipped and unclipped samples moves it; swapped channels move it by a hundred. In the
    // scene's dark corner the intensive blend favours the brighter photos and hsauto lifts the
    // shadows: both end above the mean there.
    const int w = 96, h = 64;
    const auto map = make_radiance_map(w, h);
    const Bytes stack = render_bracket(map, {1 / 64.0f, 0.25f, 2.0f}, 8, 3);
    float p[kTmParamCount] = {};
    double corner[15] = {};
    const struct {
        int method;
        float p0, p1, radius, step;
        double correlation;
    } runs[] = {{kMethodFusionIntensive, 10, 2, 12, 2, 0.85}, // a local operator: 0.87 here
                {kMethodHighlightsShadows, 0, 0, 0, 0, 0.95},
                {kMethodTwoPhotos, 2, 0, 0, 0, 0.9},
                {kMethodMean, 0, 0, 0, 0, 0.95}};
    for (const auto &r : runs) {
        p[0] = r.p0, p[1] = r.p1, p[kInRadius] = r.radius, p[kInStep] = r.step;
        std::vector<uint16_t> out(size_t(w) * h * 3);
        ASSERT_EQ(combine_photos(r.method, p, 3, w, h, w * 3, 3, 8, 16, stack.data(),
                                 reinterpret_cast<uint8_t *>(out.data())),
                  h);
        std::vector<double> unit(out.begin(), out.end());
        for (double &v : unit)
            v /= 65535.0;
        const auto m = testsupport::scene_match(unit, 3, map, 1 / 2.2);
        EXPECT_GT(m.correlation, r.correlation) << r.method;
        for (double e : m.hueError)
            EXPECT_LT(e, 4.0) << r.method;
        for (int y = h - h / 8; y < h; ++y)
            for (int x = 0; x < w / 8; ++x)
                corner[r.method] += unit[(size_t(y) * w + x) * 3 + 1];
    }
    EXPECT_GT(corner[kMethodFusionIntensive], corner[kMethodMean] * 1.1);
    EXPECT_GT(corner[kMethodHighlightsShadows], corner[kMethodMean] * 1.1);
}
