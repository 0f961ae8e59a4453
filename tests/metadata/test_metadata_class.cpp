// MetaData: relative exposures (getEV), the usable-exposure test (scanExif), the in-memory EXIF
// reader (getMetaData / getExifTags), relativeEVfromExifBuf, and the exposures of the real
// brackets in the test-data folder.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "imagecore/byte_order.h"
#include "metadata/exif_reader.h"
#include "metadata/exif_records.h"
#include "metadata/metadata_class.h"
#include "tests/support/fixtures.h"

using platform::Data;
using platform::DataPtr;
using testsupport::Bytes;
using testsupport::TiffBuilder;

namespace {

struct Record {
    int32_t s[kExifBufCount] = {};
    DataPtr data() const { return Data::copy(s, sizeof s); }
};

Record exposure(int32_t num, int32_t den, int32_t fNum = 0, int32_t fDen = 0, int32_t iso = 0)
{
    Record r;
    r.s[kExifExposureNum] = num;
    r.s[kExifExposureDen] = den;
    r.s[kExifFNumberNum] = fNum;
    r.s[kExifFNumberDen] = fDen;
    r.s[kExifIso] = iso;
    return r;
}

std::vector<float> deltas(const platform::DataArray &records)
{
    DataPtr d = MetaData().getEV(records);
    EXPECT_TRUE(d);
    if (!d)
        return {};
    EXPECT_EQ(d->length(), records.size() * 4);
    std::vector<float> out(records.size());
    d->getBytes(out.data(), d->length());
    return out;
}

std::vector<int32_t> slots(const DataPtr &rec)
{
    std::vector<int32_t> out(kExifBufCount, 0);
    EXPECT_TRUE(rec);
    if (rec) {
        EXPECT_EQ(rec->length(), size_t(kExifBufBytes));
        rec->getBytes(out.data(), kExifBufBytes);
    }
    return out;
}

std::string text_slot(const std::vector<int32_t> &s, int slot, size_t bytes)
{
    const char *p = reinterpret_cast<const char *>(&s[size_t(slot)]);
    return std::string(p, strnlen(p, bytes));
}

// A small JPEG whose first APP1 holds the EXIF structure fill builds.
Bytes exif_jpeg(const std::function<void(TiffBuilder &, size_t ifd0, size_t exif)> &fill,
                bool big = false)
{
    TiffBuilder t(big);
    size_t ifd0 = t.add_ifd();
    size_t exif = t.add_ifd(false);
    t.add_ifd_pointer(ifd0, 34665, exif);
    fill(t, ifd0, exif);
    uint8_t px[8 * 8 * 3] = {};
    return testsupport::encode_jpeg(px, 8, 8, 3, 90, {testsupport::make_exif_app1(t.build())});
}

std::vector<int32_t> meta(const Bytes &bytes)
{
    return slots(MetaData().getMetaData(Data::copy(bytes.data(), bytes.size())));
}

} // namespace

// ---------------------------------------------------------------------------------------------
// getEV, scanExif, relativeEVfromExifBuf

TEST(MetaDataGetEV, RatiosFollowTheExposureTimes)
{
    std::vector<float> d =
        deltas({exposure(1, 250, 56, 10, 200).data(), exposure(1, 60, 56, 10, 200).data(),
                exposure(1, 15, 56, 10, 200).data()});
    ASSERT_EQ(d.size(), 3u);
    // Single-precision quotients: a few ulps off the exact 250/60 and 250/15.
    EXPECT_NEAR(d[1] / d[0], 250.0 / 60.0, 1e-5);
    EXPECT_NEAR(d[2] / d[0], 250.0 / 15.0, 1e-4);
}

