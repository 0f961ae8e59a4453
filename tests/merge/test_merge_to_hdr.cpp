// The merge job: its camera curve, the kernel call it makes, refused configurations, progress,
// and real brackets merged with the exposures their metadata gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "imagecore/records.h"
#include "merge/hdr_merge.h"
#include "merge/merge_to_hdr.h"
#include "metadata/metadata_class.h"
#include "platform/bitmap.h"
#include "platform/bundle.h"
#include "platform/notification_center.h"
#include "tests/support/bracket_generator.h"

using platform::Data;
using platform::DataPtr;

namespace {

DataPtr floats(const std::vector<float> &v)
{
    return Data::copy(v.data(), v.size() * sizeof(float));
}

DataPtr bytes(const std::vector<uint8_t> &v)
{
    return Data::copy(v.data(), v.size());
}

// A job for count photos of w x h x spp samples of bps bits.
struct Job : MergeToHDR {
    Job(int w, int h, int spp, int bps, int count, DataPtr deltaT = nullptr)
    {
        int32_t d[kImageDimsCount] = {};
        d[kDimsWidth] = w;
        d[kDimsHeight] = h;
        d[kDimsSamples] = spp;
        d[kDimsBits] = bps;
        setImageDimsFrom(Data::copy(d, sizeof d));
        setImageCount(count);
        setDeltaT(std::move(deltaT));
    }
};

} // namespace

TEST(MergeToHDR, MakeCurveFollowsTheDepth)
{
    const DataPtr c8 = Job(4, 4, 3, 8, 1).makeCurve(2.2f, 1);
    ASSERT_TRUE(c8 && c8->length() == 256 * sizeof(float));
    const float *c = reinterpret_cast<const float *>(c8->bytes());
    // The power is taken with the float gamma 2.2f.
    EXPECT_EQ(c[255], float(std::pow(255.0 / 256.0, double(2.2f))));
    EXPECT_EQ(c[1], float(std::pow(1.0 / 256.0, double(2.2f))));
    EXPECT_EQ(c[0], c[1]);
    const DataPtr c16 = Job(4, 4, 3, 16, 1).makeCurve(1.0f, 1);
    ASSERT_TRUE(c16 && c16->length() == 65536 * sizeof(float));
    EXPECT_EQ(reinterpret_cast<const float *>(c16->bytes())[32768], 0.5f);
}

TEST(MergeToHDR, EqualsADirectKernelCall)
{
    // exif > 0: the metadata exposures as they are (spacing -1); exif 0: the estimate from the
    // brightness (spacing ev), whatever deltaT holds.
    const int w = 96, h = 40;
    const std::vector<float> t = {1.0f, 0.25f, 4.0f};
    for (int bps : {8, 16})
        for (int exif : {1, 0}) {
            SCOPED_TRACE(testing::Message() << bps << " bits, exif " << exif);
            const auto stack =
                testsupport::render_bracket(testsupport::make_radiance_map(w, h), t, bps, 3);
            Job job(w, h, 3, bps, 3, floats(exif ? t : std::vector<float>{123, 5, 0}));
            const DataPtr hdr = job.mergeImagesToHDR(1, bytes(stack), exif, 0.0f, nullptr);
            ASSERT_TRUE(hdr);
            std::vector<float> lut(size_t(1) << bps), exposures = t;
            std::vector<uint8_t> direct(size_t(w) * h * 4);
            float stats[3];
            ASSERT_EQ(kv_hdr_merge(nullptr, 0, 3, w, h, 3, bps, 0, lut.data(), exposures.data(),
                                   stack.data(), stats, direct.data(), exif ? -1.0f : 0.0f),
                      h);
            EXPECT_EQ(std::vector<uint8_t>(hdr->bytes(), hdr->bytes() + hdr->length()), direct);
            EXPECT_EQ(std::vector<float>({job.imMin(), job.imMax(), job.imMoy()}),
                      std::vector<float>(stats, stats + 3));
        }
}

TEST(MergeToHDR, RefusesIncompleteConfigurationWithNil)
{
    const DataPtr stack = bytes(std::vector<uint8_t>(2 * 4 * 4 * 3 * 2, 100)), two = floats({1, 2});
    auto run = [&](Job &&job, int exif, float ev, const DataPtr &s) {
        return bool(job.mergeImagesToHDR(1, s, exif, ev, nullptr));
    };
    EXPECT_TRUE(run(Job(4, 4, 3, 8, 2, two), 1, 0, stack));
    EXPECT_TRUE(run(Job(4, 4, 3, 16, 2, two), 1, 0, stack)); // exactly long enough
    EXPECT_TRUE(run(Job(4, 4, 3, 8, 1), 0, -1.0f, stack));   // one photo needs no exposure
    EXPECT_FALSE(run(Job(4, 4, 3, 8, 2), 1, 0, stack));      // exif without deltaT
    EXPECT_FALSE(run(Job(4, 4, 3, 8, 2, floats({1})), 1, 0, stack));
    EXPECT_FALSE(run(Job(4, 4, 3, 8, 2, two), 0, -1.0f, stack)); // nobody fills the exposures
    EXPECT_FALSE(run(Job(4, 4, 3, 8, 2, two), 0, NAN, stack));
    EXPECT_FALSE(run(Job(4, 4, 3, 8, 0, two), 1, 0, stack));
    EXPECT_FALSE(run(Job(0, 4, 3, 8, 2, two), 1, 0, stack));
    EXPECT_FALSE(run(Job(4, 0, 3, 8, 2, two), 1, 0, stack)); // used to be an empty success
    EXPECT_FALSE(run(Job(4, 4, 3, 12, 2, two), 1, 0, stack));
    EXPECT_FALSE(run(Job(4, 4, 0, 8, 2, two), 1, 0, stack));
    EXPECT_FALSE(run(Job(4, 4, 3, 16, 3, floats({1, 2, 3})), 1, 0, stack)); // stack too short
    EXPECT_FALSE(run(Job(4, 4, 3, 8, 2, two), 1, 0, nullptr));
    EXPECT_FALSE(run(Job(4, 4, 3, 8, 2, floats({1, 0})), 1, 0, stack)); // the kernel's -3
    // A dimension record short of the samples and depth slots reads them as 0.
    Job shortDims(4, 4, 3, 8, 1);
    const int32_t partial[2] = {4, 4};
    shortDims.setImageDimsFrom(Data::copy(partial, sizeof partial));
    EXPECT_FALSE(run(std::move(shortDims), 0, 0, stack));
}

