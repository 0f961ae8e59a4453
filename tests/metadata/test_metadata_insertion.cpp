// add_iptc_keyword, extract_xmp, write_xmp and insert_xmp: the exact bytes they give, files read
// back with the project's readers and with exiftool, and every refusal.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "imagecore/records.h"
#include "metadata/exif_reader.h"
#include "metadata/jpeg_writer.h"
#include "metadata/metadata_insertion.h"
#include "metadata/tiff_writer.h"
#include "tests/metadata/exif_test_util.h"

using namespace exiftest;
using testsupport::TempDir;

namespace {

const Bytes kVersion = {0x1C, 0x02, 0x00, 0x00, 0x02, 0x00, 0x04};         // 2:00, version 4
const Bytes kKeyK = {0x1C, 0x02, 0x19, 0x00, 0x01, 'k'};                   // 2:25 "k"
const Bytes kCaption = {0x1C, 0x02, 0x78, 0x00, 0x04, 't', 'e', 'x', 't'}; // 2:120
const Bytes kEnvelope = {0x1C, 0x01, 0x5A, 0x00, 0x03, 0x1B, 0x25, 0x47};  // 1:90

// add_iptc_keyword into an output of exactly the promised size; empty on failure.
std::pair<int, Bytes> with_keyword(const Bytes &block, const std::string &keyword)
{
    Bytes out(block.size() + keyword.size() + (block.empty() ? 12 : 5), 0xEE);
    const int rc = add_iptc_keyword(int(block.size()), block.data(), int(keyword.size()),
                                    reinterpret_cast<const uint8_t *>(keyword.data()), out.data());
    return {rc, rc >= 0 ? out : Bytes()};
}
Bytes keyword_dataset(const std::string &keyword)
{
    return concat({{0x1C, 0x02, 0x19, uint8_t(keyword.size() >> 8), uint8_t(keyword.size())},
                   bytes_of(keyword)});
}

float *defaults(int method)
{
    static float p[kTmParamCount];
    tmparam_default(method, 0, p);
    return p;
}

// A small image written by the JPEG or TIFF writer with an exposure, an IPTC block and method
// 2's packet.
std::string write_image(const TempDir &dir, bool tiff, const Bytes &iptc)
{
    const int32_t info[kSaveInfoCount] = {8, 6, 3, 8, 72, 72, 0, 0, 0, 0, 1};
    const Bytes pixels(8 * 6 * 3, 90);
    Records r; // an exposure, so that the JPEG has its EXIF segment first
    r.exif[kExifExposureNum] = 1;
    r.exif[kExifExposureDen] = 250;
    const std::string path = dir.file(tiff ? "image.tif" : "image.jpg");
    const int rows =
        tiff ? buf2tif(pixels.data(), info, 24, nullptr, r.exif, r.gps, int(iptc.size()),
                       iptc.data(), 2, defaults(2), 0, nullptr, path.c_str())
             : KVwritejpg(path.c_str(), 90, info, 24, nullptr, r.exif, r.gps, int(iptc.size()),
                          iptc.data(), 2, defaults(2), pixels.data());
    EXPECT_EQ(rows, 6);
    return path;
}

// insert_xmp of method into packet, measured first; the packet grown, or empty on failure.
std::pair<int, std::string> inserted(const std::string &packet, int method, int lengthError = 0)
{
    const int n = insert_xmp(0, method, defaults(method), 0, 0, nullptr);
    std::string buf = packet + std::string(size_t(std::max(n, 0) + 8), '#');
    const int rc =
        insert_xmp(1, method, defaults(method), int(packet.size()), n + lengthError, buf.data());
    EXPECT_EQ(buf.substr(packet.size() + size_t(std::max(n, 0))), "########")
        << "wrote past the room given";
    return {rc, buf.substr(0, packet.size() + size_t(rc > 0 ? rc : 0))};
}

} // namespace

