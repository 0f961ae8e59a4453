// The driver's road over hostile and odd photos: headers that promise more than the file or the
// machine holds, an IPTC block found through the EXIF directory, a lens name full of markup, and
// a flat scene.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "app/road.h"
#include "imagecore/banded.h"
#include "imagecore/records.h"
#include "metadata/exif_reader.h"
#include "metadata/xmp_settings.h"
#include "platform/bitmap.h"
#include "tests/metadata/exif_test_util.h"
#include "tests/support/bracket_generator.h"
#include "tests/support/child_process.h"
#include "tests/support/fixtures.h"
#include "tests/support/image_compare.h"
#include "tests/support/jpeg_streams.h"
#include "tests/support/noise.h"
#include "tonemap/tm_params.h"

using namespace testsupport;

namespace {

Bytes bytes_of(const std::string &s)
{
    return Bytes(s.begin(), s.end());
}

// A TIFF header of w x h RGB pixels at 8 bits and nothing else.
Bytes tiff_header(uint32_t w, uint32_t h)
{
    TiffBuilder t;
    const size_t ifd = t.add_ifd();
    t.add_longs(ifd, 256, {w});
    t.add_longs(ifd, 257, {h});
    t.add_shorts(ifd, 258, {8});
    t.add_shorts(ifd, 277, {3});
    return t.build();
}

// A deflate-compressed RGB TIFF of w x h at 8 bits whose one strip holds the fewest bytes that
// could expand to its pixels, deflate expanding 1032 times at the most (zeros: nothing decodes
// it here).
Bytes tiff_backed(uint32_t w, uint32_t h)
{
    TiffBuilder t;
    const size_t ifd = t.add_ifd();
    const uint64_t raw = uint64_t(w) * h * 3;
    const uint32_t strip = t.add_blob(Bytes(size_t(raw / 1032 + 1), 0));
    t.add_longs(ifd, 256, {w});
    t.add_longs(ifd, 257, {h});
    t.add_shorts(ifd, 258, {8, 8, 8});
    t.add_shorts(ifd, 259, {8});
    t.add_shorts(ifd, 262, {2});
    t.add_longs(ifd, 273, {strip});
    t.add_shorts(ifd, 277, {3});
    t.add_longs(ifd, 278, {h});
    t.add_longs(ifd, 279, {uint32_t(raw / 1032 + 1)});
    return t.build();
}

// A real 16 x 8 JPEG whose frame header is changed to claim w x h.
Bytes jpeg_claiming(uint16_t w, uint16_t h)
{
    std::vector<uint8_t> px(16 * 8 * 3, 90);
    Bytes j = encode_jpeg(px.data(), 16, 8, 3, 90);
    const uint8_t sof[] = {0xFF, 0xC0};
    auto at = std::search(j.begin(), j.end(), std::begin(sof), std::end(sof)) - j.begin();
    j[size_t(at) + 5] = uint8_t(h >> 8);
    j[size_t(at) + 6] = uint8_t(h);
    j[size_t(at) + 7] = uint8_t(w >> 8);
    j[size_t(at) + 8] = uint8_t(w);
    return j;
}

// An EXIF structure with exposure 1/100 s, f/8, ISO 100; extra blobs and IFD0 entries by f.
template <class F> Bytes exif_with(F extra)
{
    TiffBuilder t;
    const size_t ifd0 = t.add_ifd(), exif = t.add_ifd(false);
    extra(t, ifd0);
    t.add_ifd_pointer(ifd0, 34665, exif);
    t.add_rationals(exif, 33434, {{1, 100}});
    t.add_rationals(exif, 33437, {{8, 1}});
    t.add_shorts(exif, 34855, {100});
    t.sort_entries(ifd0);
    return t.build();
}

// An IPTC record: the caption (2:120) holding text.
Bytes iptc_caption(const std::string &text)
{
    return bytes_of(std::string("\x1C\x02\x78\x00", 4) + char(text.size()) + text);
}

using Child = ChildRun;

// The driver in a child process, stopped with kill after killAfter when kill is not 0.
Child run_zenit(const std::vector<std::string> &args, int kill = 0,
                std::chrono::milliseconds killAfter = {},
                std::chrono::milliseconds limit = std::chrono::seconds(60))
{
    return run_child(ZENIT_BINARY, args, ChildStop{kill, killAfter, limit});
}

// Three 96 x 64 JPEGs of the generated scene, a stop apart, named a.jpg, b.jpg, c.jpg in dir.
std::vector<std::string> small_bracket(const TempDir &dir, int w = 96, int h = 64)
{
    const RadianceMap scene = make_radiance_map(w, h);
    std::vector<std::string> paths;
    for (int k = 0; k < 3; ++k) {
        const std::vector<uint8_t> px = render_photo(scene, 0.25f * float(1 << (2 * k)), 8, 3);
        paths.push_back(dir.file(std::string(1, char('a' + k)) + ".jpg"));
        EXPECT_TRUE(write_file(paths.back(), encode_jpeg(px.data(), w, h, 3, 92)));
    }
    return paths;
}

// The names in a folder that start with a dot: temporary files left behind.
std::vector<std::string> hidden_files(const std::string &dir)
{
    std::vector<std::string> left;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        if (e.path().filename().string()[0] == '.')
            left.push_back(e.path().filename().string());
    return left;
}

struct Batch {
    TempDir dir;
    app::Document doc;
    std::vector<std::string> paths;
    // Writes each file under its name and runs the batch checks and probes.
    app::RoadError probe(const std::vector<std::pair<std::string, Bytes>> &files)
    {
        paths.clear();
        for (const auto &[name, bytes] : files) {
            paths.push_back(dir.file(name));
            EXPECT_TRUE(write_file(paths.back(), bytes));
        }
        return app::check_and_probe(paths, &doc);
    }
};

} // namespace

