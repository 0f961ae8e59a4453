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

const Bytes kVersion = {0x1C, 0x02, 0x00, 0x00, 0x02, 0x00, 0x04};         // 2:00, 4
const Bytes kKeyK = {0x1C, 0x02, 0x19, 0x00, 0x01, 'k'};                   // 2:25
const Bytes kCaption = {0x1C, 0x02, 0x78, 0x00, 0x04, 't', 'e', 'x', 't'}; // 2:120
const Bytes kEnvelope = {0x1C, 0x01, 0x5A, 0x00, 0x03, 0x1B, 0x25, 0x47};  // 1:90

// add_iptc_keyword into an output of exactly the promised size.
std::pair<int, Bytes> with_keyword(const Bytes &block, const std::string &keyword)
{
    Bytes out(block.size() + keyword.size() + (block.empty() ? 12 : 5));
    return {add_iptc_keyword(int(block.size()), block.data(), int(keyword.size()),
                             reinterpret_cast<const uint8_t *>(keyword.data()), out.data()),
            out};
}

float *defaults(int method)
{
    static float p[kTmParamCount];
    tmparam_default(method, 0, p);
    return p;
}

// An image by the JPEG or TIFF writer with an exposure, an IPTC block and method 2's packet.
std::string write_image(const TempDir &dir, bool tiff, const Bytes &iptc)
{
    const int32_t info[kSaveInfoCount] = {8, 6, 3, 8, 72, 72, 0, 0, 0, 0, 1};
    const Bytes px(8 * 6 * 3, 90);
    Records r; // the exposure puts the EXIF segment first in the JPEG
    r.exif[kExifExposureNum] = 1;
    r.exif[kExifExposureDen] = 250;
    const std::string path = dir.file(tiff ? "image.tif" : "image.jpg");
    const int n = int(iptc.size());
    EXPECT_EQ(tiff ? buf2tif(px.data(), info, 24, nullptr, r.exif, r.gps, n, iptc.data(), 2,
                             defaults(2), 0, nullptr, path.c_str())
                   : KVwritejpg(path.c_str(), 90, info, 24, nullptr, r.exif, r.gps, n, iptc.data(),
                                2, defaults(2), px.data()),
              6);
    return path;
}

// insert_xmp of method into packet, measured first; the result and the packet after it. The
// buffer has the room measured and 8 bytes more; none past the packet may change.
std::pair<int, std::string> inserted(const std::string &packet, int method, int lengthError = 0)
{
    const int n = insert_xmp(0, method, defaults(method), 0, 0, nullptr);
    std::string buf = packet + std::string(size_t(n) + 8, '#');
    const int rc =
        insert_xmp(1, method, defaults(method), int(packet.size()), n + lengthError, buf.data());
    const size_t grown = packet.size() + size_t(rc > 0 ? rc : 0);
    EXPECT_EQ(buf.substr(grown), std::string(buf.size() - grown, '#')) << "bytes past the packet";
    return {rc, buf.substr(0, grown)};
}

} // namespace