TEST(AddIptcKeyword, EmptyBlockAndTheDatasetItFollows)
{
    auto [rc, out] = with_keyword({}, "abc");
    EXPECT_EQ(rc, 7);
    EXPECT_EQ(out, concat({kVersion, {0x1C, 0x02, 0x19, 0x00, 0x03, 'a', 'b', 'c'}})); // 15 bytes
    const struct {
        const char *what;
        Bytes block;
        size_t at;
    } cases[] = {
        {"after the keyword, before the caption", concat({kVersion, kKeyK, kCaption}), 13},
        {"after the last keyword", concat({kVersion, kKeyK, kKeyK, kCaption}), 19},
        {"no keyword: after the last record-2 dataset", concat({kEnvelope, kVersion, kCaption}),
         24},
        {"a keyword that starts the block does not count", concat({kKeyK, kCaption}), 15},
        {"nothing after position 0: after the first dataset", concat({kKeyK, kEnvelope}), 6},
    };
    for (const auto &c : cases) {
        std::tie(rc, out) = with_keyword(c.block, "new");
        EXPECT_EQ(rc, int(c.at)) << c.what;
        EXPECT_EQ(out, concat({Bytes(c.block.begin(), c.block.begin() + long(c.at)),
                               keyword_dataset("new"),
                               Bytes(c.block.begin() + long(c.at), c.block.end())}))
            << c.what;
    }
    // The longest keyword a dataset length can say, and one byte more.
    const Bytes longest = with_keyword(kVersion, std::string(65535, 'x')).second;
    ASSERT_EQ(longest.size(), kVersion.size() + 5 + 65535);
    EXPECT_EQ(longest[10] & longest[11], 0xFF);
    EXPECT_EQ(with_keyword(kVersion, std::string(65536, 'x')).first, -1);
    Bytes cut = concat({kVersion, kKeyK}); // the keyword's data length says 9, one byte follows
    cut[kVersion.size() + 4] = 9;
    uint8_t out1[64];
    const uint8_t k = 'k';
    for (auto [len, block, klen, rcWanted] :
         {std::tuple{int(cut.size()), static_cast<const uint8_t *>(cut.data()), 1, -1},
          {3, kVersion.data(), 1, -1},
          {-1, kVersion.data(), 1, -1},
          {7, kVersion.data(), -1, -1},
          {7, nullptr, 1, -3}})
        EXPECT_EQ(add_iptc_keyword(len, block, klen, &k, out1), rcWanted) << len << " " << klen;
    EXPECT_EQ(add_iptc_keyword(0, nullptr, 1, &k, nullptr), -3);
}

TEST(AddIptcKeyword, BlockTravelsThroughBothWritersToExiftool)
{
    Bytes block = concat({kVersion, keyword_dataset("alpha"), kCaption});
    for (const char *k : {"beta", "gamma"})
        block = with_keyword(block, k).second;
    TempDir dir;
    for (bool tiff : {false, true}) {
        SCOPED_TRACE(tiff ? "TIFF" : "JPEG");
        const std::string path = write_image(dir, tiff, block);
        ExifInfo info;
        ASSERT_EQ(getExifData(path.c_str(), tiff ? 0 : 1, &info), 1);
        Bytes back(size_t(info.iptcLength) + 1, 0);
        ASSERT_EQ(read_iptc(path.c_str(), info.iptcLength, info.iptcOffset, back.data()),
                  info.iptcLength);
        back.resize(block.size()); // a TIFF pads the block to whole LONGs
        EXPECT_EQ(back, block);
        const auto out = exiftool("-s3 -sep , -IPTC:Keywords -IPTC:Caption-Abstract " + path);
        if (!out) {
            std::printf("exiftool not found: its check is skipped\n");
            continue;
        }
        EXPECT_EQ(*out, "alpha,beta,gamma\ntext\n");
    }
}