// Headers that promise more than the file or any machine holds are bad input (exit 3) that names
// the photo, refused before the pixels are allocated.
TEST(RoadHostileHeaders, ImpossibleAndUnbackedSizesAreBadInputBeforeAllocation)
{
    const struct {
        const char *name;
        Bytes file;
        const char *says;
    } cases[] = {
        {"flat.psd", make_psd_header(1, 30000, 16), "truncated"},
        {"packed.psd", make_psd_header(1, 30000, 8, 1), "compressed pixel data passes the end"},
        {"wide.psd", make_psd_header(1, 46000, 8), "more than its Photoshop version allows"},
        {"large.psd", make_psd_header(2, 36000, 8), "large-document"},
        {"future.psd", make_psd_header(3, 100, 8), "known version"},
        {"huge.tif", tiff_header(100000, 100000), "100000 x 100000 pixels, more than"},
        {"edge.tif", tiff_header(46341, 46341), "46341 x 46341 pixels, more than"},
        {"huge.jpg", jpeg_claiming(65500, 65500), "65500 x 65500 pixels, more than"},
    };
    for (const auto &c : cases) {
        Batch run;
        const app::RoadError e = run.probe({{c.name, c.file}});
        EXPECT_EQ(e.code, app::kExitBadInput) << c.name << ": " << e.message;
        EXPECT_NE(e.message.find(c.name), std::string::npos) << e.message;
        EXPECT_NE(e.message.find(c.says), std::string::npos) << e.message;
        EXPECT_FALSE(run.doc.stack);
    }
    // One pixel fewer than an int holds on a side's square: a size the processing takes, from a
    // file that can hold it.
    Batch edge;
    EXPECT_FALSE(edge.probe({{"edge.tif", tiff_backed(46340, 46340)}})) << "46340 x 46340";
}

// The job's memory is weighed against the machine's before anything is allocated: one byte
// short fails (exit 4, saying how much is needed), the exact need runs. It holds at least the
// stack, the HDR image and the 16-bit result.
TEST(RoadMemory, TheJobsNeedIsComparedWithTheMemoryBeforeAllocating)
{
    Batch big;
    ASSERT_FALSE(big.probe({{"big.tif", tiff_backed(46340, 46340)}}));
    const uint64_t pixels = uint64_t(46340) * 46340;
    const uint64_t bigNeed = app::job_memory(big.doc, {}).value_or(0);
    EXPECT_GT(bigNeed, pixels * (3 + 4 + 6));
    app::RoadError e = app::decode_stack(&big.doc, uint64_t(1) << 30);
    EXPECT_EQ(e.code, app::kExitFailed);
    char said[64];
    std::snprintf(said, sizeof said, " need %.1f GB, this machine has 1.0 GB",
                  double(bigNeed) / double(uint64_t(1) << 30));
    EXPECT_NE(e.message.find(std::string("1 photo of 46340 x 46340") + said), std::string::npos)
        << e.message;
    EXPECT_FALSE(big.doc.stack);

    Batch small;
    std::vector<uint8_t> a(8 * 6 * 3), b(8 * 6 * 3);
    for (size_t i = 0; i < a.size(); ++i) {
        a[i] = uint8_t(i);
        b[i] = uint8_t(255 - i);
    }
    TempDir files;
    ASSERT_TRUE(write_libtiff(files.file("a.tif"), a.data(), 8, 6, 3));
    ASSERT_TRUE(write_libtiff(files.file("b.tif"), b.data(), 8, 6, 3));
    ASSERT_FALSE(small.probe(
        {{"a.tif", read_file(files.file("a.tif"))}, {"b.tif", read_file(files.file("b.tif"))}}));
    const uint64_t need = app::job_memory(small.doc, {}).value_or(0);
    EXPECT_GT(need, 8 * 6 * (3 * 2 + 4 + 6));
    EXPECT_EQ(app::decode_stack(&small.doc, need - 1).code, app::kExitFailed);
    ASSERT_FALSE(app::decode_stack(&small.doc, need));
    Bytes both = a;
    both.insert(both.end(), b.begin(), b.end());
    EXPECT_EQ(Bytes(small.doc.stack->bytes(), small.doc.stack->bytes() + both.size()), both);
}

