// The ICC chunk rules on hand-made markers, without a decoder; the readers' files go through the
// same rules and are tested with whole files elsewhere.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/icc_chunks.h"
#include "tests/support/fixtures.h"

using testsupport::Bytes;

namespace {

// An APP2 payload: "ICC_PROFILE\0", seq, count, the bytes.
Bytes chunk(int seq, int count, const Bytes &bytes)
{
    Bytes p(14 + bytes.size());
    std::memcpy(p.data(), "ICC_PROFILE", 12);
    p[12] = uint8_t(seq);
    p[13] = uint8_t(count);
    std::copy(bytes.begin(), bytes.end(), p.begin() + 14);
    return p;
}

} // namespace

TEST(IccChunks, OrderCountsAndForeignMarkers)
{
    const Bytes icc = testsupport::make_icc_profile(300, "views");
    const Bytes a(icc.begin(), icc.begin() + 200), b(icc.begin() + 200, icc.end());
    Bytes noNul = chunk(1, 1, icc);
    noNul[11] = 'X';
    const Bytes whole = chunk(1, 1, icc), cut(whole.begin(), whole.begin() + 13); // no count
    struct Row {
        const char *what;
        std::vector<std::pair<int, Bytes>> markers; // code, payload
        size_t total;
    } const rows[] = {
        {"1 of 1", {{0xE2, chunk(1, 1, icc)}}, 300},
        {"0 stands for 1 of 1", {{0xE2, chunk(0, 1, icc)}}, 300},
        {"2 then 1 of 2: sequence order", {{0xE2, chunk(2, 2, b)}, {0xE2, chunk(1, 2, a)}}, 300},
        {"APP1 with chunk bytes ignored", {{0xE1, chunk(1, 1, a)}, {0xE2, chunk(1, 1, icc)}}, 300},
        {"no zero after the signature", {{0xE2, noNul}, {0xE2, chunk(1, 1, icc)}}, 300},
        {"1 and 3 of 3", {{0xE2, chunk(1, 3, a)}, {0xE2, chunk(3, 3, b)}}, 0},
        {"counts disagree", {{0xE2, chunk(1, 2, a)}, {0xE2, chunk(2, 3, b)}}, 0},
        {"1 twice", {{0xE2, chunk(1, 2, a)}, {0xE2, chunk(1, 2, b)}}, 0},
        {"0 of 2", {{0xE2, chunk(0, 2, a)}, {0xE2, chunk(2, 2, b)}}, 0},
        {"beyond the count", {{0xE2, chunk(3, 2, a)}}, 0},
        {"count 0", {{0xE2, chunk(1, 0, a)}}, 0},
        {"shorter than the header", {{0xE2, cut}, {0xE2, chunk(1, 1, icc)}}, 300},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        platform::IccChunks chunks;
        for (const auto &[code, payload] : r.markers)
            chunks.add(code, payload.data(), payload.size());
        std::vector<uint8_t> out(300, 0);
        EXPECT_EQ(chunks.total(), r.total);
        EXPECT_EQ(chunks.copy(out.data(), out.size()), r.total);
        if (r.total) {
            EXPECT_EQ(Bytes(out.begin(), out.end()), icc);
        }
    }
}

TEST(IccChunks, TooSmallADestinationIsLeftUntouched)
{
    const Bytes icc = testsupport::make_icc_profile(300, "cap");
    const Bytes c = chunk(1, 1, icc);
    platform::IccChunks chunks;
    chunks.add(0xE2, c.data(), c.size());
    std::vector<uint8_t> out(300, 0);
    EXPECT_EQ(chunks.copy(nullptr, 0), 300u);
    EXPECT_EQ(chunks.copy(out.data(), 299), 300u);
    EXPECT_EQ(out, std::vector<uint8_t>(300, 0));
}
