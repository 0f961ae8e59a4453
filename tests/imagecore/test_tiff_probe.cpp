// TIFF probe: slots from hand-built files in both byte orders, the directory-walk limits, the
// ICC profile copy and the offset array reader.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "imagecore/records.h"
#include "imagecore/tiff_probe.h"
#include "tests/imagecore/reader_test_util.h"
#include "tests/support/fixtures.h"

using readertest::open_fds;
using readertest::put;
using testsupport::Bytes;
using testsupport::TempDir;
using testsupport::TiffBuilder;

namespace {

using Infos = std::array<int, kImageInfosCount>;

Infos probe(const std::string &path, int *result)
{
    Infos info{};
    *result = getTiffInfo(path.c_str(), info.data());
    return info;
}

// A 4 x 3 RGB image with resolution 72/1, orientation 6 and an ICC profile.
TiffBuilder rgb_file(bool big, const Bytes &icc)
{
    TiffBuilder t(big);
    size_t ifd = t.add_ifd();
    std::vector<uint8_t> px(4 * 3 * 3, 7);
    t.add_image(ifd, px.data(), 4, 3, 3, 8);
    t.add_shorts(ifd, 274, {6});
    t.add_rationals(ifd, 282, {{72, 1}});
    if (!icc.empty())
        t.add_bytes(ifd, 34675, testsupport::kTiffUndefined, icc);
    t.sort_entries(ifd);
    return t;
}

} // namespace

TEST(GetTiffInfo, FillsTheSlotsInBothByteOrders)
{
    TempDir dir;
    Bytes icc = testsupport::make_icc_profile(560, "probe");
    for (bool big : {false, true}) {
        SCOPED_TRACE(big ? "MM" : "II");
        TiffBuilder t = rgb_file(big, icc);
        std::string path = put(dir, big ? "mm.tif" : "ii.tif", t.build());
        int r = 0;
        Infos info = probe(path, &r);
        EXPECT_EQ(r, big ? 1 : 2);
        EXPECT_EQ(info[kInfoWidth], 4);
        EXPECT_EQ(info[kInfoHeight], 3);
        EXPECT_EQ(info[kInfoBits], 8); // three values: read through the offset
        EXPECT_EQ(info[kInfoSamples], 3);
        EXPECT_EQ(info[kInfoXRes], 72);
        EXPECT_EQ(info[kInfoStripOffsets], 8); // the first blob follows the header
        EXPECT_EQ(info[kInfoIccLength], 560);
        EXPECT_EQ(info[kInfoRowsPerStrip], 3);
        EXPECT_EQ(info[kInfoStripByteCounts], 36);
        EXPECT_EQ(info[kInfoPlanar], 1);
        EXPECT_EQ(info[kInfoOrientation], 6);
        EXPECT_EQ(info[kInfoCompression], 1);
        EXPECT_EQ(info[12], 0);
    }
}

TEST(GetTiffInfo, BitsPerSampleDirectOrThroughOffset)
{
    TempDir dir;
    for (bool big : {false, true}) {
        SCOPED_TRACE(big ? "MM" : "II");
        // A single 16: taken from the field.
        TiffBuilder grey(big);
        size_t g = grey.add_ifd();
        grey.add_shorts(g, 258, {16});
        int r;
        EXPECT_EQ(probe(put(dir, "g.tif", grey.build()), &r)[kInfoBits], 16);

        // 16,16,16: the first value stored at the offset.
        TiffBuilder rgb(big);
        size_t c = rgb.add_ifd();
        rgb.add_shorts(c, 258, {16, 16, 16});
        EXPECT_EQ(probe(put(dir, "c.tif", rgb.build()), &r)[kInfoBits], 16);

        // Two values fit the field: there is no offset to follow (grey plus alpha).
        TiffBuilder ga(big);
        size_t a = ga.add_ifd();
        ga.add_shorts(a, 258, {8, 8});
        EXPECT_EQ(probe(put(dir, "ga.tif", ga.build()), &r)[kInfoBits], 8);

        // Three values whose offset lies past the end of the file: the slot stays 0.
        TiffBuilder far(big);
        size_t f = far.add_ifd();
        far.add_entry(f, 258, testsupport::kTiffShort, 3, far.u32({100000}));
        Infos info = probe(put(dir, "far.tif", far.build()), &r);
        EXPECT_EQ(r, big ? 1 : 2);
        EXPECT_EQ(info[kInfoBits], 0);
    }
}