// A JPEG that keeps its IPTC tag in IFD0 (an offset from the TIFF header) and its lens name, full
// of markup, in an XMP packet: the result carries the right block and a well-formed packet that
// gives the name back. The block read as a file position would be the decoy. The tag counts far
// past the block, into the scan: only the whole record is carried, and exiftool reads the
// results' IPTC without a warning.
TEST(RoadMetadata, IptcFromTheExifDirectoryAndAHostileLensReachTheResult)
{
    const Bytes right = iptc_caption("RIGHT"), wrong = iptc_caption("WRONG");
    uint32_t rightAt = 0;
    const Bytes tiff = exif_with([&](TiffBuilder &t, size_t ifd0) {
        Bytes decoy = wrong;
        decoy.resize(12, 0); // the TIFF header sits 12 bytes into the file: see below
        t.add_blob(decoy);
        rightAt = t.add_blob(right);
        t.add_entry_at(ifd0, 33723, kTiffUndefined, 0x1000, rightAt);
    });
    const std::string lens = "Zoom <18-55> & ]]> \"Pro\"";
    std::string packet = "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF><rdf:Description "
                         "xmlns:aux='http://ns.adobe.com/exif/1.0/aux/'><aux:Lens>Zoom "
                         "&lt;18-55&gt; &amp; ]]&gt; &quot;Pro&quot;</aux:Lens>"
                         "</rdf:Description></rdf:RDF></x:xmpmeta>";
    Bytes xmp = bytes_of(metadata::kXmpApp1Signature);
    xmp.push_back(0);
    xmp.insert(xmp.end(), packet.begin(), packet.end());
    std::vector<uint8_t> px(24 * 16 * 3);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = uint8_t(40 + i % 150);
    JpegOptions noJfif;
    noJfif.jfif = false;
    const Bytes photo = encode_jpeg(px.data(), 24, 16, 3, 95,
                                    {make_exif_app1(tiff), make_segment(0xE1, xmp)}, noJfif);
    const Bytes exifHead = bytes_of(std::string("Exif\0\0", 6));
    ASSERT_EQ(std::search(photo.begin(), photo.end(), exifHead.begin(), exifHead.end()) -
                  photo.begin() + 6,
              12) // SOI and the APP1 head: the decoy lies at file position rightAt
        << "the decoy no longer sits where a file-position reading would look";
    ASSERT_EQ(Bytes(photo.begin() + rightAt, photo.begin() + rightAt + 10),
              Bytes(wrong.begin(), wrong.end()));

    Batch run;
    ASSERT_FALSE(run.probe({{"caption.jpg", photo}}));
    ASSERT_TRUE(run.doc.iptc);
    EXPECT_EQ(Bytes(run.doc.iptc->bytes(), run.doc.iptc->bytes() + run.doc.iptc->length()), right);
    ASSERT_FALSE(app::decode_stack(&run.doc));
    float p[kTmParamCount];
    tmparam_default(kMethodRodo, 0, p);
    platform::DataPtr result;
    ASSERT_FALSE(app::process(run.doc, kMethodRodo, p, 1, false, nullptr, &result));
    for (auto format : {app::OutputFormat::Jpeg, app::OutputFormat::Tiff}) {
        const bool jpeg = format == app::OutputFormat::Jpeg;
        const std::string out = run.dir.file(jpeg ? "out.jpg" : "out.tif");
        ASSERT_FALSE(app::save_result(run.doc, result, kMethodRodo, p, format, 90, out));
        ExifInfo info;
        ASSERT_EQ(getExifData(out.c_str(), jpeg ? 1 : 0, &info), 1);
        // The whole record, without the zeros that pad it to 4-byte units in the TIFF.
        ASSERT_EQ(info.iptcLength, 10);
        std::vector<uint8_t> block(size_t(info.iptcLength) + 1, 0);
        EXPECT_EQ(
            read_iptc(out.c_str(), info.iptcLength, info.iptcBase + info.iptcOffset, block.data()),
            info.iptcLength)
            << out;
        Bytes padded = right;
        padded.resize(size_t(info.iptcLength) + 1, 0);
        EXPECT_EQ(block, padded) << out;
        if (const auto said = exiftest::exiftool("-a -G1 -s -warning -IPTC:all " + out)) {
            EXPECT_EQ(*said, "[IPTC]          Caption-Abstract                : RIGHT\n") << out;
        }
        // The packet in the file: the name as XML text, and read back whole.
        const Bytes file = read_file(out);
        const std::string text(file.begin(), file.end());
        EXPECT_NE(text.find("<aux:Lens>Zoom &lt;18-55&gt; &amp; ]]&gt; &quot;Pro&quot;</aux:Lens>"),
                  std::string::npos)
            << out;
        if (jpeg) {
            EXPECT_EQ(std::string(info.lens), lens);
        }
    }
}

// Three identical flat grey photos with EXIF exposures are a photograph of a flat scene: the
// result is one grey, the same whatever the photos' grey. The global operator gives its value at
// its key, k / (k + k^0.3) of white; the local operator the tone of a normal scene's mid-grey
// areas (tests/tonemap ties it to them), middling, never white.
TEST(RoadFlatScene, ThreeIdenticalFlatJpegsGiveOneGrey)
{
    const Bytes tiff = exif_with([](TiffBuilder &, size_t) {});
    for (int method : {kMethodRodo, kMethodDeredid}) {
        double first = -1;
        for (int grey : {40, 128, 200}) {
            std::vector<uint8_t> px(16 * 16 * 3, uint8_t(grey));
            const Bytes photo = encode_jpeg(px.data(), 16, 16, 3, 90, {make_exif_app1(tiff)});
            Batch run;
            ASSERT_FALSE(run.probe({{"a.jpg", photo}, {"b.jpg", photo}, {"c.jpg", photo}}));
            ASSERT_FALSE(app::decode_stack(&run.doc));
            float p[kTmParamCount];
            tmparam_default(method, 0, p);
            platform::DataPtr result;
            const app::RoadError e = app::process(run.doc, method, p, 2, false, nullptr, &result);
            ASSERT_FALSE(e) << grey << ": " << e.message;
            const auto *v = reinterpret_cast<const uint16_t *>(result->bytes());
            const BufferStats s = buffer_stats(v, 16 * 16 * 3);
            if (method == kMethodRodo) {
                const double k = std::exp(-1.5), want = 65535 * k / (k + std::pow(k, 0.3));
                // The operator's luminance weights differ from the statistics' in the fourth
                // decimal.
                EXPECT_NEAR(s.min, want, 2.0) << grey;
                EXPECT_NEAR(s.max, want, 2.0) << grey;
                continue;
            }
            EXPECT_EQ(s.min, s.max) << grey;
            if (first < 0)
                first = s.min;
            EXPECT_EQ(s.min, first) << grey;
            EXPECT_GT(s.min, 0.35 * 65535) << grey;
            EXPECT_LT(s.max, 0.55 * 65535) << grey;
        }
    }
}