TEST(MergeToHDR, ProgressNotificationsOnlyWhenNotSilentFrom816Rows)
{
    platform::set_localized_strings({{"Generating HDR image...", "HDR-Bild wird erzeugt..."}});
    std::vector<platform::Notification> seen;
    platform::ScopedObserver observer("progressReportUpdated", nullptr,
                                      [&](const platform::Notification &n) { seen.push_back(n); });
    auto run = [&](int h, int silent) {
        seen.clear();
        EXPECT_TRUE(Job(1, h, 3, 8, 1)
                        .mergeImagesToHDR(silent, bytes(std::vector<uint8_t>(size_t(h) * 3, 90)), 0,
                                          0, nullptr));
        return seen.size();
    };
    // Below 16 rows the kernel's progress step is 0: nothing may divide by it.
    for (int h : {1, 15, 815})
        EXPECT_EQ(run(h, 0), 0u) << h;
    EXPECT_EQ(run(816, 1), 0u);
    ASSERT_EQ(run(816, 0), 16u);
    EXPECT_EQ(seen[0].object, nullptr);
    ASSERT_TRUE(seen[0].userInfo.at("progressText").string());
    EXPECT_EQ(*seen[0].userInfo.at("progressText").string(), "HDR-Bild wird erzeugt...");
    EXPECT_EQ(seen[0].userInfo.at("progressStatus").doubleValue(), double(50.0f / 816.0f * 100.0f));
    platform::set_localized_strings({});
}

TEST(MergeToHDR, RealBracketsGiveOrderedFiniteStatistics)
{
    const std::string root = HDR_TESTDATA_DIR;
    if (!std::filesystem::is_directory(root))
        GTEST_SKIP() << "no test photos in " << root;
    const MetaData meta;
    for (const char *folder : {"window_tripod_e995", "stlouis_arch_tripod", "iphone6_handheld"}) {
        SCOPED_TRACE(folder);
        // The photos by name: the merge puts them in exposure order itself.
        std::vector<std::string> files;
        for (const auto &entry : std::filesystem::directory_iterator(root + "/" + folder))
            if (entry.path().extension() != ".md")
                files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        ASSERT_GE(files.size(), 2u);
        std::vector<uint8_t> stack;
        platform::DataArray exifBufs;
        int w = 0, h = 0;
        for (const std::string &file : files) {
            const DataPtr data = platform::contents_at_path(file);
            ASSERT_TRUE(data) << file;
            exifBufs.push_back(meta.getMetaData(data));
            ASSERT_EQ(meta.scanExif(exifBufs.back()), 1) << file << ": no exposure data";
            const platform::BitmapPtr bmp = platform::BitmapImageRep::imageRepWithData(data);
            ASSERT_TRUE(bmp && bmp->bitsPerSample() == 8 && bmp->samplesPerPixel() == 3) << file;
            w = w ? w : bmp->pixelsWide();
            h = h ? h : bmp->pixelsHigh();
            ASSERT_TRUE(bmp->pixelsWide() == w && bmp->pixelsHigh() == h) << file;
            for (int y = 0; y < h; ++y) {
                const uint8_t *row = bmp->bitmapData() + size_t(y) * size_t(bmp->bytesPerRow());
                stack.insert(stack.end(), row, row + size_t(w) * 3);
            }
        }
        const DataPtr deltaT = meta.getEV(exifBufs), stackData = bytes(stack);
        ASSERT_TRUE(deltaT && deltaT->length() == files.size() * sizeof(float));
        std::vector<uint8_t>().swap(stack);
        for (int exif : {1, 0}) {
            SCOPED_TRACE(exif ? "metadata exposures" : "estimated exposures");
            Job job(w, h, 3, 8, int(files.size()), deltaT);
            const DataPtr hdr = job.mergeImagesToHDR(1, stackData, exif, 0.0f, nullptr);
            ASSERT_TRUE(hdr);
            EXPECT_EQ(hdr->length(), size_t(w) * size_t(h) * 4);
            // Finite and ordered: 0 < min < mean < max < infinity.
            EXPECT_GT(job.imMin(), 0.0f);
            EXPECT_LT(job.imMin(), job.imMoy());
            EXPECT_LT(job.imMoy(), job.imMax());
            EXPECT_TRUE(std::isfinite(job.imMax()));
        }
    }
}
