// The shared directory walk: where chains end, over a file and over memory alike.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imagecore/tiff_ifd.h"
#include "platform/file_holder.h"
#include "tests/support/fixtures.h"

using namespace testsupport;

namespace {

// A chain of n directories of one SHORT entry each.
TiffBuilder chain(size_t n, bool big = false)
{
    TiffBuilder t(big);
    for (size_t k = 0; k < n; ++k)
        t.add_shorts(t.add_ifd(), 1, {uint16_t(k)});
    return t;
}

// "k:count/readable=first value" for each directory visited.
std::string walk(imagecore::TiffBytes t, const imagecore::IfdChainLimits &limits)
{
    uint32_t first = 0;
    std::string out;
    if (imagecore::read_tiff_header(t, first) > 0)
        imagecore::walk_ifd_chain(t, first, limits, [&](int k, const imagecore::IfdHead &d) {
            out += std::to_string(k) + ":" + std::to_string(d.count) + "/" +
                   std::to_string(d.readable);
            imagecore::walk_ifd(t, d, [&](const imagecore::TiffEntry &e) {
                out += "=" + std::to_string(e.value) + " ";
                return false; // the first entry is enough
            });
            return true;
        });
    return out;
}

} // namespace

TEST(WalkIfdChain, EndsAtLoopsLimitsAndTheEndOfTheDataInFilesAndMemory)
{
    TiffBuilder self = chain(2), back = chain(3), past = chain(2), full = chain(2);
    self.set_next_to(1, 1);
    back.set_next_to(2, 0);
    past.set_next(0, 0x7FFFFFF0);
    for (uint16_t tag = 2; tag <= 255; ++tag) // directory 0 grows to 255 entries
        full.add_shorts(0, tag, {1});
    const Bytes three = chain(3, true).build(), seventy = chain(70).build();
    std::string first64;
    for (int k = 0; k < 64; ++k)
        first64 += std::to_string(k) + ":1/1=" + std::to_string(k) + " ";
    const struct {
        Bytes file;
        imagecore::IfdChainLimits limits;
        std::string visits;
    } cases[] = {
        {three, {}, "0:1/1=0 1:1/1=1 2:1/1=2 "},
        {self.build(), {}, "0:1/1=0 1:1/1=1 "},
        {back.build(), {}, "0:1/1=0 1:1/1=1 2:1/1=2 "},
        {seventy, {}, first64},
        {three, {2, false}, "0:1/1=0 1:1/1=1 "},
        {past.build(), {}, "0:1/1=0 "},
        {Bytes(three.begin(), three.end() - 5), {}, "0:1/1=0 1:1/1=1 2:1/0"}, // entries cut
        {full.build(), {}, "0:255/255=0 1:1/1=1 "},
        {full.build(), {64, true}, "0:255/255=0 "},
    };
    TempDir dir;
    for (const auto &c : cases) {
        ASSERT_TRUE(write_file(dir.file("chain.tif"), c.file));
        platform::FilePtr f = platform::open_file(dir.file("chain.tif"), "rb");
        EXPECT_EQ(walk(imagecore::TiffBytes::in_file(f.get(), c.file.size()), c.limits), c.visits);
        EXPECT_EQ(walk(imagecore::TiffBytes::in_memory(c.file.data(), c.file.size()), c.limits),
                  c.visits);
    }
    // The same structure behind 11 other bytes, reached through the base offset.
    Bytes shifted = three;
    shifted.insert(shifted.begin(), 11, 0xAA);
    EXPECT_EQ(walk({nullptr, shifted.data(), shifted.size(), 11}, {}), cases[0].visits);
}
