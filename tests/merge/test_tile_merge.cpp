// The row-streaming merge of TIFF brackets (written by libtiff) into a Radiance file, against a
// plain per-pixel reference written from the merge's definition: scalar, every table value
// recomputed from its formula, the RGBE bytes from frexp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <tiffio.h>

#include "merge/detail/tile_curves.h"
#include "merge/manip_merge.h"
#include "metadata/exif_records.h"
#include "tests/support/fixtures.h"
#include "tests/support/patterns.h"

namespace {

using testsupport::TempDir;

// exifBufs without exposure times whose offsets give the exposures 2^stops.
platform::DataArray exifs(const std::vector<int> &stops)
{
    platform::DataArray a;
    for (int s : stops) {
        int32_t rec[kExifBufCount] = {};
        rec[kExifExposureOffset] = s * 1000;
        a.push_back(platform::Data::copy(rec, sizeof rec));
    }
    return a;
}

struct Bracket {
    int w, h, spp, bits;
    std::vector<std::vector<uint16_t>> photos; // 8-bit values for 8 bits
};

Bracket seeded(int n, int w, int h, int spp, int bits, uint64_t seed)
{
    Bracket b{w, h, spp, bits, {}};
    for (int k = 0; k < n; ++k)
        b.photos.push_back(testsupport::seeded_samples<uint16_t>(
            size_t(w * h * spp), seed + uint64_t(k), bits == 8 ? 256 : 65536));
    return b;
}

// Writes the photos with libtiff, one strip each unless the options say otherwise.
platform::StringArray write_bracket(const TempDir &dir, const Bracket &b,
                                    testsupport::LibTiffOptions o = {})
{
    platform::StringArray paths;
    o.bits = b.bits;
    o.rowsPerStrip = o.rowsPerStrip ? o.rowsPerStrip : b.h;
    for (const auto &p : b.photos) {
        paths.push_back(dir.file("p" + std::to_string(paths.size()) + ".tif"));
        const std::vector<uint8_t> p8(p.begin(), p.end());
        EXPECT_TRUE(testsupport::write_libtiff(
            paths.back(), b.bits == 8 ? static_cast<const void *>(p8.data()) : p.data(), b.w, b.h,
            b.spp, o));
    }
    return paths;
}

// The merged file's pixel bytes from the definition, with the multipliers given.
std::string reference(const Bracket &b, const std::vector<float> &m, int courbe)
{
    const bool deep = b.bits == 16, linear = courbe == 1 || courbe == 2;
    const double codes = deep ? 65536 : 256, g = linear ? 1 : 2.2, g2 = linear ? 0.45f : 1;
    const int maxW = courbe == 2 ? 65535 : 64879;
    auto lin = [&](int s) { return float(std::pow((s ? s : 1) / codes, g)); };
    auto stretch = [](int s) { return std::min(int(float(s ? s : 1) * 1.1111112f), 65535); };
    std::string out;
    for (size_t i = 0; i < size_t(b.w * b.h); ++i) {
        float sum[3] = {0, 0, 0};
        long wsum = 0;
        for (size_t k = 0; k < m.size(); ++k) {
            const uint16_t *p = &b.photos[k][i * size_t(b.spp)];
            int s[3] = {p[0], p[1], p[2]};
            for (int &c : s)
                c = deep ? stretch(c) : c;
            const int y = (54 * s[0] + 183 * s[1] + 19 * s[2]) / 256;
            int wt = y < 128 ? y + 1 : 256 - y;
            if (deep) {
                const int v = int(std::pow(double(float(y ? y : 1) / 65536.0f), g2) * 65536.0);
                wt = v <= maxW / 2 ? v + 1 : maxW - v;
                wt = wt < 0 || p[0] > 52000 || p[1] > 52000 || p[2] > 52000 ? 1 : wt;
            }
            wsum += wt;
            for (int c = 0; c < 3; ++c)
                sum[c] += float(int(float(wt) * m[k])) * lin(s[c]);
        }
        for (float &s : sum)
            s = wsum > 0 ? s / float(wsum) : 0.0f;
        const double big = std::max({sum[0], sum[1], sum[2]});
        int e;
        const double f = std::frexp(big, &e) * 256.0 / big;
        for (int c = 0; c < 4; ++c)
            out += big > 1e-32 ? char(c < 3 ? int(sum[c] * f) : e + 128) : '\0';
    }
    return out;
}

std::string file_text(const std::string &path)
{
    const testsupport::Bytes b = testsupport::read_file(path);
    return {b.begin(), b.end()};
}

std::string header(int w, int h)
{
    return "#?RADIANCE\n#Generated with Kestrovald Zenit 2.1\nFORMAT=32-bit_rle_rgbe\n\n-Y " +
           std::to_string(h) + " +X " + std::to_string(w) + "\n";
}

// Replaces the value of a one-value entry of IFD0 of a little-endian TIFF.
void patch_tag(testsupport::Bytes &t, uint16_t tag, uint32_t value)
{
    auto u16 = [&](size_t at) { return uint32_t(t[at] | t[at + 1] << 8); };
    const size_t ifd = u16(4) | u16(6) << 16;
    for (size_t e = ifd + 2; e < ifd + 2 + 12 * u16(ifd); e += 12)
        for (size_t i = 0; u16(e) == tag && i < 4; ++i)
            t[e + 8 + i] = uint8_t(u16(e + 2) == 3 && i >= 2 ? 0 : value >> (8 * i));
}

// An 8-bit RGB photo w pixels wide (w x 3 even, so no padding falls between the strips) as a
// little-endian TIFF of strips of rowsPerStrip rows, written into the file in the order given,
// with a table of SHORT or LONG offsets.
testsupport::Bytes strip_tiff(const std::vector<uint16_t> &px, int w, int h, int rowsPerStrip,
                              const std::vector<int> &order, bool shorts)
{
    testsupport::TiffBuilder t;
    const size_t ifd = t.add_ifd();
    const int strips = (h + rowsPerStrip - 1) / rowsPerStrip;
    std::vector<uint32_t> offsets(size_t(strips), 0), counts(size_t(strips), 0);
    for (int s : order) {
        const size_t first = size_t(s * rowsPerStrip) * size_t(w) * 3;
        const size_t n = size_t(std::min(rowsPerStrip, h - s * rowsPerStrip)) * size_t(w) * 3;
        offsets[size_t(s)] =
            t.add_blob(testsupport::Bytes(px.begin() + long(first), px.begin() + long(first + n)));
        counts[size_t(s)] = uint32_t(n);
    }
    t.add_shorts(ifd, 256, {uint16_t(w)});
    t.add_shorts(ifd, 257, {uint16_t(h)});
    t.add_shorts(ifd, 258, {8, 8, 8});
    t.add_shorts(ifd, 259, {1});
    t.add_shorts(ifd, 262, {2});
    if (shorts)
        t.add_shorts(ifd, 273, std::vector<uint16_t>(offsets.begin(), offsets.end()));
    else
        t.add_longs(ifd, 273, offsets);
    t.add_shorts(ifd, 277, {3});
    t.add_shorts(ifd, 278, {uint16_t(rowsPerStrip)});
    t.add_longs(ifd, 279, counts);
    t.add_shorts(ifd, 284, {1});
    return t.build();
}

int open_descriptors()
{
    auto it = std::filesystem::directory_iterator("/proc/self/fd");
    return int(std::distance(begin(it), end(it)));
}

} // namespace