TEST(MetaDataGetEV, DefaultsAndOffsets)
{
    Record offset = exposure(0, 0);
    offset.s[kExifExposureOffset] = 1000;
    Record minus = exposure(0, 0);
    minus.s[kExifExposureOffset] = -2000;
    std::vector<float> d =
        deltas({exposure(0, 0).data(), exposure(1, 100).data(), offset.data(), minus.data(),
                exposure(1, 0).data(), exposure(0, 5).data(), exposure(1, 60, 4, 1, 200).data(),
                nullptr, Data::copy("\1", 1)});
    ASSERT_EQ(d.size(), 9u);
    EXPECT_EQ(d[0], 1.0f);            // no data at all: 2^0
    EXPECT_NEAR(d[1], 0.32258, 1e-5); // 0.01 x 100 x 20.64516 / 8^2
    EXPECT_FLOAT_EQ(d[2], 2.0f);      // one stop more
    EXPECT_FLOAT_EQ(d[3], 0.25f);     // two stops less
    EXPECT_EQ(d[4], 0.0f);            // a numerator without a denominator
    EXPECT_EQ(d[5], 0.0f);
    EXPECT_NEAR(d[6], 1.0 / 60 * 200 * 20.64516 / 16, 1e-5);
    EXPECT_EQ(d[7], 1.0f); // a null record reads as zeros
    EXPECT_EQ(d[8], 0.0f); // a 1-byte record: (1, 0) after zero-filling
    EXPECT_EQ(deltas({}).size(), 0u);
}

TEST(MetaDataScanExif, Cases)
{
    MetaData m;
    EXPECT_EQ(m.scanExif(exposure(1, 0).data()), 0);
    EXPECT_EQ(m.scanExif(exposure(0, 250).data()), 0);
    EXPECT_EQ(m.scanExif(exposure(1, 250).data()), 1);
    Record text = exposure(1, 250);
    text.s[kExifSourceFlag] = 2;
    EXPECT_EQ(m.scanExif(text.data()), 2);
    text.s[kExifExposureDen] = 0;
    EXPECT_EQ(m.scanExif(text.data()), 0);
    EXPECT_EQ(m.scanExif(nullptr), 0);
}

TEST(RelativeEVfromExifBuf, Cases)
{
    float v = -1;
    EXPECT_EQ(relativeEVfromExifBuf(exposure(1, 50, 4, 1, 200).s, &v), 1);
    EXPECT_FLOAT_EQ(v, 0.25f);
    EXPECT_EQ(relativeEVfromExifBuf(exposure(1, 50).s, &v), 1);
    EXPECT_FLOAT_EQ(v, 0.02f); // no f-number or ISO: the time alone
    EXPECT_EQ(relativeEVfromExifBuf(exposure(1, 0).s, &v), 0);
    EXPECT_EQ(v, 0.0f);
    EXPECT_EQ(relativeEVfromExifBuf(exposure(-1, 50).s, &v), 0);
    EXPECT_FLOAT_EQ(v, -0.02f);
    EXPECT_EQ(relativeEVfromExifBuf(nullptr, &v), 0);
    EXPECT_EQ(relativeEVfromExifBuf(exposure(1, 50).s, nullptr), 0);
}

// ---------------------------------------------------------------------------------------------
// getMetaData

TEST(MetaDataGetMetaData, JpegExposureAndAperture)
{
    for (bool big : {false, true}) {
        std::vector<int32_t> s = meta(exif_jpeg(
            [](TiffBuilder &t, size_t ifd0, size_t e) {
                t.add_ascii(ifd0, 272, "Zenit Model");
                t.add_rationals(e, 33434, {{1, 200}});
                t.add_rationals(e, 33437, {{56, 10}});
                t.add_shorts(e, 34855, {400});
                t.add_rationals(e, 41493, {{800, 1}}); // ISO already set: ignored
                t.add_ascii(e, 36867, "2021:02:03 04:05:06");
                t.add_rationals(e, 37386, {{35, 1}});
                t.add_rationals(e, 41486, {{4000, 3}});
                t.add_shorts(e, 41488, {3});
                t.add_shorts(e, 41989, {52});
            },
            big));
        EXPECT_EQ(s[0], 1);
        EXPECT_EQ(s[1], 200);
        EXPECT_EQ(s[2], 56);
        EXPECT_EQ(s[3], 10);
        EXPECT_EQ(s[kExifIso], 400);
        EXPECT_EQ(s[kExifSourceFlag], 0);
        EXPECT_EQ(s[kExifFocalNum], 35);
        EXPECT_EQ(s[kExifFocalDen], 1);
        EXPECT_EQ(s[kExifFocalPlaneXResNum], 4000);
        EXPECT_EQ(s[kExifFocalPlaneXResDen], 3);
        EXPECT_EQ(s[kExifFocalPlaneUnit], 3);
        EXPECT_EQ(s[kExifFocal35], 52);
        EXPECT_EQ(text_slot(s, kExifModel, 64), "Zenit Model");
        EXPECT_EQ(text_slot(s, kExifDateTime, 20), "2021:02:03 04:05:06");
    }
}

