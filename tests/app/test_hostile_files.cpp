// The driver's road over hostile and odd photos: headers that promise more than the file or the
// machine holds, an IPTC block found through the EXIF directory, a lens name full of markup, and
// a flat scene.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "app/road.h"
#include "imagecore/banded.h"
#include "imagecore/records.h"
#include "metadata/exif_reader.h"
#include "metadata/xmp_settings.h"
#include "platform/bitmap.h"
#include "tests/support/bracket_generator.h"
#include "tests/support/fixtures.h"
#include "tests/support/image_compare.h"
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
    // One pixel fewer than an int holds on a side's square: a size the processing takes.
    Batch edge;
    EXPECT_FALSE(edge.probe({{"edge.tif", tiff_header(46340, 46340)}})) << "46340 x 46340";
}

// The stack, the HDR image and the 16-bit result are weighed against the memory before anything
// is allocated: one byte short fails (exit 4, saying how much is needed), the exact need runs.
TEST(RoadMemory, TheJobsNeedIsComparedWithTheMemoryBeforeAllocating)
{
    Batch big;
    ASSERT_FALSE(big.probe({{"big.tif", tiff_header(46340, 46340)}}));
    const uint64_t pixels = uint64_t(46340) * 46340;
    EXPECT_EQ(app::job_memory(big.doc), pixels * (3 + 4 + 6));
    app::RoadError e = app::decode_stack(&big.doc, uint64_t(1) << 30);
    EXPECT_EQ(e.code, app::kExitFailed);
    EXPECT_NE(e.message.find("1 photo of 46340 x 46340 need 26.0 GB, this machine has 1.0 GB"),
              std::string::npos)
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
    const uint64_t need = 8 * 6 * (3 * 2 + 4 + 6);
    EXPECT_EQ(app::job_memory(small.doc), need);
    EXPECT_EQ(app::decode_stack(&small.doc, need - 1).code, app::kExitFailed);
    ASSERT_FALSE(app::decode_stack(&small.doc, need));
    Bytes both = a;
    both.insert(both.end(), b.begin(), b.end());
    EXPECT_EQ(Bytes(small.doc.stack->bytes(), small.doc.stack->bytes() + both.size()), both);
}

// A JPEG that keeps its IPTC tag in IFD0 (an offset from the TIFF header) and its lens name, full
// of markup, in an XMP packet: the result carries the right block and a well-formed packet that
// gives the name back. The block read as a file position would be the decoy.
TEST(RoadMetadata, IptcFromTheExifDirectoryAndAHostileLensReachTheResult)
{
    const Bytes right = iptc_caption("RIGHT"), wrong = iptc_caption("WRONG");
    uint32_t rightAt = 0;
    const Bytes tiff = exif_with([&](TiffBuilder &t, size_t ifd0) {
        Bytes decoy = wrong;
        decoy.resize(12, 0); // the TIFF header sits 12 bytes into the file: see below
        t.add_blob(decoy);
        rightAt = t.add_blob(right);
        t.add_entry_at(ifd0, 33723, kTiffUndefined, uint32_t(right.size()), rightAt);
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
        // The TIFF tag counts the block in 4-byte units: zeros pad it there.
        ASSERT_EQ(info.iptcLength, jpeg ? 10 : 12);
        std::vector<uint8_t> block(size_t(info.iptcLength) + 1, 0);
        EXPECT_EQ(
            read_iptc(out.c_str(), info.iptcLength, info.iptcBase + info.iptcOffset, block.data()),
            info.iptcLength)
            << out;
        Bytes padded = right;
        padded.resize(size_t(info.iptcLength) + 1, 0);
        EXPECT_EQ(block, padded) << out;
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

    // b.jpg fails late, its scan cut near the end; d.jpg at once, cut after the scan header.
    files[1].second.resize(files[1].second.size() * 9 / 10);
    Bytes &d = files[3].second;
    const uint8_t sos[] = {0xFF, 0xDA};
    const size_t at =
        size_t(std::search(d.begin(), d.end(), std::begin(sos), std::end(sos)) - d.begin());
    d.resize(at + 2 + size_t(d[at + 2] << 8 | d[at + 3]) + 16);
    Batch bad;
    ASSERT_FALSE(bad.probe(files));
    const app::RoadError e = app::decode_stack(&bad.doc, 0, 8);
    EXPECT_EQ(e.code, app::kExitBadInput);
    EXPECT_NE(e.message.find("b.jpg cannot be decoded"), std::string::npos) << e.message;
    EXPECT_FALSE(bad.doc.stack);
}
