// Manip's image operations: quarter turns and crops of bitmaps and rgbeBufs (padded rows, alpha
// and grey sources, refusals), arrondi, the log-luminance histogram and the sharpening against
// plain references, colour-space names, and the bundle's ICC profiles read back through the
// colour library.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <lcms2.h>

#include "imagecore/manip.h"
#include "platform/bundle.h"
#include "tests/support/fixtures.h"
#include "tests/support/patterns.h"

using platform::BitmapImageRep;
using platform::BitmapPtr;
using platform::Rect;
using testsupport::seeded_samples;

namespace {

// A w x h bitmap of spp samples whose rows carry `pad` spare samples, filled with seeded values;
// the padding holds 0xEE bytes so a read of it shows.
BitmapPtr test_bitmap(int w, int h, int spp, int bps, int pad, uint64_t seed)
{
    const int bytes = bps / 8, row = (w * spp + pad) * bytes;
    BitmapPtr bmp = BitmapImageRep::create(w, h, bps, spp, false, false,
                                           platform::kCalibratedRGBColorSpace, row, 0);
    if (!bmp)
        return nullptr;
    std::memset(bmp->bitmapData(), 0xEE, size_t(row) * size_t(h));
    const auto values = seeded_samples<uint16_t>(size_t(w * h * spp), seed, bps == 8 ? 256 : 65536);
    for (int y = 0; y < h; ++y)
        for (int i = 0; i < w * spp; ++i) {
            uint8_t *p = bmp->bitmapData() + size_t(y) * size_t(row) + size_t(i * bytes);
            const uint16_t v = values[size_t(y * w * spp + i)];
            if (bps == 8)
                *p = uint8_t(v);
            else
                std::memcpy(p, &v, 2);
        }
    return bmp;
}

// Sample k of pixel (x, y), read through the bitmap's own row length.
int sample(const BitmapImageRep &b, int x, int y, int k)
{
    const uint8_t *p = b.bitmapData() + size_t(y) * size_t(b.bytesPerRow()) +
                       size_t((x * b.samplesPerPixel() + k) * b.bitsPerSample() / 8);
    if (b.bitsPerSample() == 8)
        return *p;
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

std::vector<int> pixels_of(const BitmapImageRep &b)
{
    std::vector<int> all;
    for (int y = 0; y < b.pixelsHigh(); ++y)
        for (int x = 0; x < b.pixelsWide(); ++x)
            for (int k = 0; k < b.samplesPerPixel(); ++k)
                all.push_back(sample(b, x, y, k));
    return all;
}

platform::DataPtr data_of(const std::vector<uint8_t> &v)
{
    return platform::Data::copy(v.data(), v.size());
}

// Sets the resources root for one test and puts the previous one back.
class ResourcesRoot {
public:
    explicit ResourcesRoot(const std::string &root) : m_old(platform::resources_root())
    {
        platform::set_resources_root(root);
    }
    ~ResourcesRoot() { platform::set_resources_root(m_old); }

private:
    std::string m_old;
};

} // namespace

TEST(ManipLdrRotate, QuarterTurnsOfPaddedRowsFollowTheDefinitionAndRoundTrip)
{
    const Manip manip;
    for (int bps : {8, 16}) {
        SCOPED_TRACE(bps);
        const int w = 5, h = 3;
        BitmapPtr src = test_bitmap(w, h, 3, bps, 2, uint64_t(bps));
        BitmapPtr cw = manip.ldrRotate(src, 90), ccw = manip.ldrRotate(src, 270);
        ASSERT_TRUE(cw && ccw);
        for (const BitmapPtr &r : {cw, ccw}) {
            EXPECT_EQ(r->pixelsWide(), h);
            EXPECT_EQ(r->pixelsHigh(), w);
            EXPECT_EQ(r->bytesPerRow(), h * 3 * bps / 8); // packed
            EXPECT_EQ(r->bitsPerSample(), bps);
            EXPECT_EQ(r->colorSpaceName(), platform::kCalibratedRGBColorSpace);
        }
        // 90: result (row i, column j) = source (row h - 1 - j, column i); 270: source (row j,
        // column w - 1 - i).
        for (int i = 0; i < w; ++i)
            for (int j = 0; j < h; ++j)
                for (int k = 0; k < 3; ++k) {
                    ASSERT_EQ(sample(*cw, j, i, k), sample(*src, i, h - 1 - j, k));
                    ASSERT_EQ(sample(*ccw, j, i, k), sample(*src, w - 1 - i, j, k));
                }
        BitmapPtr back = manip.ldrRotate(cw, 270);
        ASSERT_TRUE(back);
        EXPECT_EQ(back->pixelsWide(), w);
        EXPECT_EQ(pixels_of(*back), pixels_of(*src));
    }
}

TEST(ManipLdrRotate, AlphaIsDroppedAndGreyMovesOneSample)
{
    // {source samples, result samples, samples copied}
    const int cases[][3] = {{1, 1, 1}, {2, 1, 1}, {3, 3, 3}, {4, 3, 3}, {5, 5, 3}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c[0]);
        const int w = 4, h = 3;
        BitmapPtr src = test_bitmap(w, h, c[0], 8, 1, uint64_t(c[0]) + 20);
        BitmapPtr r = Manip().ldrRotate(src, 90);
        ASSERT_TRUE(r);
        ASSERT_EQ(r->samplesPerPixel(), c[1]);
        EXPECT_EQ(r->bytesPerRow(), h * c[1]);
        for (int i = 0; i < w; ++i)
            for (int j = 0; j < h; ++j)
                for (int k = 0; k < c[1]; ++k)
                    ASSERT_EQ(sample(*r, j, i, k), k < c[2] ? sample(*src, i, h - 1 - j, k) : 0);
    }
}