TEST(GetTiffInfo, FirstNonZeroValueWinsAcrossDirectories)
{
    TempDir dir;
    for (bool big : {false, true}) {
        SCOPED_TRACE(big ? "MM" : "II");
        TiffBuilder t(big);
        size_t ifd0 = t.add_ifd();
        size_t ifd1 = t.add_ifd();
        t.add_longs(ifd0, 256, {640});
        t.add_longs(ifd0, 257, {0});  // zero leaves the slot open for IFD1
        t.add_shorts(ifd0, 339, {3}); // SampleFormat never touches the orientation
        t.add_longs(ifd1, 256, {160});
        t.add_longs(ifd1, 257, {120});
        t.add_shorts(ifd1, 274, {1});
        int r;
        Infos info = probe(put(dir, "two.tif", t.build()), &r);
        EXPECT_EQ(info[kInfoWidth], 640);
        EXPECT_EQ(info[kInfoHeight], 120);
        EXPECT_EQ(info[kInfoOrientation], 1);
    }
}

TEST(GetTiffInfo, ResolutionTruncatesAndIgnoresZeroDenominator)
{
    TempDir dir;
    struct Case {
        uint32_t num, den;
        int expected;
    } const cases[] = {{72, 1, 72}, {3000, 10, 300}, {300, 0, 0}, {2999, 10, 299}};
    for (bool big : {false, true})
        for (const Case &c : cases) {
            SCOPED_TRACE(testing::Message() << c.num << "/" << c.den << (big ? " MM" : " II"));
            TiffBuilder t(big);
            size_t ifd = t.add_ifd();
            t.add_rationals(ifd, 282, {{c.num, c.den}});
            int r;
            EXPECT_EQ(probe(put(dir, "res.tif", t.build()), &r)[kInfoXRes], c.expected);
        }
}

TEST(GetTiffInfo, HeaderErrorsCloseTheFile)
{
    TempDir dir;
    int before = open_fds();
    Infos info{};
    Bytes mm43 = {'M', 'M', 0, 43, 0, 0, 0, 8};
    EXPECT_EQ(getTiffInfo(put(dir, "m43.tif", mm43).c_str(), info.data()), -3);
    Bytes ii43 = {'I', 'I', 43, 0, 8, 0, 0, 0};
    EXPECT_EQ(getTiffInfo(put(dir, "i43.tif", ii43).c_str(), info.data()), -3);
    EXPECT_EQ(getTiffInfo(put(dir, "bad.tif", {'I', 'M', 42, 0}).c_str(), info.data()), -2);
    EXPECT_EQ(getTiffInfo(put(dir, "one.tif", {'I'}).c_str(), info.data()), -2);
    EXPECT_EQ(getTiffInfo(put(dir, "mark.tif", {'I', 'I'}).c_str(), info.data()), -3);
    EXPECT_EQ(getTiffInfo(dir.file("missing.tif").c_str(), info.data()), -1);
    EXPECT_EQ(open_fds(), before);
    EXPECT_EQ(info, Infos{});
}

TEST(GetTiffInfo, DirectoryWalkEndsOnLoopsAndBadOffsets)
{
    TempDir dir;
    for (bool big : {false, true}) {
        SCOPED_TRACE(big ? "MM" : "II");
        int r;
        // A directory that names itself as the next one.
        TiffBuilder self(big);
        size_t a = self.add_ifd();
        self.add_longs(a, 256, {33});
        self.set_next_to(a, a);
        Infos info = probe(put(dir, "self.tif", self.build()), &r);
        EXPECT_EQ(r, big ? 1 : 2);
        EXPECT_EQ(info[kInfoWidth], 33);

        // IFD1 loops back to IFD0.
        TiffBuilder loop(big);
        size_t l0 = loop.add_ifd();
        size_t l1 = loop.add_ifd();
        loop.add_longs(l0, 256, {5});
        loop.add_longs(l1, 257, {6});
        loop.set_next_to(l1, l0);
        info = probe(put(dir, "loop.tif", loop.build()), &r);
        EXPECT_EQ(info[kInfoWidth], 5);
        EXPECT_EQ(info[kInfoHeight], 6);

        // The next offset lies past the end of the file.
        TiffBuilder past(big);
        size_t p = past.add_ifd();
        past.add_longs(p, 256, {9});
        past.set_next(p, 0x7FFFFFF0);
        info = probe(put(dir, "past.tif", past.build()), &r);
        EXPECT_EQ(r, big ? 1 : 2);
        EXPECT_EQ(info[kInfoWidth], 9);

        // The first offset lies past the end: nothing is found, the byte order is still told.
        TiffBuilder none(big);
        none.set_first_ifd(0xFFFFFFF0u);
        info = probe(put(dir, "none.tif", none.build()), &r);
        EXPECT_EQ(r, big ? 1 : 2);
        EXPECT_EQ(info, Infos{});
    }
}