TEST(AddIptcKeyword, EmptyBlockTheDatasetItFollowsAndRefusals)
{
    EXPECT_EQ(with_keyword({}, "abc"),
              std::pair(7, concat({kVersion, {0x1C, 0x02, 0x19, 0x00, 0x03, 'a', 'b', 'c'}})));
    const struct {
        Bytes block;
        int at;
    } cases[] = {
        {concat({kVersion, kKeyK, kCaption}), 13},        // after 2:25, before 2:120
        {concat({kVersion, kKeyK, kKeyK, kCaption}), 19}, // after the last keyword
        {concat({kEnvelope, kVersion, kCaption}), 24},    // after the last record-2 dataset
        {concat({kKeyK, kCaption}), 15},                  // a keyword at 0 does not count
        {concat({kKeyK, kEnvelope}), 6},                  // after the first dataset
        // A caption whose text looks like a keyword's head; one of the extended length form.
        {concat({kVersion, {0x1C, 0x02, 0x78, 0x00, 0x07, 0x1C, 0x02, 0x19, 0x00, 0x00, 'x', 'y'}}),
         19},
        {concat({kVersion, {0x1C, 0x02, 0x78, 0x80, 0x02, 0x00, 0x03, 'a', 'b', 'c'}}), 17},
    };
    const Bytes added = {0x1C, 0x02, 0x19, 0x00, 0x03, 'n', 'e', 'w'};
    for (const auto &c : cases) {
        const auto split = c.block.begin() + c.at;
        EXPECT_EQ(with_keyword(c.block, "new"),
                  std::pair(c.at, concat({Bytes(c.block.begin(), split), added,
                                          Bytes(split, c.block.end())})));
    }
    // The longest keyword a dataset length can say, one byte more; a block shorter than its
    // anchor's dataset says; negative lengths.
    EXPECT_EQ(with_keyword(kVersion, std::string(65535, 'x')).second[10], 0xFF);
    EXPECT_EQ(with_keyword(kVersion, std::string(65536, 'x')).first, -1);
    EXPECT_EQ(with_keyword(Bytes(kKeyK.begin(), kKeyK.end() - 1), "x").first, -1);
    uint8_t out[32];
    EXPECT_EQ(add_iptc_keyword(-1, kVersion.data(), 1, out, out), -1);
    EXPECT_EQ(add_iptc_keyword(7, kVersion.data(), -1, out, out), -1);
    EXPECT_EQ(add_iptc_keyword(7, kVersion.data(), 1, out, nullptr), -3);
}

TEST(AddIptcKeyword, BothWritersCarryTheKeywordsAndExtractXmpFindsTheirPacket)
{
    Bytes block = concat({kVersion, kKeyK, kCaption});
    for (const char *k : {"beta", "gamma"})
        block = with_keyword(block, k).second;
    TempDir dir;
    for (bool tiff : {false, true}) {
        const std::string path = write_image(dir, tiff, block);
        ExifInfo info;
        ASSERT_EQ(getExifData(path.c_str(), tiff ? 0 : 1, &info), 1);
        Bytes back(size_t(info.iptcLength) + 1, 0);
        read_iptc(path.c_str(), info.iptcLength, info.iptcOffset, back.data());
        back.resize(block.size()); // a TIFF pads the block to whole LONGs
        EXPECT_EQ(back, block);
        // A JPEG's recorded packet length counts its segment's length field and signature.
        const int len = info.xmpLength - (tiff ? 0 : 31);
        std::vector<char> buf(size_t(len) + 1, 1);
        EXPECT_EQ(extract_xmp(path.c_str(), len, info.xmpOffset, buf.data()), 2) << tiff;
        const auto out = exiftool("-s3 -sep , -IPTC:Keywords -IPTC:Caption-Abstract " + path);
        EXPECT_TRUE(!out || *out == "k,beta,gamma\ntext\n") << *out;
    }
}

TEST(WriteXmp, PresetFilesThatTheReadersAndExiftoolTake)
{
    TempDir dir;
    const std::string path = dir.file("preset.xmp");
    for (int method : {1, 2, 10, 11}) {
        ASSERT_EQ(write_xmp(path.c_str(), method, defaults(method)), 1);
        EXPECT_EQ(testsupport::read_file(path), bytes_of(xmp_packet(method, defaults(method))));
        float back[kTmParamCount] = {};
        EXPECT_GT(parse_xmp(path.c_str(), method, back), 0);
        const auto out = exiftool("-s3 -XMP-kvtm:Method -XMP-kvtm:Version " + path);
        EXPECT_TRUE(!out || *out == std::string(metadata::settings_method_name(method)) + "\n4.0\n")
            << *out;
    }
    const std::string none = dir.file("none.xmp");
    EXPECT_EQ(write_xmp(none.c_str(), 3, defaults(1)), -2);
    EXPECT_EQ(write_xmp(none.c_str(), 1, nullptr), -3);
    EXPECT_FALSE(std::filesystem::exists(none));
    EXPECT_EQ(write_xmp(dir.file("no/folder.xmp").c_str(), 2, defaults(2)), -1);
    EXPECT_EQ(write_xmp("/dev/full", 2, defaults(2)), -3);
}