TEST(MetaDataGetMetaData, ApexValues)
{
    // ShutterSpeedValue 6: 1/64 s; -2: 4 s.
    std::vector<int32_t> s = meta(exif_jpeg([](TiffBuilder &t, size_t, size_t e) {
        t.add_srationals(e, 37377, {{6, 1}});
    }));
    EXPECT_EQ(s[0], 1);
    EXPECT_EQ(s[1], 64);
    s = meta(exif_jpeg([](TiffBuilder &t, size_t, size_t e) {
        t.add_srationals(e, 37377, {{-20, 10}});
    }));
    EXPECT_EQ(s[0], 4);
    EXPECT_EQ(s[1], 1);
    // ExposureTime stands over ShutterSpeedValue.
    s = meta(exif_jpeg([](TiffBuilder &t, size_t, size_t e) {
        t.add_srationals(e, 37377, {{6, 1}});
        t.add_rationals(e, 33434, {{1, 50}});
    }));
    EXPECT_EQ(s[1], 50);

    // ApertureValue 5: f/5.657 in the rational encoding; FNumber later in the file overwrites.
    s = meta(exif_jpeg([](TiffBuilder &t, size_t, size_t e) {
        t.add_rationals(e, 37378, {{5, 1}});
    }));
    EXPECT_EQ(s[2], 565);
    EXPECT_EQ(s[3], 100);
    s = meta(exif_jpeg([](TiffBuilder &t, size_t, size_t e) {
        t.add_rationals(e, 37378, {{5, 1}});
        t.add_rationals(e, 33437, {{8, 1}});
        t.add_rationals(e, 37381, {{3, 1}}); // the aperture is set: ignored
    }));
    EXPECT_EQ(s[2], 8);
    EXPECT_EQ(s[3], 1);
    // ExposureIndex alone gives the ISO.
    s = meta(exif_jpeg([](TiffBuilder &t, size_t, size_t e) {
        t.add_rationals(e, 41493, {{640, 2}});
    }));
    EXPECT_EQ(s[kExifIso], 320);
}

TEST(MetaDataGetMetaData, TypesMustMatch)
{
    std::vector<int32_t> s = meta(exif_jpeg([](TiffBuilder &t, size_t ifd0, size_t e) {
        t.add_longs(e, 34855, {400});          // ISO as LONG: skipped
        t.add_srationals(e, 33434, {{1, 60}}); // ExposureTime as SRATIONAL: skipped
        t.add_rationals(e, 37377, {{6, 1}});   // ShutterSpeedValue as RATIONAL: skipped
        t.add_bytes(ifd0, 272, testsupport::kTiffUndefined, {'A', 'B', 'C', 'D', 'E', 0});
    }));
    EXPECT_EQ(s[kExifIso], 0);
    EXPECT_EQ(s[0], 0);
    EXPECT_EQ(s[1], 0);
    EXPECT_EQ(text_slot(s, kExifModel, 64), "");
}

TEST(MetaDataGetMetaData, ModelCountOf100GivesSixtyThreeCharacters)
{
    std::vector<int32_t> s = meta(exif_jpeg([](TiffBuilder &t, size_t ifd0, size_t) {
        t.add_entry(ifd0, 272, testsupport::kTiffAscii, 100, Bytes(100, 'M'));
    }));
    EXPECT_EQ(text_slot(s, kExifModel, 64), std::string(63, 'M'));
    s = meta(exif_jpeg([](TiffBuilder &t, size_t ifd0, size_t) { t.add_ascii(ifd0, 272, "E9"); }));
    EXPECT_EQ(text_slot(s, kExifModel, 64), "E9"); // four bytes or fewer: in the entry
}