// Photos decode side by side, each into its own slot, also when no thread can start. When
// several are bad, the first in the given order is reported, however late its decoder finds out,
// and the stack is dropped (the sanitizer build sees any decode that leaks on the way out).
TEST(RoadDecode, ConcurrentPhotosFillTheirOwnSlotsAndTheFirstBadOneIsReported)
{
    const int w = 480, h = 320;
    const testsupport::RadianceMap scene = make_radiance_map(w, h);
    std::vector<std::pair<std::string, Bytes>> files;
    for (int k = 0; k < 5; ++k) {
        const std::vector<uint8_t> px =
            render_noisy_photo(scene, 0.0625f * float(1 << (2 * k)), 8, 3.0, uint64_t(k + 1));
        files.push_back(
            {std::string(1, char('a' + k)) + ".jpg", encode_jpeg(px.data(), w, h, 3, 92)});
    }
    Batch good;
    ASSERT_FALSE(good.probe(files));
    for (bool threadsStart : {true, false}) {
        if (!threadsStart)
            imagecore::set_thread_start_for_testing([](pthread_t *, const pthread_attr_t *,
                                                       void *(*)(void *),
                                                       void *) { return EAGAIN; });
        const app::RoadError e = app::decode_stack(&good.doc, 0, 8);
        imagecore::set_thread_start_for_testing(nullptr);
        ASSERT_FALSE(e) << e.message;
        for (size_t k = 0; k < files.size(); ++k) {
            const auto bmp = platform::BitmapImageRep::imageRepWithData(
                platform::Data::copy(files[k].second.data(), files[k].second.size()));
            ASSERT_TRUE(bmp);
            const uint8_t *slot = good.doc.stack->bytes() + k * size_t(w * h * 3);
            EXPECT_TRUE(std::equal(slot, slot + w * h * 3, bmp->bitmapData()))
                << files[k].first << (threadsStart ? "" : ", no thread started");
        }
    }

    // b.jpg fails late, its scan cut near the end; d.jpg early, cut 1000 bytes into its scan
    // (a bit for each block of its 2400 MCUs of three blocks is 900 bytes: too short a scan is
    // refused before decoding).
    files[1].second.resize(files[1].second.size() * 9 / 10);
    Bytes &d = files[3].second;
    const uint8_t sos[] = {0xFF, 0xDA};
    const size_t at =
        size_t(std::search(d.begin(), d.end(), std::begin(sos), std::end(sos)) - d.begin());
    d.resize(at + 2 + size_t(d[at + 2] << 8 | d[at + 3]) + 1000);
    Batch bad;
    ASSERT_FALSE(bad.probe(files));
    const app::RoadError e = app::decode_stack(&bad.doc, 0, 8);
    EXPECT_EQ(e.code, app::kExitBadInput);
    EXPECT_NE(e.message.find("b.jpg cannot be decoded"), std::string::npos) << e.message;
    EXPECT_FALSE(bad.doc.stack);
}

// Files under 1 KB that claim gigabytes, and every file under 1 KB of the corrupt corpus, through
// the driver in a child process: none takes 300 MB. The three TIFFs are those the bitmap
// reader's fuzz target found; the other fixtures are the truncated files of the next test.
TEST(RoadHostileFiles, NoFileUnderAKilobyteTakes300MegabytesThroughTheDriver)
{
    TempDir dir;
    std::vector<std::string> files;
    const std::pair<std::string, Bytes> fixtures[] = {
        {"samples.tif", make_strip_tiff(64255, 1, 65533, 8)},
        {"samples2.tif", make_strip_tiff(30000, 1, 65535, 8)},
        {"row.tif", make_strip_tiff(350000000, 1, 3, 8)},
        {"lzw.tif", make_strip_tiff(46000, 46000, 3, 16, 5)},
        {"header.tif", tiff_header(46000, 46000)},
        {"claim.jpg", jpeg_claiming(46000, 46000)},
        {"psd.psd", make_psd_header(1, 30000, 16)},
        {"psb.psd", make_psd_header(2, 36000, 8, 1)},
    };
    for (const auto &[name, bytes] : fixtures) {
        files.push_back(dir.file(name));
        ASSERT_LT(bytes.size(), 1024u) << name;
        ASSERT_TRUE(write_file(files.back(), bytes));
    }
    for (const auto &e : std::filesystem::recursive_directory_iterator(std::string(HDR_SOURCE_DIR) +
                                                                       "/tests/data/corrupt"))
        if (e.is_regular_file() && e.file_size() < 1024)
            files.push_back(e.path().string());
    ASSERT_GT(files.size(), 60u);
    for (const std::string &file : files) {
        const Child c = run_zenit({"--quiet", "-o", dir.file("out.jpg"), file});
        EXPECT_GE(c.status, 0) << file;
        EXPECT_LE(c.status, 4) << file << " ended by a signal: " << c.err;
        EXPECT_LT(c.peakBytes, uint64_t(300) << 20) << file;
    }
}