TEST(ManipLdrRotate, OtherAnglesAndNullAreRefused)
{
    BitmapPtr src = test_bitmap(3, 2, 3, 8, 0, 1);
    for (int angle : {0, 180, -90, 45, 360, 450})
        EXPECT_FALSE(Manip().ldrRotate(src, angle)) << angle;
    EXPECT_FALSE(Manip().ldrRotate(nullptr, 90));
}

TEST(ManipHdrRotate, PlanesMoveTogetherForBothTurns)
{
    // 2 wide, 3 high; pixel n has the bytes (n, 10 n, 20 n, 100 + n) in its four planes.
    auto rgbe = [](int w, const std::vector<int> &order) {
        std::vector<uint8_t> buf(order.size() * 4);
        const int h = int(order.size()) / w;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int n = order[size_t(y * w + x)];
                for (int p = 0; p < 4; ++p)
                    buf[size_t(4 * w * y + p * w + x)] = uint8_t(p == 3 ? 100 + n : 10 * p * n + n);
            }
        return buf;
    };
    const auto src = data_of(rgbe(2, {1, 2, 3, 4, 5, 6}));
    auto cw = Manip().hdrRotate(src, 2, 3, 90), ccw = Manip().hdrRotate(src, 2, 3, 270);
    ASSERT_TRUE(cw && ccw);
    EXPECT_EQ(std::vector<uint8_t>(cw->bytes(), cw->bytes() + cw->length()),
              rgbe(3, {5, 3, 1, 6, 4, 2}));
    EXPECT_EQ(std::vector<uint8_t>(ccw->bytes(), ccw->bytes() + ccw->length()),
              rgbe(3, {2, 4, 6, 1, 3, 5}));

    // One pixel wide: one row whose first pixel is the source's last row.
    const auto column = data_of(rgbe(1, {7, 8, 9, 10}));
    auto row = Manip().hdrRotate(column, 1, 4, 90);
    ASSERT_TRUE(row);
    EXPECT_EQ(std::vector<uint8_t>(row->bytes(), row->bytes() + row->length()),
              rgbe(4, {10, 9, 8, 7}));
}