TEST(WriteXmp, PresetFilesForEachMethodAndRefusals)
{
    TempDir dir;
    for (int method : {1, 2, 10, 11}) {
        SCOPED_TRACE(method);
        const std::string path = dir.file("preset.xmp");
        ASSERT_EQ(write_xmp(path.c_str(), method, defaults(method)), 1);
        EXPECT_EQ(testsupport::read_file(path), bytes_of(xmp_packet(method, defaults(method))));
        float back[kTmParamCount] = {};
        EXPECT_GT(parse_xmp(path.c_str(), method, back), 0);
        // The whole file is the packet: extract_xmp takes it up to its last byte.
        std::vector<char> buf(testsupport::read_file(path).size() + 1, 1);
        EXPECT_EQ(extract_xmp(path.c_str(), int(buf.size()) - 1, 0, buf.data()), method);
        const auto out = exiftool("-s3 -XMP-kvtm:Method -XMP-kvtm:Version " + path);
        if (out)
            EXPECT_EQ(*out, std::string(metadata::settings_method_name(method)) + "\n4.0\n");
        else
            std::printf("exiftool not found: its check is skipped\n");
    }
    const std::string none = dir.file("none.xmp");
    EXPECT_EQ(write_xmp(none.c_str(), 3, defaults(1)), -2);
    EXPECT_EQ(write_xmp(none.c_str(), 1, nullptr), -3);
    EXPECT_FALSE(std::filesystem::exists(none));
    EXPECT_EQ(write_xmp(dir.file("no/such/folder.xmp").c_str(), 2, defaults(2)), -1);
    EXPECT_EQ(write_xmp("/dev/full", 2, defaults(2)), -3);
}

TEST(ExtractXmp, PacketsOfBothWritersAndRefusals)
{
    TempDir dir;
    for (bool tiff : {false, true}) {
        const std::string path = write_image(dir, tiff, kVersion);
        ExifInfo info;
        ASSERT_EQ(getExifData(path.c_str(), tiff ? 0 : 1, &info), 1);
        // A JPEG's recorded length counts its segment's length field and signature.
        const int len = info.xmpLength - (tiff ? 0 : 31);
        std::vector<char> buf(size_t(len) + 1, 1);
        EXPECT_EQ(extract_xmp(path.c_str(), len, info.xmpOffset, buf.data()), 2) << tiff;
    }
    const std::string foreign = dir.file("foreign.xmp"), bare = dir.file("bare.xmp");
    const std::string noMethod = xmp_packet(5, nullptr);
    testsupport::write_file(foreign, bytes_of(xmp_packet(0, nullptr, "Lens")));
    testsupport::write_file(bare, bytes_of(noMethod));
    testsupport::write_file(dir.file("empty"), {});
    const int n = int(noMethod.size());
    std::vector<char> buf(size_t(n) + 2, 1);
    const struct {
        std::string path;
        int length, offset, rc;
    } cases[] = {
        {foreign, 100, 0, 0}, // no settings namespace
        {bare, n, 0, -5},     // no method element
        {bare, n, 1, 0},      // past the end of the file
        {bare, -1, 0, 0},
        {bare, 4, -1, 0},
        {dir.file("missing"), 4, 0, -1},
        {dir.file("empty"), 0, 0, -1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(extract_xmp(c.path.c_str(), c.length, c.offset, buf.data()), c.rc)
            << c.path << " " << c.length << " " << c.offset;
    EXPECT_EQ(extract_xmp(bare.c_str(), n, 0, nullptr), -3);
}

TEST(InsertXmp, DescriptionGoesBetweenTheLineFeedsAfterTheRdfTag)
{
    const std::string lensPacket = xmp_packet(0, nullptr, "50 mm f/1.8");
    const std::string wrapper = xmp_packet(0, nullptr);
    const std::string dq = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n<rdf:RDF xmlns:rdf=\"" +
                           std::string(metadata::kRdfNamespace) + "\">";
    const size_t tagEnd = wrapper.find("'>\n\n") + 2; // just after the rdf:RDF tag's '>'
    ASSERT_EQ(wrapper.compare(tagEnd - 2, 2, "'>"), 0);
    const struct {
        const char *what;
        std::string packet;
        size_t at;
    } cases[] = {
        {"own layout with a lens", lensPacket, tagEnd + 1},
        {"the bare wrapper", wrapper, tagEnd + 1},
        {"double quotes, no line feed", dq + "abcdef", dq.size()},
        {"one line feed", dq + "\nabcdef", dq.size()},
        {"three line feeds", dq + "\n\n\nabc", dq.size() + 2},
    };
    for (int method : {1, 2, 10, 11}) {
        const std::string description = xmp_packet(method + 200, defaults(method));
        EXPECT_EQ(insert_xmp(0, method, defaults(method), 0, 0, nullptr), int(description.size()));
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(c.what) + " " + std::to_string(method));
            auto [rc, out] = inserted(c.packet, method);
            EXPECT_EQ(rc, int(description.size()));
            EXPECT_EQ(out, c.packet.substr(0, c.at) + description + c.packet.substr(c.at));
            float back[kTmParamCount] = {};
            const std::string z = out + '\0';
            EXPECT_GT(get_settings_from_xmp(method, int(z.size()), z.data(), nullptr, back), 0);
        }
    }
    // The lens description is still read, after the inserted one.
    const std::string z = inserted(lensPacket, 2).second + '\0';
    char lens[64] = {};
    get_settings_from_xmp(100, int(z.size()), z.data(), lens, nullptr);
    EXPECT_STREQ(lens, "50 mm f/1.8");
}