// A file too short for the pixels it declares is bad input, refused from its headers before the
// memory is weighed: whether it is refused does not depend on the machine.
TEST(RoadHostileFiles, TruncatedPhotosAreBadInputBeforeMemoryIsJudged)
{
    std::vector<uint8_t> px(64 * 48 * 3);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = uint8_t(i * 37 % 251);
    Bytes cut = encode_jpeg(px.data(), 64, 48, 3, 90);
    const uint8_t sos[] = {0xFF, 0xDA};
    const size_t at = size_t(std::search(cut.begin(), cut.end(), sos, sos + 2) - cut.begin());
    cut.resize(at + 2 + size_t(cut[at + 2] << 8 | cut[at + 3]) + 5); // 48 blocks, 40 bits
    const struct {
        const char *name;
        Bytes file;
        const char *says;
    } cases[] = {
        {"claim.jpg", jpeg_claiming(46000, 46000), "46000 x 46000 pixels it declares"},
        {"cut.jpg", cut, "is truncated"},
        {"header.tif", make_strip_tiff(46000, 46000, 3, 8), "46000 x 46000 pixels it declares"},
        {"lzw.tif", make_strip_tiff(46000, 46000, 3, 8, 5), "is truncated"},
        {"psd.psd", make_psd_header(1, 29000, 8), "is truncated"},
    };
    for (const auto &c : cases) {
        Batch run;
        const app::RoadError e = run.probe({{c.name, c.file}});
        EXPECT_EQ(e.code, app::kExitBadInput) << c.name << ": " << e.message;
        EXPECT_NE(e.message.find(std::string(c.name) + " is truncated"), std::string::npos)
            << e.message;
        EXPECT_NE(e.message.find(c.says), std::string::npos) << e.message;
    }
    // Limits are named for what passes them: the pixels, the row of the 16-bit result, the
    // decoded photo.
    const struct {
        const char *name;
        Bytes file;
        const char *says;
    } limits[] = {
        {"wide.tif", make_strip_tiff(700000000, 1, 3, 8),
         "700000000 x 1 pixels: a row of its 16-bit result takes 4200000000 bytes, more than the "
         "2147483647 a row may have"},
        {"many.tif", tiff_header(50000, 50000), "more than the 2147483647 pixels"},
        {"samples.tif", make_strip_tiff(64255, 1, 65533, 8),
         "has 65533 samples a pixel; grey and RGB photos with at most 2 extra samples"},
    };
    for (const auto &c : limits) {
        Batch run;
        const app::RoadError e = run.probe({{c.name, c.file}});
        EXPECT_EQ(e.code, app::kExitBadInput) << c.name;
        EXPECT_NE(e.message.find(c.says), std::string::npos) << e.message;
    }
}

// Files that declare far more than their bytes give, through the driver: bad input (exit 3)
// naming the photo, in little memory. JPEGs of a few hundred bytes arithmetic-coded or opening
// with an AC scan claiming 20000 x 20000, also padded with bytes no scan holds, JPEGs with a
// component no scan codes, a JPEG of a scan more than the cap, a 64 x 64 grey JPEG hiding an
// arithmetic-coded 40000 x 40000 colour frame behind FF 00 (what libjpeg reads is what is
// weighed), a progressive JPEG cut between scans, an arithmetic-coded one cut at half its data
// and closed by an end marker, TIFFs whose strips all point at the same bytes (145 MB of pixels
// from a 700-byte deflate blob, 600 MB from one uncompressed row of 60000 bytes), ZSTD past its
// bound, WebP, a JPEG TIFF whose strips are cut in half, and one whose strips' frames are not
// the strips its tags give.
TEST(RoadHostileFiles, UndercodedManyScanSharedAndCutPhotosAreBadInputInLittleMemory)
{
    auto shared = [](uint32_t w, uint32_t h, uint32_t strips, uint32_t bytes, uint16_t codec) {
        TiffBuilder t;
        const uint32_t at = t.add_blob(Bytes(bytes, 7));
        const size_t ifd = t.add_ifd();
        t.add_longs(ifd, 256, {w});
        t.add_longs(ifd, 257, {h});
        t.add_shorts(ifd, 258, {8, 8, 8});
        t.add_shorts(ifd, 259, {codec});
        t.add_shorts(ifd, 262, {2});
        t.add_longs(ifd, 273, std::vector<uint32_t>(strips, at));
        t.add_shorts(ifd, 277, {3});
        t.add_longs(ifd, 278, {h / strips});
        t.add_longs(ifd, 279, std::vector<uint32_t>(strips, bytes));
        return t.build();
    };
    std::vector<uint8_t> px(64 * 48 * 3);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = uint8_t(i * 37 % 251);
    const Bytes grey = encode_jpeg(px.data(), 16, 16, 1, 90);
    JpegOptions prog;
    prog.progressive = true;
    const Bytes flat = encode_jpeg(std::vector<uint8_t>(4096, 128).data(), 64, 64, 1, 90, {}, prog);
    auto bomb = [](const Bytes &j) { return jpeg_claiming_size(j, 20000, 20000); };
    auto half = [](Bytes s) { return Bytes(s.begin(), s.begin() + long(s.size() / 2)); };
    const Bytes arith = bomb(recode_jpeg(grey, true, false));
    const Bytes progressive = recode_jpeg(grey, false, true);
    const Bytes acFirst = bomb(jpeg_with_first_scan_last(progressive));
    // A scan for each component, of all bands (sequential) or the DC (progressive), the last
    // one dropped.
    const Bytes rgb = encode_jpeg(px.data(), 16, 16, 3, 90);
    auto without_cr = [&](int last) {
        std::vector<jpeg_scan_info> scans;
        for (int c : {0, 1, 2})
            scans.push_back({1, {c}, 0, last, 0, 0});
        return jpeg_without_scan(recode_jpeg(rgb, 0, 0, 0, scans), 2);
    };
    const Bytes hidden = jpeg_hiding(
        encode_jpeg(px.data(), 64, 64, 1, 90),
        jpeg_claiming_size(recode_jpeg(encode_jpeg(px.data(), 16, 16, 3, 90), 1, 0), 40000, 40000));
    const Bytes noisy = recode_jpeg(encode_jpeg(px.data(), 64, 48, 3, 90), false, true);
    const Bytes arithNoisy = recode_jpeg(noisy, true, false);
    const JpegSegment arithScan = jpeg_scans(arithNoisy)[0];
    const size_t arithHalf = (arithScan.begin + arithScan.end) / 2;
    auto taller = [](const Bytes &strip) { return jpeg_claiming_size(strip, 64, 17); };
    const struct {
        const char *name;
        Bytes file;
        const char *says;
    } cases[] = {
        {"hidden.jpg", hidden, "is truncated"},
        {"between.jpg", Bytes(noisy.begin(), noisy.begin() + long(jpeg_scans(noisy)[4].end)),
         "is truncated"},
        {"arithcut.jpg",
         spliced(arithNoisy, arithHalf, arithNoisy.size() - arithHalf, {0xFF, 0xD9}),
         "cannot be decoded"},
        {"frames.tif", jpeg_tiff(px.data(), 64, 48, taller), "cannot be decoded"},
        {"arith.jpg", arith, "is truncated"},
        {"acfirst.jpg", bomb(jpeg_without_scan(progressive, 0)), "is truncated"},
        {"arithcom.jpg", spliced(arith, arith.size() - 2, 0, make_segment(0xFE, Bytes(1600))),
         "is truncated"},
        {"acfirsttail.jpg", spliced(acFirst, acFirst.size(), 0, Bytes(60000)), "is truncated"},
        {"nocr.jpg", without_cr(63), "is truncated"},
        {"nocrdc.jpg", without_cr(0), "is truncated"},
        {"scans.jpg", jpeg_of_scans(flat, platform::kMaxJpegScans + 1), "has more than"},
        {"zstd.tif", make_strip_tiff(20000, 20000, 1, 8, 50000), "is truncated"},
        {"webp.tif", make_strip_tiff(20000, 20000, 3, 8, 50001), "cannot be decoded"},
        {"deflate.tif", shared(8000, 6048, 63, 700, 8), "is truncated"},
        {"row.tif", shared(20000, 10000, 10000, 60000, 1), "is truncated"},
        {"cut.tif", jpeg_tiff(px.data(), 64, 48, half), "cannot be decoded"},
    };
    TempDir dir;
    for (const auto &c : cases) {
        ASSERT_TRUE(write_file(dir.file(c.name), c.file));
        const Child r = run_zenit({"--quiet", "-o", dir.file("out.jpg"), dir.file(c.name)});
        EXPECT_EQ(r.status, 3) << c.name << ": " << r.err;
        EXPECT_NE(r.err.find(std::string(c.name) + " " + c.says), std::string::npos) << r.err;
        EXPECT_LT(r.peakBytes, uint64_t(100) << 20) << c.name;
    }
    // Three hidden frames in one run: refused from their headers, in a few megabytes (5.5 MB
    // measured; some 40 MB under the sanitizers).
    const Child three = run_zenit({"--quiet", "-o", dir.file("out.jpg"), dir.file("hidden.jpg"),
                                   dir.file("hidden.jpg"), dir.file("hidden.jpg")});
    EXPECT_EQ(three.status, 3) << three.err;
    EXPECT_LT(three.peakBytes, uint64_t(64) << 20);
}

