// The real brackets of the test-data folder: their metadata against what exiftool reports, the
// ratios of their exposures, and their metadata carried through both output writers.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "imagecore/jpeg_readers.h"
#include "imagecore/tiff_probe.h"
#include "metadata/exif_reader.h"
#include "metadata/metadata_class.h"
#include "metadata/xmp_settings.h"
#include "tests/metadata/exif_test_util.h"

using namespace exiftest;

namespace {

// Values as exiftool reports them (checked by hand). The PowerShot writes no EXIF ISO tag
// (exiftool's ISO 80 comes from its maker notes), so the reader gives 0 there; the lens names
// are EXIF tags, which are not read (the lens comes from XMP).
struct Photo {
    const char *name;
    int32_t expNum, expDen;
    const char *date;
    int thumbLength;
    int32_t latSeconds; // numerator of the latitude seconds
};
const struct Bracket {
    const char *dir, *model;
    float fNumber;
    int iso, orientation, thumbOffset, iptcLength;
    int32_t lat[6]; // lat[4] from the photo; all 0 without GPS
    std::vector<Photo> photos;
} kBrackets[] = {
    {"iphone6_handheld",
     "iPhone 6",
     2.2f,
     32,
     6,
     1824,
     0,
     {25, 1, 0, 1, 0, 100},
     {{"1.JPG", 1, 3049, "2016:03:28 15:40:57", 4527, 3089},
      {"3.JPG", 1, 1014, "2016:03:28 15:41:07", 4812, 3089},
      {"5.JPG", 1, 250, "2016:03:28 15:41:23", 4480, 3086},
      {"7.JPG", 1, 100, "2016:03:28 15:41:31", 4581, 3086},
      {"8.JPG", 1, 50, "2016:03:28 15:41:35", 5047, 3086}}},
    {"stlouis_arch_tripod",
     "Canon PowerShot S3 IS",
     2.7f,
     0,
     1,
     7344,
     94,
     {38, 1, 37, 1, 0, 881},
     {{"StLouisArchMultExpEV-4.72.jpeg", 1, 30, "2008:05:31 22:51:33", 1733, 29950},
      {"StLouisArchMultExpEV-1.82.jpeg", 1, 4, "2008:05:31 22:50:17", 3040, 29950},
      {"StLouisArchMultExpEV+1.51.jpeg", 25, 10, "2008:05:31 22:48:20", 4390, 29950},
      {"StLouisArchMultExpEV+4.09.jpeg", 150, 10, "2008:05:31 22:44:54", 4193, 29950}}},
    {"window_tripod_e995",
     "E995",
     7.7f,
     100,
     1,
     4096,
     0,
     {},
     {{"HDRI_Sample_Scene_Window_-_02.jpg", 10, 5000, "2006:01:10 13:10:54", 1945, 0},
      {"HDRI_Sample_Scene_Window_-_04.jpg", 10, 1250, "2006:01:10 13:10:40", 2716, 0},
      {"HDRI_Sample_Scene_Window_-_06.jpg", 10, 300, "2006:01:10 13:10:27", 3577, 0},
      {"HDRI_Sample_Scene_Window_-_08.jpg", 10, 80, "2006:01:10 13:10:12", 3807, 0},
      {"HDRI_Sample_Scene_Window_-_10.jpg", 10, 20, "2006:01:10 13:09:56", 3134, 0}}},
};

std::string path_of(const Bracket &b, const Photo &p)
{
    return std::string(HDR_TESTDATA_DIR) + "/" + b.dir + "/" + p.name;
}
double seconds(const Photo &p)
{
    return double(p.expNum) / p.expDen;
}

} // namespace