TEST(ManipHdrRotate, ShortDataNegativeSidesAndOtherAnglesAreRefused)
{
    const auto src = data_of(std::vector<uint8_t>(4 * 6, 9));
    EXPECT_FALSE(Manip().hdrRotate(src, 2, 4, 90)); // needs 32 bytes
    EXPECT_FALSE(Manip().hdrRotate(src, -2, 3, 90));
    EXPECT_FALSE(Manip().hdrRotate(src, 2, 3, 180));
    EXPECT_FALSE(Manip().hdrRotate(src, 2, 3, -90));
    EXPECT_FALSE(Manip().hdrRotate(nullptr, 2, 3, 90));
    EXPECT_FALSE(Manip().hdrRotate(src, INT_MAX, INT_MAX, 90));
    auto empty = Manip().hdrRotate(src, 0, 3, 90);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->length(), 0u);
}

TEST(ManipCrop, RectangleIsTruncatedAndAlphaDropped)
{
    BitmapPtr src = test_bitmap(5, 3, 4, 16, 3, 31);
    auto image = Manip().ldrCrop(src, Rect{1.9, 0.2, 2.7, 1.0}); // x0 1, y0 0, 2 x 1
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 2);
    EXPECT_EQ(image->height, 1);
    ASSERT_EQ(image->representations.size(), 1u);
    const BitmapImageRep &r = *image->representations[0];
    ASSERT_EQ(r.pixelsWide(), 2);
    ASSERT_EQ(r.pixelsHigh(), 1);
    ASSERT_EQ(r.samplesPerPixel(), 3);
    EXPECT_EQ(r.bytesPerRow(), 2 * 3 * 2);
    for (int j = 0; j < 2; ++j)
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(sample(r, j, 0, k), sample(*src, 1 + j, 0, k));

    // A grey source keeps its one sample; a whole-image crop is a copy.
    BitmapPtr grey = test_bitmap(4, 3, 1, 8, 1, 32);
    auto all = Manip().ldrCrop(grey, Rect{0, 0, 4, 3});
    ASSERT_TRUE(all);
    EXPECT_EQ(all->representations[0]->bytesPerRow(), 4);
    EXPECT_EQ(pixels_of(*all->representations[0]), pixels_of(*grey));
}

TEST(ManipCrop, RectanglesLeavingTheSourceAreRefused)
{
    // The source: a 5 x 3 bitmap, and the same size as an rgbeBuf.
    BitmapPtr src = test_bitmap(5, 3, 3, 8, 0, 33);
    const auto rgbe = data_of(seeded_samples<uint8_t>(4 * 5 * 3, 34));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Rect outside[] = {{-1, 0, 2, 2},  {0, -1, 2, 2},   {4, 0, 2, 1},   {0, 2, 1, 2},
                            {0, 0, 6, 1},   {0, 0, 1, 4},    {0, 0, -1, 1},  {0, 0, 1, -1},
                            {nan, 0, 1, 1}, {0, 0, 1e20, 1}, {3e9, 0, 1, 1}, {1, 1, INFINITY, 1}};
    for (const Rect &r : outside) {
        EXPECT_FALSE(Manip().ldrCrop(src, r)) << r.x << " " << r.y << " " << r.width;
        EXPECT_FALSE(Manip().hdrCrop(rgbe, 5, r)) << r.x << " " << r.y << " " << r.width;
    }
    EXPECT_FALSE(Manip().ldrCrop(src, Rect{0, 0, 0, 1})); // no empty bitmap
    EXPECT_FALSE(Manip().ldrCrop(nullptr, Rect{0, 0, 1, 1}));
    EXPECT_FALSE(Manip().hdrCrop(nullptr, 5, Rect{0, 0, 1, 1}));
    EXPECT_FALSE(Manip().hdrCrop(rgbe, 0, Rect{0, 0, 0, 0}));
    // The height of an rgbeBuf is what its data holds: 6 columns make it 2 rows high.
    EXPECT_TRUE(Manip().hdrCrop(rgbe, 6, Rect{0, 1, 6, 1}));
    EXPECT_FALSE(Manip().hdrCrop(rgbe, 6, Rect{0, 2, 6, 1}));
}