// What is decoded is what was checked: a photo whose file is replaced between the checks and the
// decoding by one of another size (a small JPEG hiding a 40000 x 40000 frame; a TIFF) or layout
// (a 16-bit TIFF) is bad input told from its headers, before anything is sized from them.
TEST(RoadDecode, APhotoChangedAfterItsCheckIsToldFromItsHeaders)
{
    std::vector<uint8_t> px(64 * 48 * 3);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = uint8_t(i * 37 % 251);
    const Bytes jpeg = encode_jpeg(px.data(), 64, 48, 3, 90);
    const Bytes hidden = jpeg_hiding(
        jpeg,
        jpeg_claiming_size(recode_jpeg(encode_jpeg(px.data(), 16, 16, 3, 90), 1, 0), 40000, 40000));
    TempDir tiffs;
    ASSERT_TRUE(write_libtiff(tiffs.file("8.tif"), px.data(), 64, 48, 3));
    ASSERT_TRUE(write_libtiff(tiffs.file("w.tif"), px.data(), 48, 64, 3));
    LibTiffOptions sixteen;
    sixteen.bits = 16;
    const std::vector<uint8_t> wide(px.size() * 2, 90);
    ASSERT_TRUE(write_libtiff(tiffs.file("16.tif"), wide.data(), 64, 48, 3, sixteen));
    const Bytes tiff = read_file(tiffs.file("8.tif"));
    const struct {
        const char *name;
        Bytes checked, decoded;
        const char *says;
    } cases[] = {
        {"a.jpg", jpeg, hidden, "a.jpg now gives another size than when it was checked"},
        {"a.tif", tiff, read_file(tiffs.file("w.tif")), "now gives another size"},
        {"a.tif", tiff, read_file(tiffs.file("16.tif")), "now gives another layout"},
    };
    for (const auto &c : cases) {
        Batch run;
        ASSERT_FALSE(run.probe({{c.name, c.checked}, {std::string("b") + c.name, c.checked}}));
        ASSERT_TRUE(write_file(run.paths[0], c.decoded));
        const app::RoadError e = app::decode_stack(&run.doc, 0, 2);
        EXPECT_EQ(e.code, app::kExitBadInput) << c.says;
        EXPECT_NE(e.message.find(c.says), std::string::npos) << e.message;
        EXPECT_FALSE(run.doc.stack);
    }
}

