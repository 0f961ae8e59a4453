// The out-of-core mode of the local operator: strip files, the Radiance reader's values and
// codes, each stage and the whole enhancer against the run in memory, and the temporary files:
// none left after success, failure or a run dropped between stages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include "imagecore/radiance.h"
#include "tests/support/fixtures.h"
#include "tests/support/scratch_files.h"
#include "tests/tonemap/alloc_failure.h"
#include "tests/tonemap/tm_test_util.h"
#include "tonemap/deredid_luminance.h"
#include "tonemap/deredid_poisson.h"
#include "tonemap/deredid_stages.h"
#include "tonemap/detail/deredid_levels.h"
#include "tonemap/multigrid.h"
#include "tonemap/relax_sweeps.h"
#include "tonemap/rgbe_source.h"
#include "tonemap/strip_io.h"
#include "tonemap/tm_dim.h"

using testsupport::FileSizeLimit;
using testsupport::PrivateTmp;

namespace {

using Bytes = std::vector<uint8_t>;
using Floats = std::vector<float>;

Bytes header(int w, int h)
{
    const std::string s = imagecore::radiance_header("", h, w);
    return Bytes(s.begin(), s.end());
}

// An rgbeBuf as a Radiance file: run-length rows, or flat ones (R G B E a pixel).
void write_radiance(const std::string &path, const Bytes &rgbe, int w, int h, bool flat = false)
{
    Bytes file = header(w, h), work(2 * size_t(w));
    for (int y = 0; y < h; ++y) {
        const uint8_t *row = rgbe.data() + size_t(y) * 4 * size_t(w);
        if (flat) {
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < 4; ++c)
                    file.push_back(row[c * w + x]);
            continue;
        }
        FILE *f = ::tmpfile();
        imagecore::radiance_write_row(f, row, w, work.data());
        const long n = std::ftell(f);
        std::rewind(f);
        Bytes coded(static_cast<size_t>(n));
        ASSERT_EQ(std::fread(coded.data(), 1, coded.size(), f), coded.size());
        std::fclose(f);
        file.insert(file.end(), coded.begin(), coded.end());
    }
    testsupport::write_file(path, file);
}

std::vector<float> defaults(float mode)
{
    std::vector<float> p(kTmParamCount);
    tmparam_default(kMethodDeredid, 0, p.data());
    p[kDeSmoothingMode] = mode;
    return p;
}

optim_param_struct out_of_core(const std::string &radiance, const char *slot1 = nullptr)
{
    optim_param_struct o{1, 1, {radiance.c_str(), slot1}};
    return o;
}

// One enhancer run through the three stages as the tone-mapping job calls them, in memory
// (radiance empty) or out of core from the Radiance file.
struct EnhancerRun {
    int rc1 = 0, rc2 = 0, rc3 = 0;
    float lum[kLumParamCount] = {};
    Floats afterStage1, afterStage2;
    std::vector<uint16_t> out;
};

EnhancerRun enhance(const Bytes &rgbe, int w, int h, const std::vector<float> &p,
                    const std::string &radiance = "")
{
    EnhancerRun r;
    tm_dims d{};
    tm_dim(w, h, p.data(), &d);
    const size_t total = size_t(std::max(d.v[kTdTotalA], d.v[kTdTotalB]));
    Floats work(total, 0.0f), table(256);
    exp_lut(table.data(), -8);
    Bytes source(std::max(rgbe.size(), 4 * total));
    std::copy(rgbe.begin(), rgbe.end(), source.begin());
    const bool ooc = !radiance.empty();
    const optim_param_struct opt = ooc ? out_of_core(radiance) : optim_param_struct{1, 0, {}};
    int info[7] = {};
    float primaries[8];
    if (ooc)
        rgbe_dim2(radiance.c_str(), primaries, info);
    const dim_param dim{{w, h, 3, 8, 16, 0, 3 * w, 0}};
    r.rc1 = calc_tm1(0, p.data(), &d, r.lum, table.data(), nullptr, dim, info, opt,
                     ooc ? nullptr : source.data(), source.size(), work.data());
    r.afterStage1 = work;
    r.rc2 = calc_tm2(int(d.v[kTdCoarseWidthA]), int(d.v[kTdCoarseHeightA]), d.v[kTdTotalA],
                     int(d.v[kTdLevelsA]), p.data(), work.data(), dim, opt);
    r.afterStage2.assign(work.begin(), work.begin() + ptrdiff_t(w) * h);
    Floats luminance = r.afterStage2;
    Bytes copy3 = rgbe;
    r.out.assign(size_t(w) * size_t(h) * 3, 0);
    r.rc3 = calc_tm3(0, p.data(), r.lum, table.data(), nullptr, ooc ? nullptr : copy3.data(), dim,
                     opt, luminance.data(), r.out.data());
    return r;
}

} // namespace