TEST(ExtractXmp, WholeFilePacketsAndRefusals)
{
    TempDir dir;
    // A packet that is the whole file (it ends at its last byte), one without a method, one
    // without the program's namespace; outside the file; no file, an empty one.
    const std::string preset = dir.file("a.xmp"), bare = dir.file("b.xmp"), lens = dir.file("c");
    write_xmp(preset.c_str(), 10, defaults(10));
    testsupport::write_file(bare, bytes_of(xmp_packet(5, nullptr)));
    testsupport::write_file(lens, bytes_of(xmp_packet(0, nullptr, "Lens")));
    testsupport::write_file(dir.file("empty"), {});
    const int p = int(std::filesystem::file_size(preset)), b = int(xmp_packet(5, nullptr).size());
    std::vector<char> buf(size_t(p + b) + 2);
    for (auto [path, length, offset, rc] : {std::tuple{preset, p, 0, 10},
                                            {bare, b, 0, -5},
                                            {lens, 100, 0, 0},
                                            {bare, b, 1, 0},
                                            {bare, -1, 0, 0},
                                            {bare, 4, -1, 0},
                                            {dir.file("none"), 4, 0, -1},
                                            {dir.file("empty"), 0, 0, -1}})
        EXPECT_EQ(extract_xmp(path.c_str(), length, offset, buf.data()), rc) << path << length;
    EXPECT_EQ(extract_xmp(bare.c_str(), b, 0, nullptr), -3);
}

TEST(InsertXmp, DescriptionGoesBetweenTheLineFeedsAfterTheRdfTag)
{
    const std::string lensPacket = xmp_packet(0, nullptr, "50 mm f/1.8"),
                      bare = xmp_packet(0, nullptr);
    const size_t tagEnd = bare.find("'>\n\n") + 2; // just after the rdf:RDF tag
    const std::string dq = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n<rdf:RDF xmlns:rdf=\"" +
                           std::string(metadata::kRdfNamespace) + "\">";
    for (int method : {1, 2, 10, 11}) {
        const std::string description = xmp_packet(method + 200, defaults(method));
        for (auto [packet, at] : {std::pair{lensPacket, tagEnd + 1},
                                  {bare, tagEnd + 1},
                                  {dq + "abcdef", dq.size()},
                                  {dq + "\nabcdef", dq.size()},
                                  {dq + "\n\n\nabc", dq.size() + 2}}) {
            auto [rc, out] = inserted(packet, method);
            EXPECT_EQ(std::pair(rc, out),
                      std::pair(int(description.size()),
                                packet.substr(0, at) + description + packet.substr(at)))
                << method << " " << packet;
            const std::string z = out + '\0';
            float back[kTmParamCount] = {};
            EXPECT_GT(get_settings_from_xmp(method, int(z.size()), z.data(), nullptr, back), 0);
        }
    }
    // Refusals leave the packet as it was: an inserted length one byte short or long, no
    // x:xmpmeta, a packet too short for it, no rdf:RDF (the search stops at 34 + 65), fewer than
    // 3 bytes after the insertion point; method 0 has no description.
    const std::string noX = lensPacket.substr(lensPacket.find("<rdf:RDF"));
    const std::string noRdf = lensPacket.substr(0, lensPacket.find("<rdf:RDF"));
    const std::string tight = bare.substr(0, tagEnd) + "\na";
    for (auto [packet, method, lengthError, rc] : {std::tuple{lensPacket, 2, -1, -3},
                                                   {lensPacket, 2, 1, -3},
                                                   {noX, 2, 0, -int(noX.size())},
                                                   {std::string("<x:xmp"), 2, 0, -34},
                                                   {noRdf, 2, 0, -99},
                                                   {tight, 2, 0, -1},
                                                   {lensPacket, 0, 0, 0}}) {
        EXPECT_EQ(inserted(packet, method, lengthError), std::pair(rc, packet)) << packet;
    }
    char one[8] = "x";
    EXPECT_EQ(insert_xmp(1, 2, defaults(2), -1, 0, one), -3);
    EXPECT_EQ(insert_xmp(1, 2, nullptr, 1, 0, one), -3);
}