TEST(GetExifData, RealPhotosMatchExiftool)
{
    if (!std::filesystem::is_directory(HDR_TESTDATA_DIR))
        GTEST_SKIP() << "test photos not found at " << HDR_TESTDATA_DIR;
    for (const Bracket &b : kBrackets)
        for (const Photo &p : b.photos) {
            const std::string path = path_of(b, p);
            SCOPED_TRACE(path);
            ExifInfo in;
            ASSERT_EQ(getExifData(path.c_str(), 1, &in), 1);
            EXPECT_EQ(in.exposureTime, float(p.expNum) / float(p.expDen));
            EXPECT_EQ(in.fNumber, b.fNumber);
            EXPECT_STREQ(in.model, b.model);
            EXPECT_STREQ(in.dateTime, p.date);
            EXPECT_EQ(std::vector<int>({in.iso, in.orientation, in.thumbOffset, in.thumbLength,
                                        in.iptcLength, in.lens[0], in.xmpLength, in.latRef}),
                      std::vector<int>({b.iso, b.orientation, b.thumbOffset, p.thumbLength,
                                        b.iptcLength, 0, 0, b.lat[0] ? 'N' : 0}));
            std::vector<int32_t> lat(b.lat, b.lat + 6);
            lat[4] = p.latSeconds;
            EXPECT_EQ(std::vector<int32_t>(in.latitude, in.latitude + 6), lat);
            const Bytes bytes = testsupport::read_file(path);
            ASSERT_GT(bytes.size(), size_t(in.thumbOffset) + 2);
            EXPECT_EQ(imagecore::read_be16(&bytes[size_t(in.thumbOffset)]), 0xFFD8); // its SOI
            Bytes iptc(size_t(b.iptcLength) + 1, 0);
            EXPECT_EQ(read_iptc(path.c_str(), in.iptcLength, in.iptcOffset, iptc.data()),
                      b.iptcLength);
        }
}

TEST(MetaDataGetEV, RealBracketsComeOutInTheRightRatios)
{
    if (!std::filesystem::is_directory(HDR_TESTDATA_DIR))
        GTEST_SKIP() << "test photos not found at " << HDR_TESTDATA_DIR;
    MetaData m;
    for (const Bracket &b : kBrackets) {
        SCOPED_TRACE(b.dir);
        platform::DataArray fromFile, fromMemory;
        for (const Photo &p : b.photos) {
            ExifInfo info;
            ASSERT_EQ(getExifData(path_of(b, p).c_str(), 1, &info), 1);
            Records r;
            metadataBufFromExifInfo(&info, r.exif, r.gps);
            fromFile.push_back(platform::Data::copy(r.exif, kExifBufBytes));
            EXPECT_EQ(m.scanExif(fromFile.back()), 1) << p.name;
            fromMemory.push_back(m.getMetaData(platform::contents_at_path(path_of(b, p))));
            ASSERT_TRUE(fromMemory.back());
            fromMemory.back()->getBytes(r.exif, kExifBufBytes);
            EXPECT_NEAR(double(r.exif[0]) / r.exif[1], seconds(p), seconds(p) * 1e-6) << p.name;
            EXPECT_NEAR(double(r.exif[2]) / r.exif[3], b.fNumber, 1e-6) << p.name;
            EXPECT_EQ(r.exif[kExifIso], b.iso) << p.name;
        }
        // Records from the file reader carry the scale-100 rationals, which truncate 1/t x 100
        // (1/30 s becomes 100/2999, 3.3e-4 off); the in-memory reader keeps the file's own
        // rationals and is off only by single-precision quotients.
        for (auto [records, tolerance] : {std::pair{&fromFile, 5e-4}, {&fromMemory, 1e-5}}) {
            platform::DataPtr d = m.getEV(*records);
            std::vector<float> ev(b.photos.size());
            ASSERT_TRUE(d && d->length() == 4 * ev.size());
            d->getBytes(ev.data(), d->length());
            for (size_t i = 1; i < ev.size(); ++i) {
                const double expected = seconds(b.photos[i]) / seconds(b.photos[0]);
                EXPECT_NEAR(ev[i] / ev[0], expected, expected * tolerance) << b.photos[i].name;
            }
        }
    }
}