// ---- Strip files -------------------------------------------------------------------------------

TEST(StripFiles, RoundTripBitForBitAndEveryFailure)
{
    FILE *f = ::tmpfile();
    ASSERT_TRUE(f);
    Floats v = {1.5f, -0.0f, std::nanf("7"), 1e-42f, -3e38f, 0.1f};
    ASSERT_EQ(write_strip(f, 5, int(v.size()), v.data()), 4);
    Floats back(v.size());
    ASSERT_EQ(read_strip(f, 5, int(back.size()), back.data()), 4);
    EXPECT_EQ(std::memcmp(back.data(), v.data(), v.size() * 4), 0);
    ASSERT_EQ(read_strip(f, 0, 5, back.data()), 4); // the hole before offset 5 reads as zeros
    EXPECT_EQ(back[0], 0.0f);

    EXPECT_EQ(write_strip(f, 0, 0, v.data()), -20); // count 0 writes no item
    EXPECT_EQ(read_strip(f, 0, 0, back.data()), -20);
    EXPECT_EQ(read_strip(f, 8, 4, back.data()), -20); // the file ends at element 11
    EXPECT_EQ(read_strip(f, 11, 1, back.data()), -20);
    EXPECT_EQ(read_strip(f, -1, 1, back.data()), -20);
    EXPECT_EQ(write_strip(nullptr, 0, 1, v.data()), -20);
    std::fclose(f);
}

// ---- The Radiance reader -----------------------------------------------------------------------

// Files the size of these run through the reader's header rule (size / 128 lines examined) only
// with data after the pixels, which it never reads.
Bytes padded(Bytes b)
{
    b.insert(b.end(), 512, 0);
    return b;
}