TEST(GetTiffInfo, TruncatedDirectoryKeepsWhatWasFound)
{
    TempDir dir;
    for (bool big : {false, true}) {
        SCOPED_TRACE(big ? "MM" : "II");
        TiffBuilder t(big);
        size_t ifd = t.add_ifd();
        t.add_longs(ifd, 256, {21});
        t.add_longs(ifd, 257, {22});
        t.add_shorts(ifd, 277, {3});
        Bytes file = t.build();
        // Cut in the middle of the third entry.
        file.resize(t.ifd_offset(ifd) + 2 + 12 * 2 + 5);
        int r;
        Infos info = probe(put(dir, "cut.tif", file), &r);
        EXPECT_EQ(r, big ? 1 : 2);
        EXPECT_EQ(info[kInfoWidth], 21);
        EXPECT_EQ(info[kInfoHeight], 22);
        EXPECT_EQ(info[kInfoSamples], 0);

        // An entry count far beyond the file.
        Bytes huge = t.build();
        uint32_t at = t.ifd_offset(ifd);
        huge[at] = 0xFF;
        huge[at + 1] = 0xFF;
        info = probe(put(dir, "huge.tif", huge), &r);
        EXPECT_EQ(info[kInfoWidth], 21);
        EXPECT_EQ(info[kInfoSamples], 3);
    }
}

TEST(GetTiffInfo, LongChainsEndAfterAFixedNumberOfDirectories)
{
    TempDir dir;
    TiffBuilder t;
    std::vector<size_t> ifds;
    for (int i = 0; i < 1000; ++i)
        ifds.push_back(t.add_ifd());
    t.add_longs(ifds[10], 256, {11});
    t.add_longs(ifds[999], 257, {1000});
    int r;
    Infos info = probe(put(dir, "chain.tif", t.build()), &r);
    EXPECT_EQ(r, 2);
    EXPECT_EQ(info[kInfoWidth], 11);
    EXPECT_EQ(info[kInfoHeight], 0);
}

TEST(GetTiffInfo, ProfilePastTheEndIsNotReported)
{
    TempDir dir;
    TiffBuilder t;
    size_t ifd = t.add_ifd();
    t.add_entry_at(ifd, 34675, testsupport::kTiffUndefined, 4000, 64);
    int r;
    Infos info = probe(put(dir, "icc.tif", t.build()), &r);
    EXPECT_EQ(r, 2);
    EXPECT_EQ(info[kInfoIccLength], 0);
}

TEST(GetTiffInfo, ReadsFilesWrittenByLibtiff)
{
    TempDir dir;
    std::vector<uint16_t> px(5 * 4 * 3);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = uint16_t(i * 1000);
    testsupport::LibTiffOptions o;
    o.bits = 16;
    o.bigEndian = true;
    o.orientation = 8;
    o.icc = testsupport::make_icc_profile(700, "libtiff");
    std::string path = dir.file("lib.tif");
    ASSERT_TRUE(testsupport::write_libtiff(path, px.data(), 5, 4, 3, o));
    int r;
    Infos info = probe(path, &r);
    EXPECT_EQ(r, 1);
    EXPECT_EQ(info[kInfoWidth], 5);
    EXPECT_EQ(info[kInfoHeight], 4);
    EXPECT_EQ(info[kInfoBits], 16);
    EXPECT_EQ(info[kInfoSamples], 3);
    EXPECT_EQ(info[kInfoOrientation], 8);
    EXPECT_EQ(info[kInfoIccLength], 700);

    std::vector<uint8_t> dest(700);
    EXPECT_EQ(tif_profile(path.c_str(), dest.data(), dest.size()), 700);
    EXPECT_EQ(Bytes(dest.begin(), dest.end()), o.icc);
}