// Damage found while decoding, judged alike in a JPEG and in a JPEG-compressed TIFF: bytes
// before the end marker of each strip of a JPEG TIFF, or no end marker, leave the strips exactly
// as clean, and so they leave a real hand-held photo with restart markers, while 512 bytes of a
// bad card sector in it are bad input (libjpeg resynchronises at the next marker and only warns).
TEST(RoadHostileFiles, DamageWhileDecodingIsBadInputBytesAfterTheLastRowAreNot)
{
    auto stack_of = [](const Bytes &file, const char *name) {
        Batch run;
        EXPECT_FALSE(run.probe({{name, file}})) << name;
        const app::RoadError e = app::decode_stack(&run.doc);
        EXPECT_FALSE(e) << name << ": " << e.message;
        const platform::DataPtr &s = run.doc.stack;
        return s ? Bytes(s->bytes(), s->bytes() + s->length()) : Bytes{};
    };
    auto before_end = [](const Bytes &j) { return spliced(j, j.size() - 2, 0, Bytes(300, 0x5A)); };
    auto no_end = [](const Bytes &j) { return spliced(j, j.size() - 2, 2); };
    const Bytes px = render_photo(make_radiance_map(96, 64), 1, 8, 3);
    for (bool ycbcr : {false, true}) {
        auto tiff = [&](auto edit) { return jpeg_tiff(px.data(), 96, 64, edit, ycbcr); };
        const Bytes strips = stack_of(tiff(nullptr), "clean.tif");
        ASSERT_FALSE(strips.empty());
        EXPECT_TRUE(stack_of(tiff(before_end), "extra.tif") == strips) << ycbcr;
        EXPECT_TRUE(stack_of(tiff(no_end), "noend.tif") == strips) << ycbcr;
    }

    const std::string source = std::string(HDR_TESTDATA_DIR) + "/iphone6_handheld/5.JPG";
    if (!std::filesystem::is_regular_file(source))
        GTEST_SKIP() << source << " not found";
    const Bytes photo = recode_jpeg(read_file(source), false, false, 1);
    const Bytes clean = libjpeg_pixels(photo);
    ASSERT_FALSE(clean.empty());
    EXPECT_TRUE(stack_of(before_end(photo), "extra.jpg") == clean);
    EXPECT_TRUE(stack_of(no_end(photo), "noend.jpg") == clean);
    // Arithmetic-coded without its end marker: whole (its decoder reads a few bytes of zeros
    // past the end of its data).
    const Bytes arith = recode_jpeg(photo, true, false);
    EXPECT_TRUE(stack_of(no_end(arith), "arith.jpg") == libjpeg_pixels(arith));
    // The 1600 x 1200 photo, progressive, cut after 2, 5 or 9 of its 10 scans: truncated.
    const Bytes progressive =
        recode_jpeg(read_file(std::string(HDR_TESTDATA_DIR) +
                              "/window_tripod_e995/HDRI_Sample_Scene_Window_-_06.jpg"),
                    false, true);
    for (size_t scans : {2, 5, 9}) {
        Batch run;
        const app::RoadError e =
            run.probe({{"cut.jpg", Bytes(progressive.begin(),
                                         progressive.begin() +
                                             long(jpeg_scans(progressive)[scans - 1].end))}});
        EXPECT_EQ(e.code, app::kExitBadInput) << scans;
        EXPECT_NE(e.message.find("cut.jpg is truncated"), std::string::npos) << e.message;
    }
    TempDir dir;
    ASSERT_TRUE(
        write_file(dir.file("sector.jpg"), spliced(photo, photo.size() / 2, 512, Bytes(512, 0))));
    const Child r = run_zenit({"--quiet", "-o", dir.file("out.jpg"), dir.file("sector.jpg")});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("sector.jpg cannot be decoded"), std::string::npos) << r.err;
}

// A named pipe, as a photo or as --settings, is refused at once (exit 3, naming it): nothing
// opens it in a way that waits for a writer.
TEST(RoadHostileFiles, APipeIsRefusedNotWaitedFor)
{
    TempDir dir;
    const std::vector<std::string> photos = small_bracket(dir);
    const std::string pipe = dir.file("pipe.jpg");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const std::vector<std::vector<std::string>> runs = {
        {"-o", dir.file("o.jpg"), photos[0], pipe},
        {"-o", dir.file("o.jpg"), "--settings", pipe, photos[0]},
    };
    for (const auto &args : runs) {
        const Child c = run_zenit(args, 0, {}, std::chrono::seconds(20));
        EXPECT_EQ(c.status, 3) << c.err;
        EXPECT_NE(c.err.find("pipe.jpg is not a regular file"), std::string::npos) << c.err;
    }
}

// Default names are taken when the result is complete, by a link that fails when the name
// exists: two drivers started together both save, under two names; past the last number the
// save fails and nothing is replaced. The options take -j3 and --threads=2 as written.
TEST(RoadOutput, DefaultNamesAreTakenExclusivelyAtSaveTime)
{
    TempDir dir;
    const std::vector<std::string> photos = small_bracket(dir);
    std::vector<std::string> a = {"-j3"}, b = {"--threads=2"};
    a.insert(a.end(), photos.begin(), photos.end());
    b.insert(b.end(), photos.begin(), photos.end());
    Child first, second;
    std::thread other([&] { second = run_zenit(b); });
    first = run_zenit(a);
    other.join();
    ASSERT_EQ(first.status, 0) << first.err;
    ASSERT_EQ(second.status, 0) << second.err;
    const std::string one = dir.file("a_hdr.jpg"), two = dir.file("a_hdr-2.jpg");
    auto saved_as = [](const Child &c) { return c.err.substr(c.err.rfind("Saved ") + 6); };
    EXPECT_EQ((std::set<std::string>{saved_as(first), saved_as(second)}),
              (std::set<std::string>{one + "\n", two + "\n"}));
    EXPECT_EQ(read_file(one), read_file(two)) << "one result, under two names";
    EXPECT_TRUE(hidden_files(dir.path()).empty());

    // In the road: the first free number is taken at the save; past 999 the save fails.
    Batch run;
    ASSERT_FALSE(app::check_and_probe(photos, &run.doc));
    ASSERT_FALSE(app::decode_stack(&run.doc));
    float p[kTmParamCount];
    tmparam_default(kMethodRodo, 0, p);
    platform::DataPtr result;
    ASSERT_FALSE(app::process(run.doc, kMethodRodo, p, 1, false, nullptr, &result));
    const app::OutputTarget target{app::default_output_path(photos[0], app::OutputFormat::Jpeg),
                                   true};
    EXPECT_EQ(target.path, one);
    std::string saved;
    ASSERT_FALSE(app::save_result(run.doc, result, kMethodRodo, p, app::OutputFormat::Jpeg, 90,
                                  target, &saved));
    const std::string third = dir.file("a_hdr-3.jpg");
    EXPECT_EQ(saved, third);
    for (int k = 4; k <= 999; ++k)
        ASSERT_TRUE(write_file(app::numbered_output_path(one, k), Bytes{uint8_t(k)}));
    const app::RoadError e = app::save_result(run.doc, result, kMethodRodo, p,
                                              app::OutputFormat::Jpeg, 90, target, &saved);
    EXPECT_EQ(e.code, app::kExitFailed);
    EXPECT_NE(e.message.find(one + " and its numbered names up to a_hdr-999.jpg all exist"),
              std::string::npos)
        << e.message;
    EXPECT_EQ(read_file(dir.file("a_hdr-999.jpg")), Bytes{uint8_t(999 % 256)});
    EXPECT_TRUE(hidden_files(dir.path()).empty());
    // -o replaces, as documented.
    const std::string chosen = dir.file("a_hdr-500.jpg");
    ASSERT_FALSE(app::save_result(run.doc, result, kMethodRodo, p, app::OutputFormat::Jpeg, 90,
                                  app::OutputTarget{chosen, false}, &saved));
    EXPECT_EQ(saved, chosen);
    EXPECT_EQ(read_file(chosen), read_file(third));
}