TEST(OutOfCoreRgbeReader, ReadsBothLayoutsAndRefusesEveryFault)
{
    PrivateTmp tmp;
    const int w = 40, h = 6;
    const Bytes img = tmtest::encode_rgbe(w, h, 0.3);
    const int info[3] = {w, h, 0};
    Bytes out(img.size());
    for (bool flat : {false, true}) {
        write_radiance(tmp.path("a.hdr"), img, w, h, flat);
        EXPECT_EQ(decomp2(tmp.path("a.hdr").c_str(), info, out.data()), h);
        EXPECT_EQ(out, img) << flat;
        EXPECT_EQ(decomp_rle(tmp.path("a.hdr").c_str(), info, out.data()), h);
    }
    // A literal of 128 bytes is valid; a run count of 129 writes one byte.
    Bytes one = header(128, 1);
    one.insert(one.end(), {2, 2, 0, 128, 128});
    for (int i = 0; i < 128; ++i)
        one.push_back(uint8_t(i + 1));
    one.insert(one.end(), {129, 9, 127});
    one.insert(one.end(), 127, 5);
    for (int c = 0; c < 2; ++c)
        one.insert(one.end(), {255, 130, 129, 131});
    testsupport::write_file(tmp.path("one.hdr"), padded(one));
    const int info1[3] = {128, 1, 0};
    Bytes row(512);
    ASSERT_EQ(decomp2(tmp.path("one.hdr").c_str(), info1, row.data()), 1);
    EXPECT_EQ(row[127], 128);
    EXPECT_EQ(row[128], 9);
    EXPECT_EQ(row[129], 5);
    EXPECT_EQ(row[511], 131);

    // Damaged files, each from a good run-length row of 300 pixels: per component literals of
    // 128, 128 and 44 bytes.
    const int W = 300;
    Bytes good = header(W, 1);
    const size_t px = good.size(); // the scanline header
    good.insert(good.end(), {2, 2, 1, 44});
    for (int c = 0; c < 4; ++c)
        for (int len : {128, 128, 44}) {
            good.push_back(uint8_t(len));
            for (int i = 0; i < len; ++i)
                good.push_back(uint8_t(i * 3 + c));
        }
    const size_t third = px + 4 + 2 * 129; // red's third count
    const int infoW[3] = {W, 1, 0};
    Bytes outW(4 * W);
    auto code = [&](const Bytes &file, const int *i = nullptr) {
        testsupport::write_file(tmp.path("bad.hdr"), file);
        return decomp2(tmp.path("bad.hdr").c_str(), i ? i : infoW, outW.data());
    };
    auto with = [&](size_t at, uint8_t v) {
        Bytes b = good;
        b[at] = v;
        return b;
    };
    EXPECT_EQ(code(good), 1);
    EXPECT_EQ(outW[299], uint8_t(43 * 3));
    EXPECT_EQ(code(Bytes(good.begin(), good.end() - 1)), -1); // ends inside a packet
    EXPECT_EQ(code(with(px + 3, 45)), -4);                    // announces width 301
    EXPECT_EQ(code(with(third, 128 + 45)), -5);               // a run of 45 where 44 remain
    EXPECT_EQ(code(with(third, 45)), -6);                     // a literal of 45
    EXPECT_EQ(code(with(px + 4, 0)), -6);                     // count 0
    Bytes two = header(W, 2);
    two.insert(two.end(), good.begin() + ptrdiff_t(px), good.end());
    two.insert(two.end(), {2, 2, 0x81, 44});
    two.insert(two.end(), good.begin() + ptrdiff_t(px + 4), good.end());
    const int info2[3] = {W, 2, 0};
    EXPECT_EQ(code(two, info2), -6); // a second scanline whose width high byte is 128 or more
    EXPECT_EQ(code(Bytes(two.begin(), two.end() - 1216), info2), -2); // no second scanline
    // The first four pixel bytes decide the layout of every row.
    Bytes flat = header(W, 1);
    flat.insert(flat.end(), {2, 2, 0, 5});
    flat.insert(flat.end(), 4 * W - 4, 7);
    EXPECT_EQ(code(flat), -4); // 2, 2, 0: run-length, a scanline of width 5
    flat[px + 2] = 128;
    EXPECT_EQ(code(flat), 1); // 2, 2, 128: flat, 4 x 300 bytes
    EXPECT_EQ(outW[0], 2);
    EXPECT_EQ(code(Bytes(flat.begin(), flat.end() - 1)), -2); // flat and short
    EXPECT_EQ(code(good, info2), -3);                         // another resolution
    EXPECT_EQ(decomp2(tmp.path("missing.hdr").c_str(), infoW, outW.data()), -1);
    EXPECT_EQ(code(Bytes(good.begin(), good.begin() + 100)), -2); // 100 bytes: no line examined
    Bytes noResolution(good.begin(), good.begin() + 35);          // "#?RADIANCE", the format
    noResolution.insert(noResolution.end(), good.begin() + ptrdiff_t(px), good.end());
    EXPECT_EQ(code(noResolution), -2);
    // A header line longer than the line buffer comes in pieces, none of them read past it.
    Bytes longLine(good.begin(), good.begin() + 11);
    longLine.insert(longLine.end(), 300, 'x');
    longLine.push_back('\n');
    longLine.insert(longLine.end(), good.begin() + 11, good.end());
    EXPECT_EQ(code(longLine), 1);
}

