// The shared directory walk: where chains end, over a file and over memory alike.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "imagecore/tiff_ifd.h"
#include "platform/file_holder.h"
#include "tests/support/fixtures.h"

using namespace testsupport;

namespace {

// A chain of n directories, directory k holding k + 1 SHORT entries.
TiffBuilder chain(size_t n, bool big = false)
{
    TiffBuilder t(big);
    for (size_t k = 0; k < n; ++k) {
        size_t d = t.add_ifd();
        for (uint16_t tag = 1; tag <= k + 1; ++tag)
            t.add_shorts(d, tag, {uint16_t(k)});
    }
    return t;
}

// (k, entry count, entries readable) of each directory visited, and the entries' values seen.
using Visits = std::vector<std::tuple<int, int, int>>;
std::pair<Visits, std::vector<uint32_t>> walk(const imagecore::TiffBytes &t0,
                                              const imagecore::IfdChainLimits &limits)
{
    imagecore::TiffBytes t = t0;
    uint32_t first = 0;
    if (imagecore::read_tiff_header(t, first) < 0)
        return {};
    Visits v;
    std::vector<uint32_t> values;
    imagecore::walk_ifd_chain(t, first, limits, [&](int k, const imagecore::IfdHead &d) {
        v.emplace_back(k, d.count, d.readable);
        return imagecore::walk_ifd(t, d, [&](const imagecore::TiffEntry &e) {
            values.push_back(e.value);
            return true;
        });
    });
    return {v, values};
}

Visits counts(int n, int entriesOfLast = -1)
{
    Visits v;
    for (int k = 0; k < n; ++k)
        v.emplace_back(k, k + 1, k == n - 1 && entriesOfLast >= 0 ? entriesOfLast : k + 1);
    return v;
}

} // namespace

TEST(WalkIfdChain, EndsAtLoopsLimitsAndTheEndOfTheDataInFilesAndMemory)
{
    TiffBuilder self = chain(2), back = chain(3), past = chain(2), full = chain(2);
    self.set_next_to(1, 1);
    back.set_next_to(2, 0);
    past.set_next(0, 0x7FFFFFF0);
    for (uint16_t tag = 100; tag < 354; ++tag) // 255 entries in directory 0
        full.add_shorts(0, tag, {1});
    const Bytes three = chain(3, true).build();
    const Bytes cut(three.begin(), three.end() - 20); // the last directory's entries cut short
    const struct {
        const char *what;
        Bytes file;
        imagecore::IfdChainLimits limits;
        Visits visits;
    } cases[] = {
        {"three, big-endian", three, {}, counts(3)},
        {"a self loop", self.build(), {}, counts(2)},
        {"a loop back to the first", back.build(), {}, counts(3)},
        {"70 directories", chain(70).build(), {}, counts(imagecore::kMaxIfds)},
        {"at most 2 asked", three, {2, false}, counts(2)},
        {"a next offset past the end", past.build(), {}, counts(1)},
        {"entries past the end", cut, {}, counts(3, 1)},
        {"255 entries, no stop asked", full.build(), {}, {{0, 255, 255}, {1, 2, 2}}},
        {"255 entries end the chain", full.build(), {64, true}, {{0, 255, 255}}},
    };
    TempDir dir;
    for (const auto &c : cases) {
        ASSERT_TRUE(write_file(dir.file("chain.tif"), c.file));
        platform::FilePtr f = platform::open_file(dir.file("chain.tif"), "rb");
        const auto inFile = walk(imagecore::TiffBytes::in_file(f.get(), c.file.size()), c.limits);
        const auto inMemory =
            walk(imagecore::TiffBytes::in_memory(c.file.data(), c.file.size()), c.limits);
        EXPECT_EQ(inFile.first, c.visits) << c.what;
        EXPECT_EQ(inFile, inMemory) << c.what;
    }
    // The same structure behind 11 other bytes, reached through the base offset.
    Bytes shifted = three;
    shifted.insert(shifted.begin(), 11, 0xAA);
    const auto atBase = walk(imagecore::TiffBytes{nullptr, shifted.data(), shifted.size(), 11}, {});
    EXPECT_EQ(atBase, walk(imagecore::TiffBytes::in_memory(three.data(), three.size()), {}));
}
