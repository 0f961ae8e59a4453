// The out-of-core mode of the local operator: strip files, the Radiance reader's values and
// codes, each stage and the whole enhancer against the run in memory, and the temporary files:
// none left after success, failure or a run dropped between stages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
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
#include "tonemap/rgbe_source.h"
#include "tonemap/strip_io.h"
#include "tonemap/tm_dim.h"

using testsupport::Bytes;
using testsupport::PrivateTmp;

namespace {

using Floats = std::vector<float>;

Bytes header(int w, int h)
{
    const std::string s = imagecore::radiance_header("", h, w);
    return Bytes(s.begin(), s.end());
}

// An rgbeBuf as a Radiance file: run-length rows, or flat ones (R G B E a pixel).
void write_radiance(const std::string &path, const Bytes &rgbe, int w, int h, bool flat = false)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    const Bytes head = header(w, h);
    std::fwrite(head.data(), 1, head.size(), f);
    Bytes work(4 * size_t(w));
    for (int y = 0; y < h; ++y) {
        const uint8_t *row = rgbe.data() + size_t(y) * 4 * size_t(w);
        if (!flat) {
            imagecore::radiance_write_row(f, row, w, work.data());
            continue;
        }
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 4; ++c)
                work[size_t(4 * x + c)] = row[c * w + x];
        std::fwrite(work.data(), 1, work.size(), f);
    }
    std::fclose(f);
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
    return {1, 1, {radiance.c_str(), slot1}};
}

// The three stages as the tone-mapping job calls them, in memory or (radiance given) out of core.
struct Stages {
    int w, h;
    std::vector<float> p;
    tm_dims d{};
    Floats work, table = Floats(256);
    float lum[kLumParamCount] = {};
    int info[7] = {};
    dim_param dim;
    optim_param_struct opt;
    Stages(int w_, int h_, std::vector<float> p_, const std::string &radiance)
        : w(w_), h(h_), p(std::move(p_)), dim{{w, h, 3, 8, 16, 0, 3 * w, 0}},
          opt(radiance.empty() ? optim_param_struct{1, 0, {}} : out_of_core(radiance))
    {
        tm_dim(w, h, p.data(), &d);
        work.assign(size_t(std::max(d.v[kTdTotalA], d.v[kTdTotalB])), 0.0f);
        exp_lut(table.data(), -8);
        float primaries[8];
        if (!radiance.empty())
            rgbe_dim2(radiance.c_str(), primaries, info);
    }
    int stage1(Bytes source) // a copy: stage 1 uses it as scratch
    {
        source.resize(std::max(source.size(), 4 * work.size()));
        return calc_tm1(0, p.data(), &d, lum, table.data(), nullptr, dim, info, opt,
                        opt.readFromDisk ? nullptr : source.data(), source.size(), work.data());
    }
    int stage2()
    {
        return calc_tm2(int(d.v[kTdCoarseWidthA]), int(d.v[kTdCoarseHeightA]), d.v[kTdTotalA],
                        int(d.v[kTdLevelsA]), p.data(), work.data(), dim, opt);
    }
    int stage3(Bytes source, std::vector<uint16_t> &out)
    {
        Floats luminance(work.begin(), work.begin() + ptrdiff_t(w) * h);
        out.assign(size_t(w) * size_t(h) * 3, 0);
        return calc_tm3(0, p.data(), lum, table.data(), nullptr,
                        opt.readFromDisk ? nullptr : source.data(), dim, opt, luminance.data(),
                        out.data());
    }
};

} // namespace

TEST(StripFiles, RoundTripBitForBitAndEveryFailure)
{
    FILE *f = ::tmpfile();
    const Floats v = {1.5f, -0.0f, std::nanf("7"), 1e-42f, -3e38f, 0.1f};
    Floats back(v.size());
    ASSERT_EQ(write_strip(f, 5, int(v.size()), v.data()), 4);
    ASSERT_EQ(read_strip(f, 5, int(back.size()), back.data()), 4);
    EXPECT_EQ(std::memcmp(back.data(), v.data(), v.size() * 4), 0);
    EXPECT_EQ(write_strip(f, 0, 0, v.data()), -20); // count 0 writes no item
    EXPECT_EQ(read_strip(f, 0, 0, back.data()), -20);
    EXPECT_EQ(read_strip(f, 8, 4, back.data()), -20); // the file ends at element 11
    EXPECT_EQ(read_strip(f, -1, 1, back.data()), -20);
    std::fclose(f);
}