TEST(OutOfCoreRgbeReader, HeaderSizePrimariesAndLineLimits)
{
    PrivateTmp tmp;
    // The resolution line after resolutionAt lines, then pad bytes.
    auto file = [&](const std::string &lines, int resolutionAt, size_t pad) {
        std::string s = "#?RADIANCE\n" + lines;
        for (int n = 1 + int(std::count(lines.begin(), lines.end(), '\n')); n < resolutionAt; ++n)
            s += "#\n";
        s += "-Y 4 +X 6\n" + std::string(pad, '\0');
        testsupport::write_file(tmp.path("h.hdr"), Bytes(s.begin(), s.end()));
        return tmp.path("h.hdr");
    };
    float pr[8];
    int info[7] = {};
    const std::string prim = "PRIMARIES= 0.64 0.33 0.3 0.6 0.15 0.06 0.3127 0.329\n";
    std::string path = file(prim, 3, 500);
    ASSERT_EQ(rgbe_dim2(path.c_str(), pr, info), 3);
    EXPECT_EQ(info[0], 6);
    EXPECT_EQ(info[1], 4);
    EXPECT_EQ(info[2], int(11 + prim.size() + 2 + 10 + 500));
    EXPECT_EQ(info[6], 32);
    EXPECT_FLOAT_EQ(pr[0], 0.64f);
    EXPECT_FLOAT_EQ(pr[7], 0.329f);
    // No primaries line: zeros, unless the caller's info[6] asks for the defaults.
    path = file("", 3, 500);
    int plain[7] = {};
    ASSERT_EQ(rgbe_dim2(path.c_str(), pr, plain), 3);
    EXPECT_EQ(plain[6], 0);
    EXPECT_EQ(pr[0], 0.0f);
    int asked[7] = {0, 0, 0, 0, 0, 0, 1};
    ASSERT_EQ(rgbe_dim2(path.c_str(), pr, asked), 3);
    EXPECT_FLOAT_EQ(pr[0], 0.648431f);
    EXPECT_FLOAT_EQ(pr[7], 0.3162f);
    // Large files: 100 lines examined; the resolution line as line 101 is not found.
    EXPECT_EQ(rgbe_dim2(file("", 99, 13000).c_str(), pr, info), 99);
    EXPECT_EQ(rgbe_dim2(file("", 100, 13000).c_str(), pr, info), -3);
    const int i2[3] = {6, 4, 0};
    Bytes px(96);
    EXPECT_EQ(decomp2(file("", 100, 13000).c_str(), i2, px.data()), -2);
    // Small files: size / 128 lines (none under 128 bytes).
    EXPECT_EQ(rgbe_dim2(file("", 3, 0).c_str(), pr, info), -3);
    EXPECT_EQ(rgbe_dim2(tmp.path("missing").c_str(), pr, info), -1);
    const std::string zero = "-Y 0 +X 5\n" + std::string(200, ' ');
    testsupport::write_file(tmp.path("z.hdr"), Bytes(zero.begin(), zero.end()));
    EXPECT_EQ(rgbe_dim2(tmp.path("z.hdr").c_str(), pr, info), -3); // no pixels
}

// ---- Stage by stage ----------------------------------------------------------------------------

// The out-of-core log luminance is calc_tm0's; a single pixel without light (which the twin used
// to keep at -1e9 unless two or more were dark) takes the smallest log luminance.
TEST(OutOfCoreLuminance, EqualsTheRunInMemoryAndReplacesEveryDarkPixel)
{
    PrivateTmp tmp;
    const int w = 37, h = 23;
    Bytes img = tmtest::encode_rgbe(w, h, 0.2);
    Floats table(256);
    exp_lut(table.data(), -8);
    const int info[3] = {w, h, 0};
    const std::string path = tmp.path("s.hdr");
    for (int dark : {0, 1, 2}) {
        for (int k = 0; k < dark; ++k) // exponent byte 0: no light
            img[size_t(k * 7 / w) * 4 * w + 3 * size_t(w) + size_t(k * 7 % w)] = 0;
        write_radiance(path, img, w, h);
        float lumMem[7] = {}, lumFile[7] = {};
        Floats mem(size_t(w) * h), file(mem.size());
        ASSERT_EQ(calc_tm0(0, 3, w, h, 3 * w, w, h, w, h, lumMem, table.data(), nullptr, img.data(),
                           mem.data()),
                  h);
        ASSERT_EQ(
            calc_tm0s(0, w, h, lumFile, table.data(), info, path.c_str(), nullptr, file.data()), h);
        EXPECT_EQ(std::memcmp(lumMem, lumFile, sizeof lumMem), 0) << dark;
        const float smallest = *std::min_element(file.begin(), file.end());
        for (size_t i = 0; i < mem.size(); ++i) {
            const bool isDark = img[i / w * 4 * w + 3 * size_t(w) + i % w] == 0;
            if (isDark)
                ASSERT_EQ(file[i], smallest) << dark; // calc_tm0 puts the mean there
            else
                ASSERT_EQ(file[i], mem[i]) << i;
        }
        EXPECT_NEAR(std::log(lumFile[2]), smallest, 1e-5);
    }
    EXPECT_EQ(tmp.entries().size(), 1u); // the source only
    Floats buf(size_t(w) * h);
    float lum[7];
    const int wrong[3] = {w + 1, h, 0};
    EXPECT_EQ(calc_tm0s(1, w, h, lum, table.data(), info, path.c_str(), nullptr, buf.data()), -3);
    EXPECT_EQ(calc_tm0s(0, 9, h, lum, table.data(), info, path.c_str(), nullptr, buf.data()), -1);
    EXPECT_EQ(calc_tm0s(0, w, h, lum, table.data(), wrong, path.c_str(), nullptr, buf.data()), -3);
    EXPECT_EQ(
        calc_tm0s(0, w, h, lum, table.data(), info, "/nonexistent/s.hdr", nullptr, buf.data()), -1);
    // A temporary path that exists is never taken over.
    EXPECT_EQ(calc_tm0s(0, w, h, lum, table.data(), info, path.c_str(), path.c_str(), buf.data()),
              -1);
    EXPECT_EQ(tmp.entries().size(), 1u);
}