TEST(InsertXmp, RefusalsLeaveThePacketAsItWas)
{
    const std::string packet = xmp_packet(0, nullptr, "Lens");
    const std::string rdfOnly = packet.substr(packet.find("<rdf:RDF"));
    const std::string noRdf = packet.substr(0, packet.find("<rdf:RDF"));
    const std::string tight = packet.substr(0, packet.find("'>\n\n") + 2) + "\na";
    const struct {
        const char *what;
        std::string packet;
        int method, lengthError, rc;
    } cases[] = {
        {"one byte short", packet, 2, -1, -3},
        {"one byte long", packet, 2, 1, -3},
        {"no x:xmpmeta", rdfOnly, 2, 0, -int(rdfOnly.size())},
        {"too short for x:xmpmeta", "<x:xmp", 2, 0, -34},
        {"no rdf:RDF", noRdf, 2, 0, -99},
        {"fewer than 3 bytes after the insertion point", tight, 2, 0, -1},
        {"method 0: no description", packet, 0, 0, 0},
    };
    for (const auto &c : cases) {
        std::string buf = c.packet + std::string(4096, '#');
        const int n = insert_xmp(0, c.method, defaults(std::max(c.method, 1)), 0, 0, nullptr);
        EXPECT_EQ(insert_xmp(1, c.method, defaults(std::max(c.method, 1)), int(c.packet.size()),
                             n + c.lengthError, buf.data()),
                  c.rc)
            << c.what;
        EXPECT_EQ(buf, c.packet + std::string(4096, '#')) << c.what;
    }
    char one[8] = "x";
    EXPECT_EQ(insert_xmp(1, 2, defaults(2), -1, 0, one), -3);
    EXPECT_EQ(insert_xmp(1, 2, nullptr, 1, 0, one), -3);
    EXPECT_EQ(insert_xmp(1, INT_MAX, defaults(2), 1, 0, one), -3);
}

TEST(InsertXmp, ExiftoolReadsPacketsBeforeAndAfter)
{
    TempDir dir;
    const std::string made = dir.file("made.xmp"), grown = dir.file("grown.xmp");
    if (!exiftool("-o " + made + " -XMP-dc:Title=Zenit -XMP-aux:Lens=Prime"))
        GTEST_SKIP() << "exiftool not found";
    const Bytes original = testsupport::read_file(made);
    ASSERT_FALSE(original.empty());
    // A foreign packet (exiftool's layout, with a title) and the program's own.
    for (bool foreign : {true, false}) {
        const std::string packet = foreign ? std::string(original.begin(), original.end())
                                           : xmp_packet(0, nullptr, "Prime");
        auto [rc, out] = inserted(packet, 1);
        ASSERT_GT(rc, 0);
        testsupport::write_file(grown, bytes_of(out));
        const std::string tags =
            *exiftool("-s3 -XMP-dc:Title -XMP-aux:Lens -XMP-kvtm:Method -XMP-kvtm:Gamma " + grown);
        EXPECT_EQ(tags, std::string(foreign ? "Zenit\n" : "") + "Prime\nDeredid Edazozed\n1.0\n");
        EXPECT_EQ(*exiftool("-validate -warning -s3 " + grown), "OK\n");
    }
}