TEST(InsertXmp, RdfTagsWithMoreAttributesAreFoundWhateverTheirOrder)
{
    // Photo editors declare further namespaces on the rdf:RDF tag, before or after the RDF one,
    // on lines of their own; an attribute value may hold ">". The description goes right after
    // the tag's ">", between the line feeds that follow it.
    const std::string ns = metadata::kRdfNamespace, iX = "xmlns:iX='http://ns.adobe.com/iX/1.0/'";
    const std::string head = "<x:xmpmeta xmlns:x='adobe:ns:meta/' x:xmptk='Editor 5.6'>\n";
    const std::string rest = "\n\n <rdf:Description rdf:about=''/>\n</rdf:RDF>\n</x:xmpmeta>";
    const std::string description = xmp_packet(201, defaults(1));
    for (const std::string &tag : {"<rdf:RDF xmlns:rdf=\"" + ns + "\" " + iX + ">",
                                   "<rdf:RDF " + iX + " xmlns:rdf='" + ns + "'>",
                                   "<rdf:RDF\n    xmlns:rdf = '" + ns + "'\n    " + iX + "\n>",
                                   "<rdf:RDF a='x>y' xmlns:rdf='" + ns + "'>"}) {
        const std::string packet = head + tag + rest;
        const size_t at = head.size() + tag.size() + 1;
        EXPECT_EQ(inserted(packet, 1),
                  std::pair(int(description.size()),
                            packet.substr(0, at) + description + packet.substr(at)))
            << tag;
    }
    // Not the tag: another namespace name, a longer element name, a self-closing or unfinished
    // tag, an attribute without a value. The search ends at the packet's end.
    for (const std::string &tag :
         {std::string("<rdf:RDF xmlns:rdf='http://example.com/rdf#'>"),
          "<rdf:RDFS xmlns:rdf='" + ns + "'>", "<rdf:RDF xmlns:rdf='" + ns + "'/>",
          "<rdf:RDF xmlns:rdf='" + ns, "<rdf:RDF checked xmlns:rdf='" + ns + "'>"}) {
        const std::string packet = head + tag + (tag.back() == '>' ? rest : "");
        EXPECT_EQ(inserted(packet, 1), std::pair(-int(packet.size()), packet)) << tag;
    }
}

TEST(InsertXmp, ExiftoolReadsForeignAndOwnPacketsAfterIt)
{
    TempDir dir;
    const std::string made = dir.file("made.xmp"), grown = dir.file("grown.xmp");
    if (!exiftool("-o " + made + " -XMP-dc:Title=Zenit -XMP-aux:Lens=Prime"))
        GTEST_SKIP() << "exiftool not found";
    const Bytes foreign = testsupport::read_file(made);
    ASSERT_FALSE(foreign.empty());
    // exiftool's own packet, the same with further namespaces on its rdf:RDF tag, and ours.
    std::string editor(foreign.begin(), foreign.end());
    const std::string rdfTag = "<rdf:RDF xmlns:rdf='" + std::string(metadata::kRdfNamespace) + "'>";
    ASSERT_NE(editor.find(rdfTag), std::string::npos);
    editor.replace(editor.find(rdfTag), rdfTag.size(),
                   "<rdf:RDF xmlns:rdf=\"" + std::string(metadata::kRdfNamespace) +
                       "\"\n  xmlns:iX=\"http://ns.adobe.com/iX/1.0/\">");
    for (const std::string &packet :
         {std::string(foreign.begin(), foreign.end()), editor, xmp_packet(0, nullptr, "Prime")}) {
        auto [rc, out] = inserted(packet, 1);
        ASSERT_GT(rc, 0);
        testsupport::write_file(grown, bytes_of(out));
        const bool isForeign = packet.find("Zenit") != std::string::npos;
        EXPECT_EQ(
            *exiftool("-s3 -XMP-dc:Title -XMP-aux:Lens -XMP-kvtm:Method -XMP-kvtm:Gamma " + grown),
            std::string(isForeign ? "Zenit\n" : "") + "Prime\nDeredid Edazozed\n1.0\n");
        EXPECT_EQ(*exiftool("-validate -warning -s3 " + grown), "OK\n");
    }
}