TEST(ManipHdrCrop, CutsEachPlaneAndAllowsAnEmptyRectangle)
{
    const int w = 5, h = 3;
    const auto src = seeded_samples<uint8_t>(4 * w * h, 35);
    auto cut = Manip().hdrCrop(data_of(src), w, Rect{1.5, 1.0, 3.0, 2.9}); // (1, 1), 3 x 2
    ASSERT_TRUE(cut);
    ASSERT_EQ(cut->length(), 4u * 3 * 2);
    for (int i = 0; i < 2; ++i)
        for (int p = 0; p < 4; ++p)
            for (int j = 0; j < 3; ++j)
                EXPECT_EQ(cut->bytes()[4 * 3 * i + 3 * p + j],
                          src[size_t(4 * w * (1 + i) + w * p + 1 + j)]);
    auto none = Manip().hdrCrop(data_of(src), w, Rect{2, 3, 3, 0});
    ASSERT_TRUE(none);
    EXPECT_EQ(none->length(), 0u);
}

TEST(Arrondi, PositiveHalvesGoDownNegativesTruncate)
{
    const struct {
        float x;
        int want;
    } cases[] = {{3.0f, 3},
                 {3.5f, 3},
                 {3.6f, 4},
                 {-2.5f, -2},
                 {2.5f, 2},
                 {2.51f, 3},
                 {0.4f, 0},
                 {-1.7f, -1},
                 {0.0f, 0},
                 {-0.6f, 0},
                 {1e10f, INT_MAX},
                 {-1e10f, INT_MIN},
                 {std::numeric_limits<float>::quiet_NaN(), 0}};
    for (const auto &c : cases)
        EXPECT_EQ(arrondi(c.x), c.want) << c.x;
}

namespace {

// The histogram straight from its definition.
std::vector<uint32_t> histo_reference(const std::vector<uint8_t> &rgbe, int w, int h, float min,
                                      float max)
{
    std::vector<uint32_t> bins(65536, 0);
    const float lmin = std::log(min), lmax = std::log(max);
    const float scale = 65535.0f / (lmax - lmin);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint8_t *row = &rgbe[size_t(4 * w * y)];
            const int e = row[3 * w + x];
            if (e == 0)
                continue;
            const int lum = (54 * row[x] + 183 * row[w + x] + 19 * row[2 * w + x]) / 256;
            const float v = float(lum) * float(std::pow(2.0, e - 128));
            double bin = lum == 0 ? 0.0 : (std::log(double(v)) - lmin) * scale;
            bin = bin < 0 ? 0 : (bin > 65535 ? 65535 : bin);
            ++bins[size_t(bin)];
        }
    return bins;
}

std::vector<uint32_t> counters(const platform::DataPtr &d)
{
    std::vector<uint32_t> c(d->length() / 4);
    std::memcpy(c.data(), d->bytes(), d->length());
    return c;
}

} // namespace

TEST(ManipGetHisto32, MatchesTheDefinitionOnABusyImage)
{
    const int w = 23, h = 17;
    auto rgbe = seeded_samples<uint8_t>(4 * w * h, 41);
    // Exponents spread over the whole range, with some black pixels.
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t &e = rgbe[size_t(4 * w * y + 3 * w + x)];
            e = (x + y) % 7 == 0 ? 0 : uint8_t(100 + e / 4);
        }
    auto histo = Manip().getHisto32(data_of(rgbe), w, h, 0.01f, 5000.0f);
    ASSERT_TRUE(histo);
    ASSERT_EQ(histo->length(), 262144u);
    const auto got = counters(histo);
    EXPECT_EQ(got, histo_reference(rgbe, w, h, 0.01f, 5000.0f));
    size_t total = 0;
    for (uint32_t c : got)
        total += c;
    size_t black = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            black += (x + y) % 7 == 0;
    EXPECT_EQ(total, size_t(w * h) - black); // exponent 0 counts nowhere
}