TEST(OutOfCoreRgbeReader, ReadsBothLayoutsAndRefusesEveryFault)
{
    PrivateTmp tmp;
    const std::string path = tmp.path("a.hdr");
    const int w = 40, h = 6, info[3] = {w, h, 0};
    const Bytes img = tmtest::encode_rgbe(w, h, 0.3);
    Bytes out(img.size());
    for (bool flat : {false, true}) {
        write_radiance(path, img, w, h, flat);
        EXPECT_EQ(decomp_rle(path.c_str(), info, out.data()), h);
        EXPECT_EQ(out, img) << flat;
    }
    // A row of 300 pixels, per component literals of 128, 128 and 44 bytes, each file below
    // damaged in one place. The pad after the pixels lets the header rule (size / 128 lines)
    // reach the resolution line of the smaller files.
    const int W = 300, infoW[3] = {W, 1, 0}, info2[3] = {W, 2, 0};
    Bytes good = header(W, 1);
    const size_t px = good.size(), third = px + 4 + 2 * 129; // scanline header, red's 3rd count
    good.insert(good.end(), {2, 2, 1, 44});
    for (int c = 0; c < 4; ++c)
        for (int len : {128, 128, 44}) {
            good.push_back(uint8_t(len));
            for (int i = 0; i < len; ++i)
                good.push_back(uint8_t(i * 3 + c));
        }
    auto with = [&](size_t at, uint8_t v) {
        Bytes b = good;
        b[at] = v;
        return b;
    };
    Bytes two = header(W, 2); // a second scanline whose width high byte is 128 or more
    two.insert(two.end(), good.begin() + ptrdiff_t(px), good.end());
    two.insert(two.end(), {2, 2, 0x81, 44});
    two.insert(two.end(), good.begin() + ptrdiff_t(px + 4), good.end());
    Bytes flat = header(W, 1); // the first four pixel bytes decide the layout of every row
    flat.insert(flat.end(), {2, 2, 0, 5});
    flat.insert(flat.end(), 4 * W - 4, 7);
    Bytes flat128 = flat;
    flat128[px + 2] = 128;
    Bytes longLine(good.begin(), good.begin() + 11); // a header line beyond the line buffer
    longLine.insert(longLine.end(), 300, 'x');
    longLine.insert(longLine.end(), good.begin() + 10, good.end());
    Bytes noResolution(good.begin(), good.begin() + 35);
    noResolution.insert(noResolution.end(), good.begin() + ptrdiff_t(px), good.end());
    // A literal of exactly 128 bytes is valid; a run count of 129 writes one byte.
    Bytes edges = header(128, 1);
    edges.insert(edges.end(), {2, 2, 0, 128, 128});
    for (int i = 0; i < 128; ++i)
        edges.push_back(uint8_t(i + 1));
    edges.insert(edges.end(), {129, 9, 127});
    edges.insert(edges.end(), 127, 5);
    for (int c = 0; c < 2; ++c)
        edges.insert(edges.end(), {255, 130, 129, 131});
    edges.insert(edges.end(), 512, 0);
    const int infoE[3] = {128, 1, 0};
    const struct {
        Bytes file;
        const int *info;
        int rc;
    } cases[] = {
        {good, infoW, 1},
        {edges, infoE, 1},
        {flat128, infoW, 1}, // 2, 2, 128: flat
        {longLine, infoW, 1},
        {Bytes(good.begin(), good.end() - 1), infoW, -1}, // ends inside a packet
        {with(px + 3, 45), infoW, -4},                    // announces width 301
        {with(third, 128 + 45), infoW, -5},               // a run of 45 where 44 remain
        {with(third, 45), infoW, -6},                     // a literal of 45
        {with(px + 4, 0), infoW, -6},                     // count 0
        {two, info2, -6},
        {Bytes(two.begin(), two.end() - 1216), info2, -2},      // no second scanline
        {flat, infoW, -4},                                      // 2, 2, 0: a scanline of width 5
        {Bytes(flat128.begin(), flat128.end() - 1), infoW, -2}, // flat and short
        {good, info2, -3},                                      // another resolution
        {Bytes(good.begin(), good.begin() + 100), infoW, -2},   // 100 bytes: no line examined
        {noResolution, infoW, -2},
    };
    Bytes row(4 * W);
    for (size_t i = 0; i < std::size(cases); ++i) {
        testsupport::write_file(path, cases[i].file);
        EXPECT_EQ(decomp2(path.c_str(), cases[i].info, row.data()), cases[i].rc) << i;
        if (i == 1) {
            EXPECT_EQ(row[127], 128);
            EXPECT_EQ(row[128], 9);
            EXPECT_EQ(row[129], 5);
            EXPECT_EQ(row[511], 131);
        }
    }
    EXPECT_EQ(decomp2(tmp.path("missing").c_str(), infoW, row.data()), -1);
}