// The relaxation with f streamed from a file gives the sweeps from memory, wrapped or not, for
// an odd and an even width; a stream that ends early fails.
TEST(OutOfCoreSweeps, StreamedRightHandSideGivesTheSameSweeps)
{
    for (int w : {9, 10})
        for (int wrap : {0, 1}) {
            const int h = 7, o = 5;
            Floats f(size_t(o) + size_t(w) * h), u0(f.size());
            for (size_t i = 0; i < f.size(); ++i) {
                f[i] = float(std::sin(0.7 * double(i)));
                u0[i] = float(std::cos(0.3 * double(i)));
            }
            FILE *s = ::tmpfile();
            ASSERT_EQ(std::fwrite(f.data(), 4, f.size(), s), f.size());
            Floats mem = u0, file = u0;
            ASSERT_EQ(blur1(w, h, 3, wrap, o, mem.data(), 0, nullptr, f.data(), 0.7f), 3);
            ASSERT_EQ(blur1(w, h, 3, wrap, o, file.data(), 1, s, nullptr, 0.7f), 3);
            EXPECT_EQ(file, mem) << w << " " << wrap;
            EXPECT_EQ(blur1(w, h + 1, 1, wrap, o, file.data(), 1, s, nullptr, 0.7f), -2);
            std::fclose(s);
        }
}

// Both solvers out of core against memory: light mode in the exact and the resampled layouts,
// with and without the wrap; the slider solve over levels wide enough for several strips.
TEST(OutOfCoreSolvers, GiveTheValuesOfTheSolveInMemory)
{
    PrivateTmp tmp;
    struct Case {
        int w, h, n, is360;
    };
    for (const Case c :
         {Case{64, 48, 3, 0}, Case{64, 48, 3, 1}, Case{70, 45, 3, 1}, Case{71, 44, 2, 0}}) {
        const int64_t total = int64_t(c.w) * c.h * 2;
        Floats rhs(size_t(total), 0.0f);
        for (int i = 0; i < c.w * c.h; ++i)
            rhs[size_t(i)] = float(std::sin(i * 0.01) * 0.3 + ((i * 37) % 11 - 5) * 0.02);
        Floats mem = rhs, file = rhs;
        const dim_param dim{{c.w, c.h}};
        ASSERT_EQ(calc_tm2old(0, 0, total, c.n, c.is360, mem.data(), dim, {1, 0, {}}), c.h);
        ASSERT_EQ(calc_tm2old(0, 0, total, c.n, c.is360, file.data(), dim, {1, 1, {}}), c.h);
        EXPECT_EQ(std::memcmp(mem.data(), file.data(), size_t(c.w) * c.h * 4), 0)
            << c.w << "x" << c.h << " " << c.is360;
    }
    const int w = 430, h = 330; // level 0 in 3 strips of 152 rows
    for (int is360 : {0, 1}) {
        auto p = defaults(1);
        p[kDeIs360] = float(is360);
        const auto lv = tonemap::detail::halving_levels(w, h, 4);
        Floats rhs(size_t(lv.back().offset + lv.back().pixels()));
        for (size_t i = 0; i < rhs.size(); ++i)
            rhs[i] = float(std::sin(double(i) * 0.003) * 0.05);
        Floats mem = rhs, file = rhs;
        const dim_param dim{{w, h}};
        ASSERT_EQ(calc_tm2new2(4, p.data(), mem.data(), dim, {1, 0, {}}), w * h);
        ASSERT_EQ(calc_tm2new2(4, p.data(), file.data(), dim, {1, 1, {}}), w * h);
        EXPECT_EQ(std::memcmp(mem.data(), file.data(), size_t(w) * h * 4), 0) << is360;
    }
    EXPECT_TRUE(tmp.entries().empty());
}

