#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "imagecore/records.h"
#include "merge/hdr_merge.h"
#include "merge/merge_to_hdr.h"
#include "platform/bundle.h"
#include "platform/notification_center.h"
#include "tests/support/bracket_generator.h"

namespace {

platform::DataPtr dims_record(int w, int h, int spp, int bps)
{
    int32_t d[kImageDimsCount] = {};
    d[kDimsWidth] = w;
    d[kDimsHeight] = h;
    d[kDimsSamples] = spp;
    d[kDimsBits] = bps;
    return platform::Data::copy(d, sizeof d);
}

platform::DataPtr floats(const std::vector<float> &v)
{
    return platform::Data::copy(v.data(), v.size() * sizeof(float));
}

struct Job {
    MergeToHDR job;
    Job(int w, int h, int spp, int bps, int count)
    {
        job.setImageDimsFrom(dims_record(w, h, spp, bps));
        job.setImageCount(count);
    }
};

// The kernel called the way the job calls it.
std::vector<uint8_t> direct(const std::vector<uint8_t> &stack, int n, int w, int h, int spp,
                            int bps, std::vector<float> exposures, float spacing, float stats[3])
{
    std::vector<float> lut(size_t(1) << bps);
    std::vector<uint8_t> out(size_t(w) * h * 4);
    EXPECT_EQ(kv_hdr_merge(nullptr, 0, n, w, h, spp, bps, 0, lut.data(), exposures.data(),
                           stack.data(), stats, out.data(), spacing),
              h);
    return out;
}

std::vector<uint8_t> bytes_of(const platform::DataPtr &d)
{
    return d ? std::vector<uint8_t>(d->bytes(), d->bytes() + d->length()) : std::vector<uint8_t>{};
}

} // namespace

TEST(MergeToHDR, MakeCurveFollowsTheDepth)
{
    Job j8(4, 4, 3, 8, 1);
    const platform::DataPtr c8 = j8.job.makeCurve(2.2f, 1);
    ASSERT_TRUE(c8);
    ASSERT_EQ(c8->length(), 256 * sizeof(float));
    const float *c = reinterpret_cast<const float *>(c8->bytes());
    // The power is taken with the float gamma 2.2f.
    EXPECT_EQ(c[255], float(std::pow(255.0 / 256.0, double(2.2f))));
    EXPECT_EQ(c[1], float(std::pow(1.0 / 256.0, double(2.2f))));
    EXPECT_EQ(c[0], c[1]);
    EXPECT_FALSE(j8.job.camCurve()); // the curve is not kept unless handed back

    Job j16(4, 4, 3, 16, 1);
    const platform::DataPtr c16 = j16.job.makeCurve(1.0f, 1);
    ASSERT_TRUE(c16);
    ASSERT_EQ(c16->length(), 65536 * sizeof(float));
    const float *d = reinterpret_cast<const float *>(c16->bytes());
    EXPECT_EQ(d[32768], 0.5f);
    j16.job.setCamCurve(c16);
    EXPECT_EQ(j16.job.camCurve(), c16);
}

TEST(MergeToHDR, ExifExposuresEqualADirectKernelCall)
{
    const auto map = testsupport::make_radiance_map(96, 40);
    const std::vector<float> exposures = {1.0f, 0.25f, 4.0f};
    for (int bps : {8, 16}) {
        const auto stack = testsupport::render_bracket(map, exposures, bps, 3);
        Job j(96, 40, 3, bps, 3);
        j.job.setDeltaT(floats(exposures));
        const platform::DataPtr hdr = j.job.mergeImagesToHDR(
            1, platform::Data::copy(stack.data(), stack.size()), 1, 0.0f, nullptr);
        ASSERT_TRUE(hdr) << bps;
        float stats[3];
        EXPECT_EQ(bytes_of(hdr), direct(stack, 3, 96, 40, 3, bps, exposures, -1.0f, stats));
        EXPECT_EQ(j.job.imMin(), stats[0]);
        EXPECT_EQ(j.job.imMax(), stats[1]);
        EXPECT_EQ(j.job.imMoy(), stats[2]);
        EXPECT_LT(stats[0], stats[2]);
        EXPECT_LT(stats[2], stats[1]);
    }
}

TEST(MergeToHDR, WithoutExifTheKernelEstimates)
{
    const auto map = testsupport::make_radiance_map(80, 30);
    const auto stack = testsupport::render_bracket(map, {4.0f, 1.0f}, 8, 3);
    Job j(80, 30, 3, 8, 2);
    // deltaT is ignored when exif is 0.
    j.job.setDeltaT(floats({123.0f, 5.0f}));
    const platform::DataPtr hdr = j.job.mergeImagesToHDR(
        1, platform::Data::copy(stack.data(), stack.size()), 0, 0.0f, nullptr);
    ASSERT_TRUE(hdr);
    float stats[3];
    EXPECT_EQ(bytes_of(hdr), direct(stack, 2, 80, 30, 3, 8, {0, 0}, 0.0f, stats));

    // One photo needs no exposure, whatever ev says.
    Job one(80, 30, 3, 8, 1);
    EXPECT_TRUE(one.job.mergeImagesToHDR(1, platform::Data::copy(stack.data(), stack.size()), 0,
                                         -1.0f, nullptr));
}