TEST(OutOfCoreRgbeReader, HeaderSizePrimariesAndLineLimits)
{
    PrivateTmp tmp;
    // The resolution line after `at` lines, then pad bytes.
    auto file = [&](const std::string &lines, int at, size_t pad) {
        std::string s = "#?RADIANCE\n" + lines;
        for (int n = 1 + int(std::count(lines.begin(), lines.end(), '\n')); n < at; ++n)
            s += "#\n";
        s += "-Y 4 +X 6\n" + std::string(pad, '\0');
        testsupport::write_file(tmp.path("h.hdr"), Bytes(s.begin(), s.end()));
        return tmp.path("h.hdr");
    };
    float pr[8];
    int info[7] = {}, plain[7] = {}, asked[7] = {0, 0, 0, 0, 0, 0, 1};
    const std::string prim = "PRIMARIES= 0.64 0.33 0.3 0.6 0.15 0.06 0.3127 0.329\n";
    ASSERT_EQ(rgbe_dim2(file(prim, 3, 500).c_str(), pr, info), 3);
    EXPECT_EQ((std::vector<int>(info, info + 3)), (std::vector<int>{6, 4, int(prim.size()) + 523}));
    EXPECT_EQ(info[6], 32);
    EXPECT_FLOAT_EQ(pr[7], 0.329f);
    // No primaries line: zeros, unless the caller's info[6] asks for the defaults.
    ASSERT_EQ(rgbe_dim2(file("", 3, 500).c_str(), pr, plain), 3);
    EXPECT_EQ(plain[6] + pr[0], 0);
    ASSERT_EQ(rgbe_dim2(file("", 3, 500).c_str(), pr, asked), 3);
    EXPECT_FLOAT_EQ(pr[0], 0.648431f);
    // Large files: 100 lines examined; the resolution line as line 101 is not found.
    EXPECT_EQ(rgbe_dim2(file("", 99, 13000).c_str(), pr, info), 99);
    EXPECT_EQ(rgbe_dim2(file("", 100, 13000).c_str(), pr, info), -3);
    Bytes px(96);
    const int i2[3] = {6, 4, 0};
    EXPECT_EQ(decomp2(file("", 100, 13000).c_str(), i2, px.data()), -2);
    EXPECT_EQ(rgbe_dim2(file("", 3, 0).c_str(), pr, info), -3); // under 128 bytes: no line
    EXPECT_EQ(rgbe_dim2(tmp.path("missing").c_str(), pr, info), -1);
    // decomp2 reads header lines of up to 128 characters, rgbe_dim2 up to 127: a line of 127
    // and its line feed is one line for the first, two for the second, which then meets the
    // resolution as the fourth line, past the three that 400 bytes allow (400 / 128). 510 bytes
    // still allow three lines; 512 four.
    auto raw = [&](const std::string &head, size_t size) {
        std::string s = head + std::string(96, '\7'); // 6 x 4 flat pixels
        s.resize(size, '\0');
        testsupport::write_file(tmp.path("r.hdr"), Bytes(s.begin(), s.end()));
        return tmp.path("r.hdr");
    };
    const std::string res = "-Y 4 +X 6\n", longLine = std::string(127, 'x') + "\n";
    EXPECT_EQ(decomp2(raw("#?RADIANCE\n" + longLine + res, 400).c_str(), i2, px.data()), 4);
    EXPECT_EQ(rgbe_dim2(raw("#?RADIANCE\n" + longLine + res, 400).c_str(), pr, info), -3);
    EXPECT_EQ(decomp2(raw("#?RADIANCE\n#\n#\n" + res, 510).c_str(), i2, px.data()), -2);
    EXPECT_EQ(rgbe_dim2(raw("#?RADIANCE\n#\n#\n" + res, 510).c_str(), pr, info), -3);
    EXPECT_EQ(decomp2(raw("#?RADIANCE\n#\n#\n" + res, 512).c_str(), i2, px.data()), 4);
    EXPECT_EQ(px[95], 7);
    const std::string zero = "-Y 0 +X 5\n" + std::string(200, ' ');
    testsupport::write_file(tmp.path("z.hdr"), Bytes(zero.begin(), zero.end()));
    EXPECT_EQ(rgbe_dim2(tmp.path("z.hdr").c_str(), pr, info), -3); // no pixels
}