// Whatever stops the driver, SIGTERM, SIGINT or SIGKILL at any moment, it leaves no temporary
// file, and a result that is there is whole. A write that fails says why in the system's words.
TEST(RoadOutput, AKilledDriverLeavesNothingAndAFailedWriteSaysWhy)
{
    TempDir dir;
    const std::vector<std::string> photos = small_bracket(dir, 960, 640);
    const std::string out = dir.file("out.tif");
    std::vector<std::string> args = {"--quiet", "-o", out};
    args.insert(args.end(), photos.begin(), photos.end());
    int stopped = 0;
    for (int sig : {SIGTERM, SIGINT, SIGKILL})
        for (int ms = 40; ms <= 640; ms *= 2) {
            std::remove(out.c_str());
            const Child c = run_zenit(args, sig, std::chrono::milliseconds(ms));
            stopped += c.status == 128 + sig;
            EXPECT_TRUE(hidden_files(dir.path()).empty()) << sig << " after " << ms << " ms";
            if (c.status == 0 || !read_file(out).empty()) {
                const auto bmp = platform::BitmapImageRep::imageRepWithContentsOfFile(out);
                EXPECT_TRUE(bmp && bmp->pixelsWide() == 960) << "a partial result";
            }
        }
    EXPECT_GT(stopped, 0) << "no run was stopped: the timings test nothing";

    // A file size limit makes the write fail as a full disk does, with the system's reason.
    std::remove(out.c_str());
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit small = old;
    small.rlim_cur = 64 << 10;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN); // the child inherits both
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const Child full = run_zenit(args);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(full.status, 4);
    EXPECT_NE(full.err.find("could not save " + out + ": " + std::strerror(EFBIG)),
              std::string::npos)
        << full.err;
    EXPECT_TRUE(read_file(out).empty());
    EXPECT_TRUE(hidden_files(dir.path()).empty());
}

// Where the file system has no unnamed files the result goes through a hidden named one, which
// SIGINT and SIGTERM remove before the process ends and every way out of the save removes.
TEST(RoadOutput, TheNamedTemporaryFileGoesWhateverStopsTheSave)
{
    TempDir dir;
    const std::vector<std::string> photos = small_bracket(dir);
    Batch run;
    ASSERT_FALSE(app::check_and_probe(photos, &run.doc));
    // A 24 MP result of zeros, so that the write takes a while.
    run.doc.width = 6000;
    run.doc.height = 4000;
    const platform::DataPtr result = platform::Data::zeroed(size_t(6000) * 4000 * 3 * 2);
    float p[kTmParamCount];
    tmparam_default(kMethodRodo, 0, p);
    app::set_unnamed_files_for_testing(false);
    const std::string out = dir.file("out.tif");
    std::string saved;
    ASSERT_FALSE(app::save_result(run.doc, result, kMethodRodo, p, app::OutputFormat::Tiff, 90,
                                  app::OutputTarget{out, false}, &saved));
    EXPECT_EQ(saved, out);
    EXPECT_TRUE(hidden_files(dir.path()).empty());
    const app::OutputTarget numbered{dir.file("a_hdr.jpg"), true};
    ASSERT_FALSE(app::save_result(run.doc, result, kMethodRodo, p, app::OutputFormat::Jpeg, 90,
                                  numbered, &saved));
    EXPECT_EQ(saved, numbered.path);
    EXPECT_TRUE(hidden_files(dir.path()).empty());

    int stopped = 0;
    for (int sig : {SIGTERM, SIGINT})
        for (int ms = 1; ms <= 64; ms *= 4) {
            const pid_t child = ::fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                app::save_result(run.doc, result, kMethodRodo, p, app::OutputFormat::Tiff, 90,
                                 app::OutputTarget{out, false}, nullptr);
                ::_exit(0);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            ::kill(child, sig);
            int st = 0;
            ::waitpid(child, &st, 0);
            stopped += WIFSIGNALED(st) && WTERMSIG(st) == sig;
            EXPECT_TRUE(hidden_files(dir.path()).empty()) << sig << " after " << ms << " ms";
        }
    app::set_unnamed_files_for_testing(true);
    EXPECT_GT(stopped, 0) << "no save was stopped: the timings test nothing";
}