TEST(TifProfile, CopiesTheFirstProfileInBothByteOrders)
{
    TempDir dir;
    Bytes icc = testsupport::make_icc_profile(300, "first");
    Bytes other = testsupport::make_icc_profile(400, "second");
    for (bool big : {false, true}) {
        SCOPED_TRACE(big ? "MM" : "II");
        TiffBuilder t(big);
        size_t ifd0 = t.add_ifd();
        size_t ifd1 = t.add_ifd();
        t.add_bytes(ifd0, 34675, testsupport::kTiffUndefined, icc);
        t.add_bytes(ifd1, 34675, testsupport::kTiffUndefined, other);
        std::string path = put(dir, "p.tif", t.build());
        std::vector<uint8_t> dest(icc.size());
        EXPECT_EQ(tif_profile(path.c_str(), dest.data(), dest.size()), int(icc.size()));
        EXPECT_EQ(Bytes(dest.begin(), dest.end()), icc);
    }
}

TEST(TifProfile, RefusesWhatDoesNotFitOrIsMissing)
{
    TempDir dir;
    int before = open_fds();
    Bytes icc = testsupport::make_icc_profile(300, "p");
    std::vector<uint8_t> dest(1000, 0xAB);
    const std::vector<uint8_t> untouched = dest;

    // The caller's buffer is one byte short.
    std::string path = put(dir, "p.tif", rgb_file(false, icc).build());
    EXPECT_EQ(tif_profile(path.c_str(), dest.data(), icc.size() - 1), -3);
    EXPECT_EQ(dest, untouched);

    // No tag 34675.
    std::string plain = put(dir, "plain.tif", rgb_file(true, {}).build());
    EXPECT_EQ(tif_profile(plain.c_str(), dest.data(), dest.size()), 0);
    EXPECT_EQ(dest, untouched);

    // The profile's offset lies past the end of the file: a short read.
    TiffBuilder far;
    size_t ifd = far.add_ifd();
    far.add_entry_at(ifd, 34675, testsupport::kTiffUndefined, 200, 0x10000);
    std::string farPath = put(dir, "far.tif", far.build());
    EXPECT_EQ(tif_profile(farPath.c_str(), dest.data(), dest.size()), -2);
    // The bytes start inside the file but end past it.
    Bytes cut = rgb_file(false, icc).build();
    cut.resize(cut.size() - 10);
    EXPECT_EQ(tif_profile(put(dir, "cut.tif", cut).c_str(), dest.data(), dest.size()), -2);
    EXPECT_EQ(dest, untouched);

    EXPECT_EQ(tif_profile(put(dir, "x.tif", {'X', 'Y', 42, 0}).c_str(), dest.data(), 10), 0);
    EXPECT_EQ(tif_profile(put(dir, "m.tif", {'M', 'M', 0, 43}).c_str(), dest.data(), 10), -3);
    EXPECT_EQ(tif_profile(dir.file("missing.tif").c_str(), dest.data(), 10), -1);
    EXPECT_EQ(open_fds(), before);
}

TEST(ArrFromTiffOffset, ReadsValuesInTheFileByteOrder)
{
    TempDir dir;
    for (bool big : {false, true}) {
        SCOPED_TRACE(big ? "MM" : "II");
        TiffBuilder t(big);
        uint32_t at = t.add_blob(t.u32({11, 0x01020304, 0xFFFFFFFF}));
        t.add_ifd();
        std::string path = put(dir, "arr.tif", t.build());
        int out[3] = {};
        EXPECT_EQ(arr_from_tiffOffset(path.c_str(), 3, int(at), out), 3);
        EXPECT_EQ(out[0], 11);
        EXPECT_EQ(out[1], 0x01020304);
        EXPECT_EQ(out[2], -1);

        int keep[3] = {5, 5, 5};
        EXPECT_EQ(arr_from_tiffOffset(path.c_str(), 3, int(at) + 8, keep), -2);
        EXPECT_EQ(arr_from_tiffOffset(path.c_str(), 2, -4, keep), -2);
        EXPECT_EQ(keep[0], 5);
    }
}

TEST(ArrFromTiffOffset, CountOfOneIsTheValueItself)
{
    int out[1] = {};
    EXPECT_EQ(arr_from_tiffOffset("/nonexistent/file.tif", 1, 1234, out), 1);
    EXPECT_EQ(out[0], 1234);
    EXPECT_EQ(arr_from_tiffOffset("/nonexistent/file.tif", 0, 77, out), 1);
    EXPECT_EQ(out[0], 77);
    int many[2] = {};
    EXPECT_EQ(arr_from_tiffOffset("/nonexistent/file.tif", 2, 8, many), -1);
}