// The out-of-core log luminance is calc_tm0's; a single pixel without light (which the twin used
// to keep at -1e9 unless two or more were dark) takes the smallest log luminance.
TEST(OutOfCoreLuminance, EqualsTheRunInMemoryAndReplacesEveryDarkPixel)
{
    PrivateTmp tmp;
    const int w = 37, h = 23, info[3] = {w, h, 0};
    const std::string path = tmp.path("s.hdr");
    Bytes img = tmtest::encode_rgbe(w, h, 0.2);
    Floats table(256), mem(size_t(w) * h), file(mem.size());
    exp_lut(table.data(), -8);
    auto dark = [&](size_t i) -> uint8_t & { return img[i / w * 4 * w + 3 * size_t(w) + i % w]; };
    for (int darkPixels : {0, 1, 2}) {
        if (darkPixels > 0)
            dark(size_t(darkPixels * 7)) = 0; // exponent 0: no light
        write_radiance(path, img, w, h);
        float lumMem[7] = {}, lumFile[7] = {};
        ASSERT_EQ(calc_tm0(0, 3, w, h, 3 * w, w, h, w, h, lumMem, table.data(), nullptr, img.data(),
                           mem.data()),
                  h);
        ASSERT_EQ(
            calc_tm0s(0, w, h, lumFile, table.data(), info, path.c_str(), nullptr, file.data()), h);
        EXPECT_EQ(std::memcmp(lumMem, lumFile, sizeof lumMem), 0);
        const float smallest = *std::min_element(file.begin(), file.end());
        EXPECT_NEAR(std::log(lumFile[2]), smallest, 1e-5);
        for (size_t i = 0; i < mem.size(); ++i)
            ASSERT_EQ(file[i], dark(i) ? mem[i] : smallest) << darkPixels << " " << i;
    }
    float lum[7];
    const int wrong[3] = {w + 1, h, 0};
    for (auto [docType, width, in, radiance, temp, rc] :
         {std::tuple{1, w, info, path.c_str(), (const char *)nullptr, -3},
          {0, 9, info, path.c_str(), nullptr, -1},
          {0, w, wrong, path.c_str(), nullptr, -3},
          {0, w, info, "/nonexistent/s.hdr", nullptr, -1},
          {0, w, info, path.c_str(), path.c_str(), -1}}) // an existing file is not taken over
        EXPECT_EQ(calc_tm0s(docType, width, h, lum, table.data(), in, radiance, temp, file.data()),
                  rc);
    EXPECT_EQ(tmp.entries(), std::vector<std::string>{"s.hdr"});
}