TEST(KvTileMerge, MergedRowsMatchThePlainReference)
{
    // Photo order dark, bright, middle: the ranking must reorder them.
    Bracket spaced = seeded(3, 5, 4, 3, 8, 40);
    for (int k = 0; k < 3; ++k)
        for (auto &s : spaced.photos[size_t(k)])
            s = uint16_t((k == 0 ? 0 : k == 1 ? 128 : 64) + s / (k == 1 ? 2 : 4));
    Bracket oneRow = spaced;
    oneRow.h = 1;
    for (auto &p : oneRow.photos)
        p.resize(15);
    // The second photo is the first upside down: equal mean lumas, other pixels.
    Bracket tied = seeded(1, 4, 3, 3, 8, 50);
    tied.photos.push_back(tied.photos[0]);
    for (int y = 0; y < 3; ++y)
        std::copy_n(tied.photos[0].begin() + (2 - y) * 12, 12, tied.photos[1].begin() + y * 12);
    // Two rows: the first photo is the brighter in row 0 alone, the darker over both rows (every
    // row of an image below 5 rows is sampled).
    Bracket twoRows{2, 2, 3, 8, {std::vector<uint16_t>(12, 200), std::vector<uint16_t>(12, 120)}};
    std::fill(twoRows.photos[0].begin() + 6, twoRows.photos[0].end(), 10);
    testsupport::LibTiffOptions big, strips2, rows1;
    big.bigEndian = true;
    strips2.rowsPerStrip = 2;
    rows1.rowsPerStrip = 1;
    struct Case {
        const char *name;
        Bracket bracket;
        std::vector<int> stops;
        float ev;
        int courbe;
        std::vector<float> multipliers; // what the merge should arrive at
        testsupport::LibTiffOptions options = {};
    };
    const std::vector<Case> cases = {
        // 1 : 4 : 16: 1 / exposure scaled so that the median photo's multiplier is 2.
        {"metadata 1:4:16", seeded(3, 6, 5, 3, 8, 1), {0, 2, 4}, 0.0f, 0, {8, 2, 0.5f}},
        {"4 samples, big-endian", seeded(3, 3, 2, 4, 8, 7), {0, 2, 4}, -1.0f, 1, {8, 2, 0.5f}, big},
        {"one photo", seeded(1, 4, 4, 3, 8, 9), {3}, 0.0f, 1, {2}},
        // Of two photos the first is the median.
        {"16-bit gamma", seeded(2, 4, 3, 3, 16, 11), {0, 2}, 0.0f, 0, {2, 0.5f}},
        {"16-bit linear, curve 2", seeded(3, 4, 3, 3, 16, 21), {0, 1, 2}, 0.0f, 2, {4, 2, 1}},
        // Ranked brightest first: 2^((rank - 1) x 2).
        {"spacing 2 EV", spaced, {0, 0, 0}, 2.0f, 0, {4, 0.25f, 1}},
        {"spacing, 1 row", oneRow, {0, 0, 0}, 2.0f, 0, {4, 0.25f, 1}},
        // Equal means keep the series order.
        {"spacing, tie", tied, {5, 5}, 1.0f, 1, {0.5f, 1}},
        {"spacing, 2 rows", twoRows, {0, 0}, 1.0f, 0, {1, 0.5f}},
        // Strips that follow one another, the last one short: read as one block.
        {"strips of 2 rows", seeded(3, 6, 5, 3, 8, 1), {0, 2, 4}, 0.0f, 0, {8, 2, 0.5f}, strips2},
        {"16-bit, a strip a row", seeded(2, 4, 3, 3, 16, 11), {0, 2}, 0.0f, 0, {2, 0.5f}, rows1},
        {"spacing 2 EV, strips of 2 rows", spaced, {0, 0, 0}, 2.0f, 0, {4, 0.25f, 1}, strips2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const Bracket &b = c.bracket;
        const std::string res = dir.file("out.hdr");
        ASSERT_EQ(ManipMerge().hdrTileProcess(write_bracket(dir, b, c.options), exifs(c.stops),
                                              c.ev, c.courbe, 0, int(b.photos.size()), res),
                  b.h);
        EXPECT_EQ(file_text(res), header(b.w, b.h) + reference(b, c.multipliers, c.courbe));
    }

    // The second series of a list of two.
    TempDir dir;
    const Bracket four = seeded(4, 3, 3, 3, 8, 60),
                  second{3, 3, 3, 8, {four.photos[2], four.photos[3]}};
    const std::string res = dir.file("out.hdr");
    ASSERT_EQ(ManipMerge().hdrTileProcess(write_bracket(dir, four), exifs({0, 2}), 0, 0, 1, 2, res),
              3);
    EXPECT_EQ(file_text(res), header(3, 3) + reference(second, {2, 0.5f}, 0));
}

TEST(KvTileMerge, StripTablesOfShortsAndLongsWhoseStripsFollowOneAnother)
{
    const Bracket b = seeded(2, 4, 5, 3, 8, 80);
    const struct {
        const char *name;
        int rowsPerStrip;
        std::vector<int> order; // strips in file order
        bool shorts;
        int code;
    } cases[] = {
        {"two SHORT offsets in the value field", 3, {0, 1}, true, 5},
        {"five SHORT offsets", 1, {0, 1, 2, 3, 4}, true, 5},
        {"three LONG offsets", 2, {0, 1, 2}, false, 5},
        {"one LONG offset", 5, {0}, false, 5},
        {"strips in another order", 2, {0, 2, 1}, false, -2},
        {"strips in another order, SHORT", 3, {1, 0}, true, -2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        platform::StringArray paths;
        for (const auto &photo : b.photos) {
            paths.push_back(dir.file("p" + std::to_string(paths.size()) + ".tif"));
            ASSERT_TRUE(testsupport::write_file(
                paths.back(), strip_tiff(photo, b.w, b.h, c.rowsPerStrip, c.order, c.shorts)));
        }
        const std::string res = dir.file("out.hdr");
        ASSERT_EQ(ManipMerge().hdrTileProcess(paths, exifs({0, 2}), 0.0f, 0, 0, 2, res), c.code);
        if (c.code > 0)
            EXPECT_EQ(file_text(res), header(b.w, b.h) + reference(b, {2, 0.5f}, 0));
        else
            EXPECT_FALSE(std::filesystem::exists(res));
    }
}

TEST(KvTileMerge, HatWeights)
{
    EXPECT_EQ(merge::detail::tile_hat8(127), 128);
    EXPECT_EQ(merge::detail::tile_hat8(128), 128);
    EXPECT_EQ(merge::detail::tile_hat8(0), 1);
    EXPECT_EQ(merge::detail::tile_hat8(255), 1);
    // The stretch of 16-bit samples, i / 0.9 truncated: 1 at 0, at most 65535.
    for (auto [i, s] : {std::pair{0, 1},
                        {1, 1},
                        {9, 10},
                        {900, 1000},
                        {58981, 65534},
                        {58982, 65535},
                        {65535, 65535}})
        EXPECT_EQ(merge::detail::TileCurves(16, 0).stretch[size_t(i)], s) << i;
    // A channel above 52000 marks a 16-bit pixel as clipped, whatever its luma.
    const merge::detail::TileCurves curves(16, 0);
    const uint16_t mid[3] = {30000, 30000, 30000}, clipped[3] = {30000, 52001, 30000};
    EXPECT_GT(curves.weight16(mid), 1000);
    EXPECT_EQ(curves.weight16(clipped), 1);
}

TEST(KvTileMerge, RefusalsLeaveNoResultFileAndNoOpenFile)
{
    TempDir dir;
    const Bracket b = seeded(2, 4, 3, 3, 8, 70);
    const platform::StringArray good = write_bracket(dir, b);
    std::vector<std::unique_ptr<TempDir>> dirs;
    // The bracket written again with other settings.
    auto other = [&](const Bracket &v, testsupport::LibTiffOptions o = {}) {
        dirs.push_back(std::make_unique<TempDir>());
        return write_bracket(*dirs.back(), v, o);
    };
    // The second photo with one directory value replaced.
    auto patched = [&](uint16_t tag, uint32_t value) {
        dirs.push_back(std::make_unique<TempDir>());
        testsupport::Bytes bytes = testsupport::read_file(good[1]);
        patch_tag(bytes, tag, value);
        EXPECT_TRUE(testsupport::write_file(dirs.back()->file("p.tif"), bytes));
        return platform::StringArray{good[0], dirs.back()->file("p.tif")};
    };
    testsupport::LibTiffOptions lzw, planar, big;
    lzw.compression = COMPRESSION_LZW;
    planar.separate = true;
    big.bigEndian = true;
    const uint32_t size = uint32_t(testsupport::read_file(good[1]).size());
    struct Refusal {
        const char *name;
        platform::StringArray paths;
        int code;
    };
    const std::vector<Refusal> refusals = {
        {"missing photo", {good[0], dir.file("none.tif")}, -2},
        {"samples differ", {good[0], other(seeded(2, 4, 3, 4, 8, 70))[1]}, -3},
        {"depth differs", {good[0], other(seeded(2, 4, 3, 3, 16, 70))[1]}, -3},
        {"compressed", other(b, lzw), -2},
        {"planar", other(b, planar), -2},
        {"16-bit big-endian", other(seeded(2, 4, 3, 3, 16, 70), big), -2},
        {"one sample", other(seeded(2, 4, 3, 1, 8, 70)), -2},
        {"rows per strip below the height", patched(278, uint32_t(b.h - 1)), -2},
        {"strip byte count short", patched(279, 35), -2},
        {"strip past the end", patched(273, size - 20), -1},
    };
    const std::string res = dir.file("out.hdr");
    for (const Refusal &r : refusals) {
        SCOPED_TRACE(r.name);
        const int before = open_descriptors();
        EXPECT_EQ(ManipMerge().hdrTileProcess(r.paths, exifs({0, 1}), 0.0f, 0, 0, 2, res), r.code);
        EXPECT_FALSE(std::filesystem::exists(res));
        EXPECT_EQ(open_descriptors(), before);
    }
    // Arguments that select no series, or too few exposures.
    const ManipMerge m;
    EXPECT_EQ(m.hdrTileProcess(good, exifs({0, 1}), 0.0f, 0, 0, 0, res), -3);
    EXPECT_EQ(m.hdrTileProcess(good, exifs({0, 1}), 0.0f, 0, 1, 2, res), -3);
    EXPECT_EQ(m.hdrTileProcess(good, exifs({0, 1}), 0.0f, 0, -1, 2, res), -3);
    EXPECT_EQ(m.hdrTileProcess(good, exifs({0}), 0.0f, 0, 0, 2, res), -3);
    EXPECT_FALSE(std::filesystem::exists(res));
    EXPECT_EQ(m.hdrTileProcess(good, exifs({0, 1}), 0.0f, 0, 0, 2, dir.file("no/dir.hdr")), -1);
}