// ---- The whole enhancer ------------------------------------------------------------------------

// In both modes, each stage out of core leaves what it leaves in memory, and so does the whole
// run; no temporary file is left, not even after stage 1 alone (a run dropped there).
TEST(OutOfCoreEnhancer, EqualsTheRunInMemoryAndLeavesNoFile)
{
    PrivateTmp tmp;
    const int w = 600, h = 400; // four levels of pyramid A: the slider solve goes to files
    const Bytes img = tmtest::encode_rgbe(w, h, 0.2);
    for (size_t y = 0; y < size_t(h); ++y)
        for (size_t x = 0; x < size_t(w); ++x)
            ASSERT_NE(img[y * 4 * w + 3 * w + x], 0); // no dark pixel: calc_tm0 fills no mean
    const std::string path = tmp.path("source.hdr");
    write_radiance(path, img, w, h);
    for (float mode : {1.0f, 0.0f}) {
        const auto p = defaults(mode);
        const EnhancerRun mem = enhance(img, w, h, p), file = enhance(img, w, h, p, path);
        ASSERT_EQ(mem.rc1, 0);
        ASSERT_EQ(file.rc1, 0) << mode;
        EXPECT_EQ(std::memcmp(mem.lum, file.lum, sizeof mem.lum), 0);
        EXPECT_EQ(mem.afterStage1, file.afterStage1) << mode;
        ASSERT_GE(file.rc2, 0) << mode;
        EXPECT_EQ(mem.afterStage2, file.afterStage2) << mode;
        ASSERT_GT(file.rc3, 0) << mode;
        EXPECT_EQ(mem.out, file.out) << mode;
        EXPECT_EQ(tmp.entries(), std::vector<std::string>{"source.hdr"});
    }
}

// Failures out of core: a refused source kind, a missing or cut Radiance file, a slot whose path
// exists, a disk that fills up at each stage: a negative code and no temporary file left.
TEST(OutOfCoreEnhancer, FailuresReturnTheirCodesAndLeaveNoFile)
{
    PrivateTmp tmp;
    const int w = 600, h = 400;
    const Bytes img = tmtest::encode_rgbe(w, h, 0.1);
    const std::string path = tmp.path("source.hdr"), cut = tmp.path("cut.hdr");
    write_radiance(path, img, w, h);
    const auto p = defaults(1);
    tm_dims d{};
    tm_dim(w, h, p.data(), &d);
    Floats work(size_t(std::max(d.v[kTdTotalA], d.v[kTdTotalB])));
    Floats table(256), luminance(size_t(w) * h);
    for (size_t i = 0; i < luminance.size(); ++i)
        luminance[i] = 0.1f + float(i % 97) * 0.01f;
    exp_lut(table.data(), -8);
    float lum[7] = {1, 4, 0.1f, 0, -1, 1, 1}, primaries[8];
    int info[7] = {};
    ASSERT_EQ(rgbe_dim2(path.c_str(), primaries, info), 3);
    const dim_param dim{{w, h, 3, 8, 16, 0, 3 * w, 0}};
    std::vector<uint16_t> out(size_t(w) * h * 3);
    auto stage1 = [&](int docType, optim_param_struct opt, void *hdrInfos) {
        return calc_tm1(docType, p.data(), &d, lum, table.data(), table.data(), dim, hdrInfos, opt,
                        nullptr, 0, work.data());
    };
    EXPECT_EQ(stage1(1, out_of_core(path), info), -1); // rgbeBuf sources only
    EXPECT_EQ(stage1(0, out_of_core(path), nullptr), -3);
    EXPECT_EQ(stage1(0, out_of_core(tmp.path("missing.hdr")), info), -1);
    const std::string taken = tmp.path("taken");
    testsupport::write_file(taken, Bytes{1});
    EXPECT_EQ(stage1(0, out_of_core(path, taken.c_str()), info), -1);
    EXPECT_EQ(calc_tm2new2(4, p.data(), work.data(), {{w, h}}, out_of_core(path, taken.c_str())),
              -1);
    EXPECT_EQ(calc_tm2old(0, 0, int64_t(work.size()), 3, 0, work.data(), {{w, h}},
                          out_of_core(path, taken.c_str())),
              -1);
    // The Radiance file cut in its last rows: stage 3 fails after the rows it could read.
    Bytes whole;
    {
        FILE *f = std::fopen(path.c_str(), "rb");
        int c;
        while ((c = std::fgetc(f)) != EOF)
            whole.push_back(uint8_t(c));
        std::fclose(f);
    }
    testsupport::write_file(cut, Bytes(whole.begin(), whole.end() - 2000));
    EXPECT_EQ(calc_tm3(0, p.data(), lum, table.data(), nullptr, nullptr, dim, out_of_core(cut),
                       luminance.data(), out.data()),
              -2);
    EXPECT_TRUE(std::any_of(out.begin(), out.begin() + 3 * w, [](uint16_t v) { return v > 0; }));
    EXPECT_EQ(calc_tm3(0, p.data(), lum, table.data(), nullptr, nullptr, dim,
                       out_of_core(tmp.path("missing.hdr")), luminance.data(), out.data()),
              -1);
    ::unlink(taken.c_str());
    ::unlink(cut.c_str());

    // A disk that takes 64 KiB of temporary data and no more.
    {
        FileSizeLimit full(64 * 1024);
        EXPECT_EQ(stage1(0, out_of_core(path), info), -2);
        EXPECT_EQ(calc_tm2new2(4, p.data(), work.data(), {{w, h}}, out_of_core(path)), -2);
        EXPECT_EQ(
            calc_tm2old(0, 0, int64_t(work.size()), 3, 0, work.data(), {{w, h}}, out_of_core(path)),
            -2);
    }
    EXPECT_EQ(tmp.entries(), std::vector<std::string>{"source.hdr"});
}

