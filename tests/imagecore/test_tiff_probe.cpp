// TIFF probe: slots from hand-built files in both byte orders, the directory-walk limits, the
// ICC profile copy and the offset array reader.
#include <gtest/gtest.h>

#include <vector>

#include "imagecore/records.h"
#include "imagecore/tiff_probe.h"
#include "tests/imagecore/reader_test_util.h"
#include "tests/support/fixtures.h"

using readertest::Infos;
using readertest::open_fds;
using readertest::put;
using testsupport::Bytes;
using testsupport::TempDir;
using testsupport::TiffBuilder;

namespace {

Infos probe(const std::string &path, int *result = nullptr)
{
    Infos info{};
    int r = getTiffInfo(path.c_str(), info.data());
    if (result)
        *result = r;
    return info;
}

// A 4 x 3 RGB image with resolution 72/1, orientation 6 and (unless empty) an ICC profile.
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

TEST(GetTiffInfo, FillsTheSlotsInBothByteOrdersAndFromLibtiff)
{
    TempDir dir;
    const Bytes icc = testsupport::make_icc_profile(560, "probe");
    for (bool big : {false, true, false}) { // II again: the byte order is not kept between calls
        int r = 0;
        Infos info = probe(put(dir, "f.tif", rgb_file(big, icc).build()), &r);
        EXPECT_EQ(r, big ? 1 : 2);
        // Bits (three values) read through the offset; the strip is the first blob.
        EXPECT_EQ(info, (Infos{4, 3, 8, 3, 72, 8, 560, 3, 36, 1, 6, 1, 0})) << big;
    }
    std::vector<uint16_t> px(5 * 4 * 3, 1000);
    testsupport::LibTiffOptions o;
    o.bits = 16;
    o.bigEndian = true;
    o.orientation = 8;
    o.icc = testsupport::make_icc_profile(700, "libtiff");
    const std::string path = dir.file("lib.tif");
    ASSERT_TRUE(testsupport::write_libtiff(path, px.data(), 5, 4, 3, o));
    int r;
    Infos info = probe(path, &r);
    EXPECT_EQ(r, 1);
    EXPECT_EQ((std::vector<int>{info[kInfoWidth], info[kInfoHeight], info[kInfoBits],
                                info[kInfoSamples], info[kInfoOrientation], info[kInfoIccLength]}),
              (std::vector<int>{5, 4, 16, 3, 8, 700}));
    std::vector<uint8_t> dest(700);
    EXPECT_EQ(tif_profile(path.c_str(), dest.data(), dest.size()), 700);
    EXPECT_EQ(Bytes(dest.begin(), dest.end()), o.icc);
}

TEST(GetTiffInfo, BitsResolutionAndTheFirstNonZeroValueAcrossDirectories)
{
    TempDir dir;
    for (bool big : {false, true}) {
        SCOPED_TRACE(big ? "MM" : "II");
        // One 16 in the field; 16,16,16 at the offset; two values that fit the field (no offset
        // to follow); three values at an offset past the end (slot left 0).
        const std::vector<std::vector<uint16_t>> bits = {{16}, {16, 16, 16}, {8, 8}, {}};
        const int expected[] = {16, 16, 8, 0};
        for (size_t i = 0; i < bits.size(); ++i) {
            TiffBuilder t(big);
            if (bits[i].empty())
                t.add_entry(t.add_ifd(), 258, testsupport::kTiffShort, 3, t.u32({100000}));
            else
                t.add_shorts(t.add_ifd(), 258, bits[i]);
            EXPECT_EQ(probe(put(dir, "b.tif", t.build()))[kInfoBits], expected[i]) << i;
        }
        const uint32_t res[][3] = {{72, 1, 72}, {3000, 10, 300}, {300, 0, 0}, {2999, 10, 299}};
        for (const auto &c : res) {
            TiffBuilder t(big);
            t.add_rationals(t.add_ifd(), 282, {{c[0], c[1]}});
            EXPECT_EQ(probe(put(dir, "r.tif", t.build()))[kInfoXRes], int(c[2]))
                << c[0] << "/" << c[1];
        }
        // A zero leaves the slot open for IFD1, which also gives the orientation; SampleFormat
        // (339) never touches it.
        TiffBuilder t(big);
        size_t ifd0 = t.add_ifd(), ifd1 = t.add_ifd();
        t.add_longs(ifd0, 256, {640});
        t.add_longs(ifd0, 257, {0});
        t.add_shorts(ifd0, 339, {3});
        t.add_longs(ifd1, 256, {160});
        t.add_longs(ifd1, 257, {120});
        t.add_shorts(ifd1, 274, {1});
        Infos info = probe(put(dir, "two.tif", t.build()));
        EXPECT_EQ(info[kInfoWidth], 640);
        EXPECT_EQ(info[kInfoHeight], 120);
        EXPECT_EQ(info[kInfoOrientation], 1);
    }
}

TEST(GetTiffInfo, HeaderErrorsCloseTheFile)
{
    TempDir dir;
    const int before = open_fds();
    const std::pair<Bytes, int> cases[] = {
        {{'M', 'M', 0, 43, 0, 0, 0, 8}, -3},
        {{'I', 'I', 43, 0, 8, 0, 0, 0}, -3},
        {{'I', 'M', 42, 0}, -2},
        {{'I'}, -2},
        {{'I', 'I'}, -3},
    };
    Infos info{};
    for (const auto &[bytes, code] : cases)
        EXPECT_EQ(getTiffInfo(put(dir, "h.tif", bytes).c_str(), info.data()), code) << bytes.size();
    EXPECT_EQ(getTiffInfo(dir.file("missing.tif").c_str(), info.data()), -1);
    EXPECT_EQ(info, Infos{});
    EXPECT_EQ(open_fds(), before);
}

TEST(GetTiffInfo, DirectoryWalkEndsOnLoopsBadOffsetsCutsAndTheCap)
{
    TempDir dir;
    for (bool big : {false, true}) {
        SCOPED_TRACE(big ? "MM" : "II");
        int r;
        TiffBuilder self(big); // names itself as the next directory
        size_t a = self.add_ifd();
        self.add_longs(a, 256, {33});
        self.set_next_to(a, a);
        EXPECT_EQ(probe(put(dir, "self.tif", self.build()), &r)[kInfoWidth], 33);
        EXPECT_EQ(r, big ? 1 : 2);

        TiffBuilder loop(big); // IFD1 loops back to IFD0
        size_t l0 = loop.add_ifd(), l1 = loop.add_ifd();
        loop.add_longs(l0, 256, {5});
        loop.add_longs(l1, 257, {6});
        loop.set_next_to(l1, l0);
        EXPECT_EQ(probe(put(dir, "loop.tif", loop.build()))[kInfoHeight], 6);

        TiffBuilder past(big); // the next offset lies past the end
        past.add_longs(past.add_ifd(), 256, {9});
        past.set_next(0, 0x7FFFFFF0);
        EXPECT_EQ(probe(put(dir, "past.tif", past.build()), &r)[kInfoWidth], 9);
        EXPECT_EQ(r, big ? 1 : 2);

        TiffBuilder none(big); // so does the first: nothing found, the byte order still told
        none.set_first_ifd(0xFFFFFFF0u);
        EXPECT_EQ(probe(put(dir, "none.tif", none.build()), &r), Infos{});
        EXPECT_EQ(r, big ? 1 : 2);

        TiffBuilder t(big);
        size_t ifd = t.add_ifd();
        t.add_longs(ifd, 256, {21});
        t.add_longs(ifd, 257, {22});
        t.add_shorts(ifd, 277, {3});
        Bytes cut = t.build(), huge = cut;
        cut.resize(t.ifd_offset(ifd) + 2 + 12 * 2 + 5); // in the middle of the third entry
        Infos info = probe(put(dir, "cut.tif", cut));
        EXPECT_EQ(info[kInfoHeight], 22);
        EXPECT_EQ(info[kInfoSamples], 0);
        huge[t.ifd_offset(ifd)] = huge[t.ifd_offset(ifd) + 1] = 0xFF; // count far past the end
        EXPECT_EQ(probe(put(dir, "huge.tif", huge))[kInfoSamples], 3);
    }
    TiffBuilder chain;
    for (int i = 0; i < 100; ++i)
        chain.add_ifd();
    chain.add_longs(10, 256, {11});
    chain.add_longs(99, 257, {100}); // past the fixed number of directories walked
    Infos info = probe(put(dir, "chain.tif", chain.build()));
    EXPECT_EQ(info[kInfoWidth], 11);
    EXPECT_EQ(info[kInfoHeight], 0);
}

TEST(TifProfile, CopiesTheFirstProfileAndRefusesWhatDoesNotFit)
{
    TempDir dir;
    const int before = open_fds();
    const Bytes icc = testsupport::make_icc_profile(300, "first");
    std::vector<uint8_t> dest(1000, 0xAB);
    const std::vector<uint8_t> untouched = dest;
    for (bool big : {false, true}) {
        TiffBuilder t(big);
        size_t ifd0 = t.add_ifd(), ifd1 = t.add_ifd();
        t.add_bytes(ifd0, 34675, testsupport::kTiffUndefined, icc);
        t.add_bytes(ifd1, 34675, testsupport::kTiffUndefined, Bytes(400, 1));
        std::vector<uint8_t> out(icc.size());
        EXPECT_EQ(tif_profile(put(dir, "p.tif", t.build()).c_str(), out.data(), out.size()), 300);
        EXPECT_EQ(Bytes(out.begin(), out.end()), icc) << big;
    }
    const std::string path = put(dir, "p.tif", rgb_file(false, icc).build());
    EXPECT_EQ(tif_profile(path.c_str(), dest.data(), icc.size() - 1), -3); // one byte short
    const std::string plain = put(dir, "plain.tif", rgb_file(true, {}).build());
    EXPECT_EQ(tif_profile(plain.c_str(), dest.data(), dest.size()), 0);

    // The profile's bytes lie past the end of the file, or start inside and end past it: a
    // short read, and the probe does not report the length.
    TiffBuilder far;
    far.add_entry_at(far.add_ifd(), 34675, testsupport::kTiffUndefined, 200, 0x10000);
    const std::string farPath = put(dir, "far.tif", far.build());
    EXPECT_EQ(tif_profile(farPath.c_str(), dest.data(), dest.size()), -2);
    EXPECT_EQ(probe(farPath)[kInfoIccLength], 0);
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
        TiffBuilder t(big);
        uint32_t at = t.add_blob(t.u32({11, 0x01020304, 0xFFFFFFFF}));
        t.add_ifd();
        const std::string path = put(dir, "arr.tif", t.build());
        int out[3] = {};
        EXPECT_EQ(arr_from_tiffOffset(path.c_str(), 3, int(at), out), 3);
        EXPECT_EQ(std::vector<int>(out, out + 3), (std::vector<int>{11, 0x01020304, -1})) << big;
        int keep[3] = {5, 5, 5};
        EXPECT_EQ(arr_from_tiffOffset(path.c_str(), 3, int(at) + 8, keep), -2);
        EXPECT_EQ(arr_from_tiffOffset(path.c_str(), 2, -4, keep), -2);
        EXPECT_EQ(keep[0], 5);
    }
    // A count of one or less is the value itself, without opening the file.
    int out[2] = {};
    EXPECT_EQ(arr_from_tiffOffset("/nonexistent/file.tif", 1, 1234, out), 1);
    EXPECT_EQ(out[0], 1234);
    EXPECT_EQ(arr_from_tiffOffset("/nonexistent/file.tif", 0, 77, out), 1);
    EXPECT_EQ(out[0], 77);
    EXPECT_EQ(arr_from_tiffOffset("/nonexistent/file.tif", 2, 8, out), -1);
}
