// Radiance pieces: the run-length coder's packets and the scanline decoder's packet kinds (in
// memory, through fmemopen; the readers' tests refuse the malformed ones).
#include <gtest/gtest.h>

#include <cstdio>
#include <numeric>
#include <vector>

#include "imagecore/radiance.h"

using namespace imagecore;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes encode(const Bytes &d)
{
    Bytes out(2 * d.size());
    out.resize(radiance_rle_encode(d.data(), int(d.size()), out.data()));
    return out;
}

// n bytes in which no two neighbours are equal.
Bytes distinct(int n)
{
    Bytes d(static_cast<size_t>(n));
    std::iota(d.begin(), d.end(), uint8_t(0));
    return d;
}

// The packet lengths of a coded component: literals as n, runs as -n.
std::vector<int> packets(const Bytes &coded)
{
    std::vector<int> p;
    for (size_t i = 0; i < coded.size();) {
        const int c = coded[i];
        p.push_back(c > 128 ? -(c - 128) : c);
        i += c > 128 ? 2 : size_t(c) + 1;
    }
    return p;
}

ScanlineResult decode(const Bytes &stream, int width, Bytes &row)
{
    row.assign(4 * size_t(width), 0xEE);
    Bytes copy = stream; // fmemopen wants a writable buffer
    FILE *f = fmemopen(copy.data(), copy.size(), "rb");
    const ScanlineResult r = radiance_read_rle_row(f, width, row.data());
    std::fclose(f);
    return r;
}

TEST(RadianceRleEncode, CodesTheGivenComponents)
{
    EXPECT_EQ(encode(Bytes(16, 7)), (Bytes{144, 7}));
    EXPECT_EQ(encode({1, 2, 3, 3, 3, 3, 3, 4}), (Bytes{2, 1, 2, 133, 3, 1, 4}));
    EXPECT_EQ(encode({1, 2, 2, 2, 3}), (Bytes{5, 1, 2, 2, 2, 3}));
    EXPECT_EQ(encode({9}), (Bytes{1, 9}));
    const struct {
        Bytes in;
        std::vector<int> packets;
    } cases[] = {
        {distinct(300), {127, 127, 46}},
        {distinct(128), {128}},
        {distinct(129), {127, 2}},
        {Bytes(200, 5), {-127, -73}},
        {Bytes(4, 5), {4}}, // a repeat of 4 is no run
        {Bytes(5, 5), {-5}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(packets(encode(c.in)), c.packets) << c.in.size() << " bytes";
}

TEST(RadianceReadRleRow, DecodesPacketsIntoComponentBlocks)
{
    // Width 3: R literal, G run, B literal of 2 + run of 1, E run.
    Bytes row;
    ASSERT_EQ(decode({2, 2, 0, 3, 3, 1, 2, 3, 131, 9, 2, 4, 5, 129, 6, 131, 130}, 3, row),
              ScanlineResult::kOk);
    EXPECT_EQ(row, (Bytes{1, 2, 3, 9, 9, 9, 4, 5, 6, 130, 130, 130}));

    // A literal of 128 bytes is valid.
    Bytes s{2, 2, 0, 128, 128};
    for (int i = 0; i < 128; ++i)
        s.push_back(uint8_t(i));
    for (int c = 0; c < 3; ++c)
        s.insert(s.end(), {255, 1, 129, 1});
    ASSERT_EQ(decode(s, 128, row), ScanlineResult::kOk);
    EXPECT_EQ(row[127], 127);
    EXPECT_EQ(row[128], 1);
}

} // namespace