TEST(MergeToHDR, RefusesIncompleteConfigurationWithNil)
{
    const std::vector<uint8_t> pixels(2 * 4 * 4 * 3 * 2, 100);
    const platform::DataPtr stack = platform::Data::copy(pixels.data(), pixels.size());
    auto run = [&](int w, int h, int spp, int bps, int count, platform::DataPtr deltaT, int exif,
                   float ev, platform::DataPtr s) {
        Job j(w, h, spp, bps, count);
        j.job.setDeltaT(std::move(deltaT));
        return j.job.mergeImagesToHDR(1, s, exif, ev, nullptr);
    };
    const platform::DataPtr two = floats({1, 2});
    EXPECT_TRUE(run(4, 4, 3, 8, 2, two, 1, 0, stack));
    EXPECT_FALSE(run(4, 4, 3, 8, 2, nullptr, 1, 0, stack));     // exif without deltaT
    EXPECT_FALSE(run(4, 4, 3, 8, 2, floats({1}), 1, 0, stack)); // deltaT too short
    EXPECT_FALSE(run(4, 4, 3, 8, 2, two, 0, -1.0f, stack));     // nobody fills the exposures
    EXPECT_FALSE(run(4, 4, 3, 8, 2, two, 0, NAN, stack));
    EXPECT_FALSE(run(4, 4, 3, 8, 0, two, 1, 0, stack)); // no photo
    EXPECT_FALSE(run(0, 4, 3, 8, 2, two, 1, 0, stack));
    EXPECT_FALSE(run(4, 0, 3, 8, 2, two, 1, 0, stack)); // used to return an empty image
    EXPECT_FALSE(run(4, 4, 3, 12, 2, two, 1, 0, stack));
    EXPECT_FALSE(run(4, 4, 0, 8, 2, two, 1, 0, stack));
    EXPECT_FALSE(run(4, 4, 3, 16, 3, floats({1, 2, 3}), 1, 0, stack)); // stack too short
    EXPECT_FALSE(run(4, 4, 3, 8, 2, two, 1, 0, nullptr));
    EXPECT_FALSE(run(4, 4, 3, 8, 2, floats({1, 0}), 1, 0, stack)); // kernel refuses exposure 0
    EXPECT_TRUE(run(4, 4, 3, 16, 2, two, 1, 0, stack));            // exactly long enough
}

TEST(MergeToHDR, ImageDimsRecordMayBeShortOrNil)
{
    MergeToHDR job;
    const int32_t partial[2] = {3, 2};
    job.setImageDimsFrom(platform::Data::copy(partial, sizeof partial));
    job.setImageCount(1);
    const std::vector<uint8_t> pixels(3 * 2 * 3, 100);
    // Samples and depth read as 0 from the short record: nothing to merge.
    EXPECT_FALSE(
        job.mergeImagesToHDR(1, platform::Data::copy(pixels.data(), pixels.size()), 0, 0, nullptr));
    job.setImageDimsFrom(dims_record(3, 2, 3, 8));
    const platform::DataPtr hdr =
        job.mergeImagesToHDR(1, platform::Data::copy(pixels.data(), pixels.size()), 0, 0, nullptr);
    ASSERT_TRUE(hdr);
    EXPECT_EQ(hdr->length(), 3u * 2 * 4);
}

TEST(MergeToHDR, ProgressNotificationsOnlyWhenNotSilentFrom816Rows)
{
    platform::set_localized_strings({{"Generating HDR image...", "HDR-Bild wird erzeugt..."}});
    std::vector<platform::Notification> seen;
    platform::ScopedObserver observer("progressReportUpdated", nullptr,
                                      [&](const platform::Notification &n) { seen.push_back(n); });
    auto run = [&](int h, int silent) {
        seen.clear();
        const std::vector<uint8_t> pixels(size_t(h) * 3, 90);
        Job j(1, h, 3, 8, 1);
        EXPECT_TRUE(j.job.mergeImagesToHDR(
            silent, platform::Data::copy(pixels.data(), pixels.size()), 0, 0, nullptr));
        return seen.size();
    };
    EXPECT_EQ(run(815, 0), 0u);
    EXPECT_EQ(run(816, 1), 0u);
    EXPECT_EQ(run(10, 0), 0u);
    ASSERT_EQ(run(816, 0), 16u);
    const platform::Notification &first = seen.front();
    EXPECT_EQ(first.object, nullptr);
    ASSERT_TRUE(first.userInfo.at("progressText").string());
    EXPECT_EQ(*first.userInfo.at("progressText").string(), "HDR-Bild wird erzeugt...");
    EXPECT_EQ(first.userInfo.at("progressStatus").doubleValue(), double(50.0f / 816.0f * 100.0f));
    EXPECT_LT(seen.back().userInfo.at("progressStatus").doubleValue(), 100.0);
    platform::set_localized_strings({});
}
