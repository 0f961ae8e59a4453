// End to end on real brackets: decode each photo, read its EXIF exposure data, merge with the
// relative exposures it gives (and with the estimate from the pixels) and check the statistics.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "imagecore/records.h"
#include "merge/merge_to_hdr.h"
#include "metadata/metadata_class.h"
#include "platform/bitmap.h"

namespace {

struct Bracket {
    const char *folder;
    std::vector<const char *> files; // by increasing exposure
};

const Bracket kBrackets[] = {
    {"window_tripod_e995",
     {"HDRI_Sample_Scene_Window_-_02.jpg", "HDRI_Sample_Scene_Window_-_04.jpg",
      "HDRI_Sample_Scene_Window_-_06.jpg", "HDRI_Sample_Scene_Window_-_08.jpg",
      "HDRI_Sample_Scene_Window_-_10.jpg"}},
    {"stlouis_arch_tripod",
     {"StLouisArchMultExpEV-4.72.jpeg", "StLouisArchMultExpEV-1.82.jpeg",
      "StLouisArchMultExpEV+1.51.jpeg", "StLouisArchMultExpEV+4.09.jpeg"}},
    {"iphone6_handheld", {"1.JPG", "3.JPG", "5.JPG", "7.JPG", "8.JPG"}},
};

bool is_dir(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

TEST(MergeToHDR, RealBracketsGiveOrderedFiniteStatistics)
{
    const std::string root = HDR_TESTDATA_DIR;
    if (!is_dir(root))
        GTEST_SKIP() << "no test photos in " << root;
    for (const Bracket &b : kBrackets) {
        SCOPED_TRACE(b.folder);
        const std::string dir = root + "/" + b.folder + "/";
        if (!is_dir(dir)) {
            ADD_FAILURE() << "missing " << dir;
            continue;
        }
        std::vector<uint8_t> stack;
        platform::DataArray exifBufs;
        const MetaData meta;
        int w = 0, h = 0;
        for (const char *file : b.files) {
            const platform::DataPtr bytes = platform::contents_at_path(dir + file);
            ASSERT_TRUE(bytes) << file;
            exifBufs.push_back(meta.getMetaData(bytes));
            ASSERT_EQ(meta.scanExif(exifBufs.back()), 1) << file << ": no exposure data";
            const platform::BitmapPtr bmp = platform::BitmapImageRep::imageRepWithData(bytes);
            ASSERT_TRUE(bmp) << file;
            ASSERT_EQ(bmp->bitsPerSample(), 8);
            ASSERT_EQ(bmp->samplesPerPixel(), 3);
            if (w == 0) {
                w = bmp->pixelsWide();
                h = bmp->pixelsHigh();
            }
            ASSERT_EQ(bmp->pixelsWide(), w);
            ASSERT_EQ(bmp->pixelsHigh(), h);
            for (int y = 0; y < h; ++y) {
                const uint8_t *row = bmp->bitmapData() + size_t(y) * size_t(bmp->bytesPerRow());
                stack.insert(stack.end(), row, row + size_t(w) * 3);
            }
        }
        const platform::DataPtr deltaT = meta.getEV(exifBufs);
        ASSERT_TRUE(deltaT);
        ASSERT_EQ(deltaT->length(), b.files.size() * sizeof(float));
        std::vector<float> t(b.files.size());
        deltaT->getBytes(t.data(), deltaT->length());
        for (size_t k = 1; k < t.size(); ++k)
            EXPECT_GT(t[k], t[k - 1]) << "exposures out of order at " << b.files[k];
        const platform::DataPtr stackData = platform::Data::copy(stack.data(), stack.size());
        stack.clear();
        stack.shrink_to_fit();

        int32_t dims[kImageDimsCount] = {};
        dims[kDimsWidth] = w;
        dims[kDimsHeight] = h;
        dims[kDimsSamples] = 3;
        dims[kDimsBits] = 8;
        for (int exif : {1, 0}) {
            SCOPED_TRACE(exif ? "metadata exposures" : "estimated exposures");
            MergeToHDR job;
            job.setImageDimsFrom(platform::Data::copy(dims, sizeof dims));
            job.setImageCount(int(b.files.size()));
            job.setDeltaT(deltaT);
            const platform::DataPtr hdr = job.mergeImagesToHDR(1, stackData, exif, 0.0f, nullptr);
            ASSERT_TRUE(hdr);
            EXPECT_EQ(hdr->length(), size_t(w) * size_t(h) * 4);
            EXPECT_TRUE(std::isfinite(job.imMin()) && std::isfinite(job.imMoy()) &&
                        std::isfinite(job.imMax()));
            EXPECT_GT(job.imMin(), 0.0f);
            EXPECT_LT(job.imMin(), job.imMoy());
            EXPECT_LT(job.imMoy(), job.imMax());
        }
    }
}
