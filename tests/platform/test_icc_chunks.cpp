// The ICC chunk rules on marker views, without a decoder: order, foreign markers, short chunks
// and the destination's capacity. The rules on whole files are tested through the readers.
#include <gtest/gtest.h>

#include <vector>

#include "platform/icc_chunks.h"
#include "tests/support/fixtures.h"

using testsupport::Bytes;

TEST(AssembleIccChunks, WorksOnMarkerViews)
{
    Bytes icc = testsupport::make_icc_profile(300, "views");
    std::vector<Bytes> chunks = testsupport::make_icc_app2_chunks(icc, 200);
    ASSERT_EQ(chunks.size(), 2u);
    const Bytes &c1 = chunks[0], &c2 = chunks[1];
    // Marker data starts after FF, code and the two length bytes.
    std::vector<platform::JpegMarker> markers = {
        {0xE2, c2.data() + 4, c2.size() - 4},
        {0xE1, c1.data() + 4, c1.size() - 4}, // an APP1 with the same bytes does not count
        {0xE2, c1.data() + 4, c1.size() - 4},
    };
    EXPECT_EQ(platform::assemble_icc_chunks(markers, nullptr, 0), 300u);
    std::vector<uint8_t> out(300);
    EXPECT_EQ(platform::assemble_icc_chunks(markers, out.data(), 299), 300u);
    EXPECT_EQ(out, std::vector<uint8_t>(300, 0)); // too small: untouched
    EXPECT_EQ(platform::assemble_icc_chunks(markers, out.data(), out.size()), 300u);
    EXPECT_EQ(Bytes(out.begin(), out.end()), icc);
    // A chunk shorter than the 14-byte header is ignored.
    std::vector<platform::JpegMarker> tiny = {{0xE2, c1.data() + 4, 13}};
    EXPECT_EQ(platform::assemble_icc_chunks(tiny, nullptr, 0), 0u);
}