TEST(MetaDataGetMetaData, ThumbnailOffsetInsideTheData)
{
    const Bytes thumb = {0xFF, 0xD8, 0x55, 0x66, 0xFF, 0xD9};
    Bytes jpeg = exif_jpeg([&](TiffBuilder &t, size_t, size_t) {
        size_t ifd1 = t.add_ifd();
        uint32_t at = t.add_blob(thumb);
        t.add_longs(ifd1, 513, {at});
        t.add_longs(ifd1, 514, {uint32_t(thumb.size())});
    });
    std::vector<int32_t> s = meta(jpeg);
    ASSERT_EQ(s[kExifThumbLength], int(thumb.size()));
    ASSERT_GT(s[kExifThumbOffset], 0);
    EXPECT_TRUE(std::equal(thumb.begin(), thumb.end(), jpeg.begin() + s[kExifThumbOffset]));
}

TEST(MetaDataGetMetaData, BareTiffBlocks)
{
    for (bool big : {false, true}) {
        TiffBuilder t(big);
        size_t ifd0 = t.add_ifd();
        size_t exif = t.add_ifd(false);
        size_t ifd1 = t.add_ifd();
        t.add_ifd_pointer(ifd0, 34665, exif);
        t.add_rationals(exif, 33434, {{10, 300}});
        uint32_t at = t.add_blob({0xFF, 0xD8, 0xFF, 0xD9});
        t.add_longs(ifd1, 513, {at});
        t.add_longs(ifd1, 514, {4});
        Bytes block = t.build();
        // The walker keeps 16 bytes from the end free of directories.
        block.insert(block.end(), 16, 0);
        std::vector<int32_t> s = meta(block);
        EXPECT_EQ(s[0], 10);
        EXPECT_EQ(s[1], 300);
        EXPECT_EQ(s[kExifThumbOffset], int(at));
        EXPECT_EQ(s[kExifThumbLength], 4);
    }
}

TEST(MetaDataGetMetaData, EachCallStartsFresh)
{
    MetaData m;
    Bytes rich = exif_jpeg([](TiffBuilder &t, size_t ifd0, size_t e) {
        t.add_ascii(ifd0, 272, "First camera");
        t.add_shorts(e, 34855, {800});
        t.add_srationals(e, 37377, {{5, 1}});
    });
    Bytes poor = exif_jpeg([](TiffBuilder &t, size_t, size_t e) { t.add_shorts(e, 41989, {28}); });
    std::vector<int32_t> a = slots(m.getMetaData(Data::copy(rich.data(), rich.size())));
    std::vector<int32_t> b = slots(m.getMetaData(Data::copy(poor.data(), poor.size())));
    EXPECT_EQ(a[kExifIso], 800);
    EXPECT_EQ(a[1], 32);
    EXPECT_EQ(b[kExifIso], 0);
    EXPECT_EQ(b[0], 0);
    EXPECT_EQ(b[1], 0);
    EXPECT_EQ(b[kExifFocal35], 28);
    EXPECT_EQ(text_slot(b, kExifModel, 64), "");

    // Concurrent reads on 8 threads give what one thread gives.
    const std::vector<Bytes> inputs = {rich, poor};
    std::vector<std::vector<int32_t>> expected = {a, b};
    std::vector<int> failures(8, 0);
    std::vector<std::thread> threads;
    for (int k = 0; k < 8; ++k) {
        threads.emplace_back([&, k] {
            for (int rep = 0; rep < 200; ++rep) {
                const Bytes &in = inputs[size_t((k + rep) % 2)];
                std::vector<int32_t> got(kExifBufCount);
                MetaData()
                    .getMetaData(Data::copy(in.data(), in.size()))
                    ->getBytes(got.data(), kExifBufBytes);
                failures[size_t(k)] += got != expected[size_t((k + rep) % 2)];
            }
        });
    }
    for (auto &t : threads)
        t.join();
    for (int k = 0; k < 8; ++k)
        EXPECT_EQ(failures[size_t(k)], 0) << "thread " << k;
}