TEST(ManipGetHisto32, OutOfRangeValuesLandInTheEndBins)
{
    // v = luma x 2^(e - 128): grey 128 at e 128 is 128; at e 118 it is 0.125; at 140 it is 524288.
    auto grey = [](std::vector<std::pair<int, int>> px) { // (grey, exponent) a pixel
        const size_t w = px.size();
        std::vector<uint8_t> buf(4 * w);
        for (size_t x = 0; x < w; ++x) {
            buf[x] = buf[w + x] = buf[2 * w + x] = uint8_t(px[x].first);
            buf[3 * w + x] = uint8_t(px[x].second);
        }
        return buf;
    };
    auto histo =
        Manip().getHisto32(data_of(grey({{128, 118}, {128, 140}, {128, 128}, {0, 200}, {1, 128}})),
                           5, 1, 128.0f, 4096.0f);
    ASSERT_TRUE(histo);
    const auto c = counters(histo);
    EXPECT_EQ(c[0], 4u);     // below min, equal to min, luma 0, and luma 1 (v = 1 < min)
    EXPECT_EQ(c[65535], 1u); // above max
    auto blank = Manip().getHisto32(data_of(std::vector<uint8_t>(4 * 6 * 2, 0)), 6, 2, 1, 10);
    ASSERT_TRUE(blank);
    EXPECT_EQ(counters(blank), std::vector<uint32_t>(65536, 0));
}

TEST(ManipGetHisto32, BadBoundsAndShortDataGiveNil)
{
    const auto d = data_of(std::vector<uint8_t>(4 * 4 * 4, 130));
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float bounds[][2] = {{0.5f, 1.0f},  {2.0f, 2.0f}, {0.0f, 10.0f}, {-1.0f, 10.0f},
                               {10.0f, 2.0f}, {nan, 10.0f}, {0.5f, nan}};
    for (const auto &b : bounds)
        EXPECT_FALSE(Manip().getHisto32(d, 4, 4, b[0], b[1])) << b[0] << " " << b[1];
    EXPECT_FALSE(Manip().getHisto32(d, 4, 5, 0.5f, 10.0f)); // 80 bytes needed, 64 given
    EXPECT_FALSE(Manip().getHisto32(d, -4, 4, 0.5f, 10.0f));
    EXPECT_FALSE(Manip().getHisto32(nullptr, 4, 4, 0.5f, 10.0f));
    EXPECT_TRUE(Manip().getHisto32(d, 4, 4, 0.5f, 10.0f));
}

namespace {

// Sharpening from its definition: sample k of each pixel minus amount times the 8-neighbour
// Laplacian, neighbours outside counting 0 and the centre always -8.
std::vector<int> sharpen_reference(const BitmapImageRep &b, float amount, int n)
{
    std::vector<int> out;
    const int w = b.pixelsWide(), h = b.pixelsHigh(), top = b.bitsPerSample() == 8 ? 255 : 65535;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int k = 0; k < n; ++k) {
                int lap = -8 * sample(b, x, y, k);
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) {
                        const int xx = x + dx, yy = y + dy;
                        if ((dx || dy) && xx >= 0 && xx < w && yy >= 0 && yy < h)
                            lap += sample(b, xx, yy, k);
                    }
                const float la = float(lap) * amount;
                const double change = b.bitsPerSample() == 8 ? std::nearbyint(la) : std::trunc(la);
                double v = sample(b, x, y, k) - change;
                out.push_back(int(v < 0 ? 0 : v > top ? top : v));
            }
    return out;
}