// Both solvers out of core against memory: light mode in the exact and the resampled layouts,
// with and without the wrap; the slider solve over a level of three strips.
TEST(OutOfCoreSolvers, GiveTheValuesOfTheSolveInMemory)
{
    PrivateTmp tmp;
    for (auto [w, h, n, is360] : {std::array{64, 48, 3, 0},
                                  {64, 48, 3, 1},
                                  {70, 45, 3, 1},
                                  {71, 44, 2, 0},
                                  {430, 330, 4, 0},
                                  {430, 330, 4, 1}}) {
        const int64_t total = int64_t(w) * h * 2;
        Floats mem(static_cast<size_t>(total));
        for (size_t i = 0; i < mem.size(); ++i)
            mem[i] = float(std::sin(double(i) * 0.01) * 0.3 + double(i * 37 % 11) * 0.02 - 0.1);
        Floats file = mem;
        const dim_param dim{{w, h}};
        if (w < 400) {
            ASSERT_EQ(calc_tm2old(0, 0, total, n, is360, mem.data(), dim, {1, 0, {}}), h);
            ASSERT_EQ(calc_tm2old(0, 0, total, n, is360, file.data(), dim, {1, 1, {}}), h);
        } else {
            auto p = defaults(1);
            p[kDeIs360] = float(is360);
            ASSERT_EQ(calc_tm2new2(n, p.data(), mem.data(), dim, {1, 0, {}}), w * h);
            ASSERT_EQ(calc_tm2new2(n, p.data(), file.data(), dim, {1, 1, {}}), w * h);
        }
        EXPECT_EQ(std::memcmp(mem.data(), file.data(), size_t(w) * h * 4), 0) << w << " " << is360;
    }
    EXPECT_TRUE(tmp.entries().empty());
}

// In both modes each stage out of core leaves what it leaves in memory, and so does the whole
// run (bit for bit: one thread in memory too); no temporary file stays after any stage, so a run
// dropped between stages leaves none either.
TEST(OutOfCoreEnhancer, EqualsTheRunInMemoryAndLeavesNoFile)
{
    PrivateTmp tmp;
    const int w = 600, h = 400; // four levels of pyramid A: the slider solve goes to files
    const Bytes img = tmtest::encode_rgbe(w, h, 0.2);
    for (size_t i = 0; i < size_t(w) * h; ++i)
        ASSERT_NE(img[i / w * 4 * w + 3 * w + i % w], 0); // no dark pixel: no mean to fill in
    const std::string path = tmp.path("source.hdr");
    write_radiance(path, img, w, h);
    for (float mode : {1.0f, 0.0f}) {
        Stages mem(w, h, defaults(mode), ""), file(w, h, defaults(mode), path);
        ASSERT_EQ(mem.stage1(img), 0);
        ASSERT_EQ(file.stage1(img), 0) << mode;
        EXPECT_EQ(std::memcmp(mem.lum, file.lum, sizeof mem.lum), 0);
        EXPECT_EQ(mem.work, file.work) << mode;
        EXPECT_EQ(tmp.entries(), std::vector<std::string>{"source.hdr"});
        ASSERT_GE(mem.stage2(), 0);
        ASSERT_GE(file.stage2(), 0) << mode;
        EXPECT_TRUE(std::equal(mem.work.begin(), mem.work.begin() + w * h, file.work.begin()));
        std::vector<uint16_t> outMem, outFile;
        ASSERT_EQ(mem.stage3(img, outMem), h);
        ASSERT_EQ(file.stage3(img, outFile), h);
        EXPECT_EQ(outMem, outFile) << mode;
        EXPECT_EQ(tmp.entries(), std::vector<std::string>{"source.hdr"});
    }
}