TEST(MetaDataGetMetaData, HostileData)
{
    MetaData m;
    EXPECT_EQ(m.getMetaData(nullptr), nullptr);
    std::vector<int32_t> zero(kExifBufCount, 0);
    EXPECT_EQ(slots(m.getMetaData(Data::copy(nullptr, 0))), zero);
    EXPECT_EQ(meta({0xE1}), zero);
    EXPECT_EQ(meta({'I', 'I', 42, 0, 8, 0, 0, 0}), zero);

    // A chain that loops on itself, and an IFD1 that leads back to IFD0, end.
    for (bool backToZero : {false, true}) {
        Bytes jpeg = exif_jpeg([&](TiffBuilder &t, size_t ifd0, size_t e) {
            t.add_rationals(e, 33434, {{1, 8}});
            size_t ifd1 = t.add_ifd();
            t.add_longs(ifd1, 514, {0});
            if (backToZero)
                t.set_next_to(ifd1, ifd0);
            else
                t.set_next_to(ifd1, ifd1);
        });
        EXPECT_EQ(meta(jpeg)[1], 8);
    }

    // Data offsets outside the object are skipped.
    std::vector<int32_t> s = meta(exif_jpeg([](TiffBuilder &t, size_t ifd0, size_t e) {
        t.add_entry_at(e, 33434, testsupport::kTiffRational, 1, 0x7FFFFFF0u);
        t.add_entry_at(ifd0, 272, testsupport::kTiffAscii, 40, 0xFFFFFFF0u);
        t.add_entry_at(ifd0, 34665, testsupport::kTiffLong, 1, 0x7FFFFFF0u);
    }));
    EXPECT_EQ(s, zero);

    // Every truncation and every single corrupted byte of a valid JPEG reads without fault.
    Bytes jpeg = exif_jpeg([](TiffBuilder &t, size_t ifd0, size_t e) {
        t.add_ascii(ifd0, 272, "Camera");
        t.add_rationals(e, 33434, {{1, 125}});
        t.add_srationals(e, 37377, {{7, 1}});
        t.add_ascii(e, 36867, "2021:02:03 04:05:06");
        size_t ifd1 = t.add_ifd();
        t.add_longs(ifd1, 513, {8});
        t.add_longs(ifd1, 514, {100});
    });
    for (size_t n = 0; n <= jpeg.size(); n += 3)
        EXPECT_TRUE(m.getMetaData(Data::copy(jpeg.data(), n))) << n;
    for (size_t i = 0; i < 400 && i < jpeg.size(); ++i) {
        Bytes bad = jpeg;
        bad[i] = 0xFF;
        std::vector<int32_t> r = meta(bad);
        EXPECT_EQ(reinterpret_cast<const char *>(&r[kExifModel])[63], 0) << i;
    }
}

TEST(MetaDataGetExifTags, ReadsOnlyInsideTheBlock)
{
    MetaData m;
    MetaDataParseState st;
    // One entry (ExposureTime) whose rational lies in the entry's last 8 bytes of the block.
    uint8_t block[2 + 12 + 8] = {};
    imagecore::put_le16(block, 1);
    imagecore::put_le16(block + 2, 33434);
    imagecore::put_le16(block + 4, 5);
    imagecore::put_le32(block + 6, 1);
    imagecore::put_le32(block + 10, 14);
    imagecore::put_le32(block + 14, 1);
    imagecore::put_le32(block + 18, 30);
    EXPECT_EQ(m.getExifTags(0, block, sizeof block, 1, 0, st), 0);
    EXPECT_EQ(st.numExposure, 1);
    EXPECT_EQ(st.denExposure, 30);
    // One byte short: the rational is not read; entries past the block are not either.
    MetaDataParseState st2;
    EXPECT_EQ(m.getExifTags(0, block, sizeof block - 1, 5, 0, st2), 0);
    EXPECT_EQ(st2.numExposure, 0);
    EXPECT_EQ(m.getExifTags(-100, block, sizeof block, 3, 0, st2), 0);
    EXPECT_EQ(m.getExifTags(0, nullptr, 10, 3, 0, st2), 0);
    // The Exif IFD pointer is returned.
    imagecore::put_le16(block + 2, 34665);
    imagecore::put_le32(block + 10, 1234);
    EXPECT_EQ(m.getExifTags(0, block, sizeof block, 1, 0, st2), 1234);
}