std::vector<int> first_samples(const BitmapImageRep &b, int n)
{
    std::vector<int> out;
    for (int y = 0; y < b.pixelsHigh(); ++y)
        for (int x = 0; x < b.pixelsWide(); ++x)
            for (int k = 0; k < n; ++k)
                out.push_back(sample(b, x, y, k));
    return out;
}

BitmapPtr flat(int w, int h, int spp, int bps, int value)
{
    BitmapPtr b = test_bitmap(w, h, spp, bps, 0, 0);
    for (int i = 0; i < w * h * spp; ++i) {
        if (bps == 8)
            b->bitmapData()[i] = uint8_t(value);
        else
            std::memcpy(b->bitmapData() + 2 * i, &value, 2); // little-endian host
    }
    return b;
}

} // namespace

TEST(ManipPlusNet, FlatImageGetsTheLighterBorderOfTheDefinition)
{
    auto image = Manip().plusNet(flat(5, 4, 3, 8, 100), 0.1f);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 5);
    const BitmapImageRep &r = *image->representations[0];
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(sample(r, 2, 2, k), 100); // interior
        EXPECT_EQ(sample(r, 2, 0, k), 130); // edge, L = -3 x 100
        EXPECT_EQ(sample(r, 0, 2, k), 130);
        EXPECT_EQ(sample(r, 0, 0, k), 150); // corner, L = -5 x 100
        EXPECT_EQ(sample(r, 4, 3, k), 150);
    }
    // 16 bits: the corner 60000 + 5 x 60000 x 0.1 saturates, a negative amount clips at 0.
    auto high = Manip().plusNet(flat(3, 3, 1, 16, 60000), 0.1f);
    auto low = Manip().plusNet(flat(3, 3, 1, 16, 1000), -1.0f);
    ASSERT_TRUE(high && low);
    EXPECT_EQ(sample(*high->representations[0], 0, 0, 0), 65535);
    EXPECT_EQ(sample(*high->representations[0], 1, 1, 0), 60000);
    EXPECT_EQ(sample(*low->representations[0], 0, 0, 0), 0);
}

TEST(ManipPlusNet, MatchesTheDefinitionForEveryLayout)
{
    // {spp, bps, amount}: padded rows throughout; alpha and grey keep min(3, outSpp) samples.
    const struct {
        int spp, bps;
        float amount;
    } cases[] = {{3, 8, 0.35f}, {4, 8, 0.5f},   {1, 8, 0.25f}, {2, 8, 1.0f},
                 {3, 16, 0.7f}, {2, 16, 0.15f}, {5, 16, 0.3f}, {3, 8, 0.0f}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.spp << " " << c.bps << " " << c.amount);
        BitmapPtr src = test_bitmap(9, 7, c.spp, c.bps, 2, uint64_t(c.spp * 100 + c.bps));
        auto image = Manip().plusNet(src, c.amount);
        ASSERT_TRUE(image);
        const BitmapImageRep &r = *image->representations[0];
        const int outSpp = c.spp == 4 ? 3 : c.spp == 2 ? 1 : c.spp, n = outSpp < 3 ? outSpp : 3;
        ASSERT_EQ(r.samplesPerPixel(), outSpp);
        EXPECT_EQ(r.bytesPerRow(), 9 * outSpp * c.bps / 8);
        EXPECT_EQ(first_samples(r, n), sharpen_reference(*src, c.amount, n));
        if (c.amount == 0.0f) {
            EXPECT_EQ(first_samples(r, n), first_samples(*src, n));
        }
    }
}