// Each allocation of each out-of-core stage fails in turn: -4 until the stage needs no more, no
// temporary file left behind (and nothing lost, which the sanitizer build checks).
TEST(OutOfCoreEnhancer, EveryFailedAllocationLeavesNoFile)
{
    PrivateTmp tmp;
    const int w = 40, h = 30;
    const Bytes img = tmtest::encode_rgbe(w, h, 0.2);
    const std::string path = tmp.path("source.hdr");
    write_radiance(path, img, w, h);
    const auto p = defaults(1);
    tm_dims d{};
    tm_dim(w, h, p.data(), &d);
    Floats work(size_t(std::max(d.v[kTdTotalA], d.v[kTdTotalB])) * 2), table(256);
    exp_lut(table.data(), -8);
    float lum[7] = {}, primaries[8];
    int info[7] = {};
    ASSERT_EQ(rgbe_dim2(path.c_str(), primaries, info), 3);
    const dim_param dim{{w, h, 3, 8, 16, 0, 3 * w, 0}};
    std::vector<uint16_t> out(size_t(w) * h * 3);
    const optim_param_struct opt = out_of_core(path);
    struct Stage {
        const char *name;
        std::function<int()> run;
        int ok;
    };
    const Stage stages[] = {
        {"stage 1",
         [&] {
             return calc_tm1(0, p.data(), &d, lum, table.data(), nullptr, dim, info, opt, nullptr,
                             0, work.data());
         },
         0},
        {"conjugate gradients", [&] { return calc_tm2new2(3, p.data(), work.data(), dim, opt); },
         w * h},
        {"multigrid",
         [&] { return calc_tm2old(0, 0, int64_t(work.size()), 2, 0, work.data(), dim, opt); }, h},
        {"stage 3",
         [&] {
             std::fill(work.begin(), work.end(), 0.5f);
             return calc_tm3(0, p.data(), lum, table.data(), nullptr, nullptr, dim, opt,
                             work.data(), out.data());
         },
         h},
    };
    for (const Stage &s : stages)
        for (long n = 1;; ++n) {
            tmtest::fail_allocation_at(n);
            const int rc = s.run();
            const long seen = tmtest::allocations_seen();
            tmtest::fail_allocation_at(0);
            ASSERT_EQ(rc, seen < n ? s.ok : -4) << s.name << " " << n;
            ASSERT_EQ(tmp.entries(), std::vector<std::string>{"source.hdr"}) << s.name << " " << n;
            if (seen < n)
                break;
        }
}