TEST(OutputWriters, RealPhotoMetadataSurvivesBothWriters)
{
    if (!std::filesystem::is_directory(HDR_TESTDATA_DIR))
        GTEST_SKIP() << "test photos not found at " << HDR_TESTDATA_DIR;
    for (const Bracket &b : kBrackets) {
        const std::string src = path_of(b, b.photos[0]);
        SCOPED_TRACE(src);
        ExifInfo info;
        ASSERT_EQ(getExifData(src.c_str(), 1, &info), 1);
        Job job(64, 48, 3, 16);
        metadataBufFromExifInfo(&info, job.rec.exif, job.rec.gps);
        job.iptc.assign(size_t(info.iptcLength) + 1, 0);
        ASSERT_EQ(read_iptc(src.c_str(), info.iptcLength, info.iptcOffset, job.iptc.data()),
                  info.iptcLength);
        job.iptc.pop_back();
        const char *lens = "4.15mm f/2.2 test lens"; // normally from a settings packet
        job.rec.text(kExifLens, lens, 64);
        job.icc = testsupport::make_icc_profile(70001, "Test RGB"); // two APP2 chunks
        job.method = 1;
        tmparam_default(1, 0, job.param);
        job.param[kDeStrength] = 63;
        job.info[kSaveOrientation] = b.orientation;
        const Bytes tif = job.file(true);
        job.info[kSaveBits] = 8;
        job.info[kSaveIs16to8] = 1; // the JPEG takes the high bytes
        const Bytes jpg = job.file(false);

        for (const bool isTiff : {true, false}) {
            SCOPED_TRACE(isTiff ? "TIFF" : "JPEG");
            const std::string out = job.path(isTiff);
            const Bytes &f = isTiff ? tif : jpg;
            ExifInfo back;
            ASSERT_EQ(getExifData(out.c_str(), isTiff ? 0 : 1, &back), 1);
            Records r;
            metadataBufFromExifInfo(&back, r.exif, r.gps);
            // Each rational went through a float and the scale-100 encoding, truncating: equal
            // within one unit of the smaller integer, plus single precision.
            for (int slot : {kExifExposureNum, kExifFNumberNum, kExifFocalNum}) {
                const int32_t *a = job.rec.exif + slot, *c = r.exif + slot;
                if (a[0] > 0 && a[1] > 0) {
                    EXPECT_NEAR(double(c[0]) / c[1], double(a[0]) / a[1],
                                (1.0 / std::min(a[0], a[1]) + 1e-6) * a[0] / a[1])
                        << slot;
                }
            }
            EXPECT_EQ(r.exif[kExifIso], job.rec.exif[kExifIso]);
            EXPECT_EQ(std::memcmp(&r.exif[kExifModel], &job.rec.exif[kExifModel], 84), 0);
            EXPECT_EQ(std::memcmp(r.gps, job.rec.gps, kGpsBufBytes), 0) << "GPS record";
            EXPECT_EQ(back.orientation, b.orientation);
            // IPTC: the same bytes (TIFF pads them to whole LONGs).
            EXPECT_EQ(back.iptcLength, isTiff ? (info.iptcLength + 3) / 4 * 4 : info.iptcLength);
            EXPECT_TRUE(std::equal(job.iptc.begin(), job.iptc.end(), f.begin() + back.iptcOffset));
            // The settings packet and its lens (the JPEG's length counts 31 more bytes).
            const size_t len = size_t(back.xmpLength) - (isTiff ? 0 : 31);
            ASSERT_TRUE(back.xmpLength > 31 && size_t(back.xmpOffset) + len <= f.size());
            const std::string packet(f.begin() + back.xmpOffset,
                                     f.begin() + back.xmpOffset + long(len));
            float got[kTmParamCount] = {};
            char lensBack[64] = {};
            EXPECT_GT(get_settings_from_xmp(1, int(len) + 1, packet.c_str(), nullptr, got), 0);
            EXPECT_GE(get_settings_from_xmp(100, int(len) + 1, packet.c_str(), lensBack, nullptr),
                      0);
            EXPECT_EQ(got[kDeStrength], 63);
            EXPECT_STREQ(lensBack, lens);
            // The ICC profile.
            Bytes icc(job.icc.size());
            EXPECT_EQ(isTiff ? tif_profile(out.c_str(), icc.data(), icc.size())
                             : jpg_profile(out.c_str(), icc.data(), icc.size()),
                      int(icc.size()));
            EXPECT_EQ(icc, job.icc);
        }
    }
}