// ---------------------------------------------------------------------------------------------
// Real photos

namespace {

struct Bracket {
    const char *dir;
    std::vector<std::pair<const char *, double>> photos; // file, exposure time (exiftool)
};

const Bracket kBrackets[] = {
    {"iphone6_handheld",
     {{"1.JPG", 1.0 / 3049},
      {"3.JPG", 1.0 / 1014},
      {"5.JPG", 1.0 / 250},
      {"7.JPG", 1.0 / 100},
      {"8.JPG", 1.0 / 50}}},
    {"stlouis_arch_tripod",
     {{"StLouisArchMultExpEV-4.72.jpeg", 1.0 / 30},
      {"StLouisArchMultExpEV-1.82.jpeg", 0.25},
      {"StLouisArchMultExpEV+1.51.jpeg", 2.5},
      {"StLouisArchMultExpEV+4.09.jpeg", 15}}},
    {"window_tripod_e995",
     {{"HDRI_Sample_Scene_Window_-_02.jpg", 1.0 / 500},
      {"HDRI_Sample_Scene_Window_-_04.jpg", 1.0 / 125},
      {"HDRI_Sample_Scene_Window_-_06.jpg", 1.0 / 30},
      {"HDRI_Sample_Scene_Window_-_08.jpg", 1.0 / 8},
      {"HDRI_Sample_Scene_Window_-_10.jpg", 1.0 / 2}}},
};

} // namespace

TEST(MetaDataGetEV, RealBracketsComeOutInTheRightRatios)
{
    const std::string root = HDR_TESTDATA_DIR;
    if (!std::filesystem::is_directory(root))
        GTEST_SKIP() << "test photos not found at " << root;
    MetaData m;
    for (const Bracket &b : kBrackets) {
        SCOPED_TRACE(b.dir);
        platform::DataArray fromFile, fromMemory;
        for (const auto &[name, t] : b.photos) {
            const std::string path = root + "/" + b.dir + "/" + name;
            ExifInfo info;
            ASSERT_EQ(getExifData(path.c_str(), 1, &info), 1) << name;
            Record rec;
            int32_t gps[kGpsBufCount] = {};
            metadataBufFromExifInfo(&info, rec.s, gps);
            EXPECT_EQ(m.scanExif(rec.data()), 1) << name;
            fromFile.push_back(rec.data());

            DataPtr bytes = platform::contents_at_path(path);
            ASSERT_TRUE(bytes);
            DataPtr mem = m.getMetaData(bytes);
            std::vector<int32_t> s = slots(mem);
            EXPECT_NEAR(double(s[0]) / s[1], t, t * 1e-6) << name;
            EXPECT_NEAR(double(s[2]) / s[3], info.fNumber, 1e-6) << name;
            EXPECT_EQ(s[kExifIso], info.iso) << name;
            fromMemory.push_back(mem);
        }
        // Records from the file reader carry the scale-100 rationals, which truncate 1/t x 100
        // (1/30 s becomes 100/2999, 3.3e-4 off); the in-memory reader keeps the file's own
        // rationals and is off only by single-precision quotients.
        const struct {
            const platform::DataArray *records;
            double tolerance;
        } sets[] = {{&fromFile, 5e-4}, {&fromMemory, 1e-5}};
        for (const auto &set : sets) {
            std::vector<float> d = deltas(*set.records);
            ASSERT_EQ(d.size(), b.photos.size());
            for (size_t i = 1; i < d.size(); ++i) {
                const double expected = b.photos[i].second / b.photos[0].second;
                EXPECT_NEAR(d[i] / d[0], expected, expected * set.tolerance) << b.photos[i].first;
            }
        }
    }
}