// Failures out of core: a refused source kind, a missing or cut Radiance file, a slot whose path
// exists, a disk that fills up: a negative code and no temporary file left.
TEST(OutOfCoreEnhancer, FailuresReturnTheirCodesAndLeaveNoFile)
{
    PrivateTmp tmp;
    const int w = 600, h = 400;
    const std::string path = tmp.path("source.hdr"), cut = tmp.path("cut.hdr");
    const std::string taken = tmp.path("taken"), missing = tmp.path("missing");
    write_radiance(path, tmtest::encode_rgbe(w, h, 0.1), w, h);
    const Bytes whole = testsupport::read_file(path);
    testsupport::write_file(cut, Bytes(whole.begin(), whole.end() - 2000));
    testsupport::write_file(taken, {1});
    Stages s(w, h, defaults(1), path);
    auto stage1 = [&](int docType, optim_param_struct opt, void *info) {
        return calc_tm1(docType, s.p.data(), &s.d, s.lum, s.table.data(), s.table.data(), s.dim,
                        info, opt, nullptr, 0, s.work.data());
    };
    auto cg = [&](optim_param_struct opt) {
        return calc_tm2new2(4, s.p.data(), s.work.data(), s.dim, opt);
    };
    auto multigrid = [&](optim_param_struct opt) {
        return calc_tm2old(0, 0, int64_t(s.work.size()), 3, 0, s.work.data(), s.dim, opt);
    };
    auto stage3 = [&](const std::string &radiance, std::vector<uint16_t> &out) {
        for (size_t i = 0; i < s.work.size(); ++i)
            s.work[i] = 0.1f + float(i % 97) * 0.01f;
        s.opt = out_of_core(radiance);
        return s.stage3({}, out);
    };
    EXPECT_EQ(stage1(1, s.opt, s.info), -1); // rgbeBuf sources only
    EXPECT_EQ(stage1(0, s.opt, nullptr), -3);
    EXPECT_EQ(stage1(0, out_of_core(missing), s.info), -1);
    EXPECT_EQ(stage1(0, out_of_core(path, taken.c_str()), s.info), -1);
    EXPECT_EQ(cg(out_of_core(path, taken.c_str())), -1);
    EXPECT_EQ(multigrid(out_of_core(path, taken.c_str())), -1);
    std::vector<uint16_t> out;
    EXPECT_EQ(stage3(cut, out), -2);
    EXPECT_TRUE(std::any_of(out.begin(), out.begin() + 3 * w, [](uint16_t v) { return v > 0; }));
    EXPECT_EQ(stage3(missing, out), -1);
    {
        testsupport::FileSizeLimit full(64 * 1024); // a disk that takes 64 KiB and no more
        EXPECT_EQ(stage1(0, out_of_core(path), s.info), -2);
        EXPECT_EQ(cg(out_of_core(path)), -2);
        EXPECT_EQ(multigrid(out_of_core(path)), -2);
    }
    EXPECT_EQ(tmp.entries(), (std::vector<std::string>{"cut.hdr", "source.hdr", "taken"}));
}

// Each allocation of each out-of-core stage fails in turn: -4 until the stage needs no more, no
// temporary file left behind (and nothing lost, which the sanitizer build checks).
TEST(OutOfCoreEnhancer, EveryFailedAllocationLeavesNoFile)
{
    PrivateTmp tmp;
    const int w = 40, h = 30;
    const std::string path = tmp.path("source.hdr");
    write_radiance(path, tmtest::encode_rgbe(w, h, 0.2), w, h);
    Stages s(w, h, defaults(1), path);
    s.work.resize(s.work.size() * 2);
    std::vector<uint16_t> out(size_t(w) * h * 3);
    // No allocation here but the stages' own.
    const std::pair<std::function<int()>, int> stages[] = {
        {[&] {
             return calc_tm1(0, s.p.data(), &s.d, s.lum, s.table.data(), nullptr, s.dim, s.info,
                             s.opt, nullptr, 0, s.work.data());
         },
         0},
        {[&] { return calc_tm2new2(3, s.p.data(), s.work.data(), s.dim, s.opt); }, w * h},
        {[&] {
             return calc_tm2old(0, 0, int64_t(s.work.size()), 2, 0, s.work.data(), s.dim, s.opt);
         },
         h},
        {[&] {
             std::fill(s.work.begin(), s.work.end(), 0.5f);
             return calc_tm3(0, s.p.data(), s.lum, s.table.data(), nullptr, nullptr, s.dim, s.opt,
                             s.work.data(), out.data());
         },
         h},
    };
    for (size_t k = 0; k < std::size(stages); ++k)
        for (long n = 1;; ++n) {
            tmtest::fail_allocation_at(n);
            const int rc = stages[k].first();
            const long seen = tmtest::allocations_seen();
            tmtest::fail_allocation_at(0);
            ASSERT_EQ(rc, seen < n ? stages[k].second : -4) << k << " " << n;
            ASSERT_EQ(tmp.entries(), std::vector<std::string>{"source.hdr"}) << k << " " << n;
            if (seen < n)
                break;
        }
}