TEST(ManipPlusNet, RaisesTheContrastOfAnEdge)
{
    // Left half 80, right half 160: the two columns at the step move apart.
    BitmapPtr src = flat(8, 6, 3, 8, 80);
    for (int y = 0; y < 6; ++y)
        for (int x = 4; x < 8; ++x)
            for (int k = 0; k < 3; ++k)
                src->bitmapData()[(y * 8 + x) * 3 + k] = 160;
    auto image = Manip().plusNet(src, 0.2f);
    ASSERT_TRUE(image);
    const BitmapImageRep &r = *image->representations[0];
    EXPECT_LT(sample(r, 3, 3, 0), 80);
    EXPECT_GT(sample(r, 4, 3, 0), 160);
    EXPECT_EQ(sample(r, 1, 3, 0), 80); // away from the step nothing moves
    EXPECT_FALSE(Manip().plusNet(src, std::numeric_limits<float>::quiet_NaN()));
    EXPECT_FALSE(Manip().plusNet(nullptr, 0.1f));
}

TEST(ManipCsNameFromSpp, GreyForOneSampleRgbOtherwise)
{
    EXPECT_STREQ(Manip().csNameFromSpp(1), "NSCalibratedWhiteColorSpace");
    for (int spp : {2, 3, 4, 0, -1})
        EXPECT_STREQ(Manip().csNameFromSpp(spp), "NSCalibratedRGBColorSpace") << spp;
}

namespace {

const char *const kProfileFiles[3] = {"sRGB Profile.icc", "AdobeRGB1998.icc", "ProPhoto.icm"};

} // namespace

TEST(ManipExtractProfile, CopiesEachBundleProfile)
{
    ResourcesRoot root(HDR_RESOURCES_DIR);
    for (int id = 0; id < 3; ++id) {
        SCOPED_TRACE(id);
        const auto file =
            testsupport::read_file(std::string(HDR_RESOURCES_DIR) + "/" + kProfileFiles[id]);
        ASSERT_GE(file.size(), 128u);
        const int n = int(file.size());
        std::vector<uint8_t> buf(file.size() + 4, 0xAB);
        ASSERT_EQ(Manip().extract_profile(id, n, buf.data()), n);
        EXPECT_TRUE(std::equal(file.begin(), file.end(), buf.begin()));
        EXPECT_EQ(buf[size_t(n)], 0xAB); // exactly n bytes
        // The header names its own size (big-endian) and carries the profile signature.
        EXPECT_EQ(uint32_t(buf[0] << 24 | buf[1] << 16 | buf[2] << 8 | buf[3]), uint32_t(n));
        EXPECT_EQ(std::string(buf.begin() + 36, buf.begin() + 40), "acsp");
        // A shorter length copies the head only.
        std::vector<uint8_t> head(16, 0);
        EXPECT_EQ(Manip().extract_profile(id, 10, head.data()), 10);
        EXPECT_EQ(head[10], 0);
    }
}

TEST(ManipExtractProfile, EveryFailureHasItsCode)
{
    std::vector<uint8_t> buf(64, 0x5A);
    ResourcesRoot root(HDR_RESOURCES_DIR);
    EXPECT_EQ(Manip().extract_profile(3, 16, buf.data()), -13);
    EXPECT_EQ(Manip().extract_profile(7, 16, buf.data()), -17);
    EXPECT_EQ(Manip().extract_profile(INT_MAX, 16, buf.data()), INT_MIN);
    EXPECT_EQ(Manip().extract_profile(-1, 16, buf.data()), -3);
    EXPECT_EQ(Manip().extract_profile(0, -1, buf.data()), -3);
    EXPECT_EQ(Manip().extract_profile(0, 16, nullptr), -3);
    EXPECT_EQ(buf, std::vector<uint8_t>(64, 0x5A)); // nothing read
    const size_t size =
        testsupport::read_file(std::string(HDR_RESOURCES_DIR) + "/ProPhoto.icm").size();
    std::vector<uint8_t> big(size + 1);
    EXPECT_EQ(Manip().extract_profile(2, int(size) + 1, big.data()), -5);

    testsupport::TempDir dir;
    ResourcesRoot empty(dir.path());
    EXPECT_EQ(Manip().extract_profile(0, 16, buf.data()), -2); // missing resource
    ASSERT_TRUE(testsupport::write_file(dir.file("AdobeRGB1998.icc"), {0, 0, 1}));
    EXPECT_EQ(Manip().extract_profile(1, 2, buf.data()), -3); // no size field
}

TEST(BundleProfiles, ColourLibraryReadsThemAsTheStandardSpaces)
{
    // D50-adapted colorants of the three spaces as published (Bradford adaptation); the fourth
    // decimal varies between published tables with the adaptation matrix and the s15.16
    // rounding of the tags, hence 1e-3.
    const double colorants[3][3][3] = {{{0.4360747, 0.2225045, 0.0139322},
                                        {0.3850649, 0.7168786, 0.0971045},
                                        {0.1430804, 0.0606169, 0.7141733}},
                                       {{0.6097559, 0.3111242, 0.0194811},
                                        {0.2052401, 0.6256560, 0.0608902},
                                        {0.1492240, 0.0632197, 0.7448387}},
                                       {{0.7976749, 0.2880402, 0.0000000},
                                        {0.1351917, 0.7118741, 0.0000000},
                                        {0.0313534, 0.0000857, 0.8251046}}};
    // Y of the encoded value 0.5 through each space's curve.
    const double halfY[3] = {std::pow((0.5 + 0.055) / 1.055, 2.4), std::pow(0.5, 563.0 / 256.0),
                             std::pow(0.5, 1.8)};
    const cmsTagSignature tags[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag,
                                     cmsSigBlueColorantTag};
    for (int id = 0; id < 3; ++id) {
        SCOPED_TRACE(kProfileFiles[id]);
        const std::string path = std::string(HDR_RESOURCES_DIR) + "/" + kProfileFiles[id];
        cmsHPROFILE p = cmsOpenProfileFromFile(path.c_str(), "r");
        ASSERT_TRUE(p);
        EXPECT_EQ(cmsGetColorSpace(p), cmsSigRgbData);
        EXPECT_EQ(cmsGetDeviceClass(p), cmsSigDisplayClass);
        EXPECT_EQ(cmsGetPCS(p), cmsSigXYZData);
        EXPECT_NEAR(cmsGetProfileVersion(p), 2.4, 1e-9);
        for (int c = 0; c < 3; ++c) {
            const auto *xyz = static_cast<const cmsCIEXYZ *>(cmsReadTag(p, tags[c]));
            ASSERT_TRUE(xyz);
            EXPECT_NEAR(xyz->X, colorants[id][c][0], 1e-3);
            EXPECT_NEAR(xyz->Y, colorants[id][c][1], 1e-3);
            EXPECT_NEAR(xyz->Z, colorants[id][c][2], 1e-3);
        }
        cmsHPROFILE xyzProfile = cmsCreateXYZProfile();
        cmsHTRANSFORM t = cmsCreateTransform(p, TYPE_RGB_DBL, xyzProfile, TYPE_XYZ_DBL,
                                             INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOOPTIMIZE);
        ASSERT_TRUE(t);
        const double in[2][3] = {{1, 1, 1}, {0.5, 0.5, 0.5}};
        cmsCIEXYZ out[2];
        cmsDoTransform(t, in, out, 2);
        // White maps to the connection space's D50; the curves are 16-bit tables: 1e-3.
        EXPECT_NEAR(out[0].X, 0.9642, 1e-3);
        EXPECT_NEAR(out[0].Y, 1.0, 1e-3);
        EXPECT_NEAR(out[0].Z, 0.8249, 1e-3);
        EXPECT_NEAR(out[1].Y, halfY[id], 1e-3);
        cmsDeleteTransform(t);
        cmsCloseProfile(xyzProfile);
        cmsCloseProfile(p);
    }
}
