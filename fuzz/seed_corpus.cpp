// Makes a fuzz seed corpus of small copies of real photos, at campaign time (the copies are not
// kept in the repository): for every JPEG under the given folder, the photo scaled down to 48
// pixels wide with all its metadata segments, its EXIF thumbnail alone, 8- and 16-bit TIFFs as
// the output writer makes them, PSDs raw and PackBits (version 1) and PackBits (version 2)
// carrying its EXIF, profile and IPTC resources, and the settings packet with its lens.
// Usage: zenit_fuzz_seeds PHOTO_FOLDER OUTPUT_FOLDER
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "imagecore/jpeg_readers.h"
#include "imagecore/records.h"
#include "metadata/exif_reader.h"
#include "metadata/exif_records.h"
#include "metadata/tiff_writer.h"
#include "metadata/xmp_settings.h"
#include "platform/bitmap.h"
#include "tests/support/fixtures.h"
#include "tonemap/tm_params.h"

namespace fs = std::filesystem;
using testsupport::Bytes;

namespace {

constexpr int kSeedWidth = 48;

// The APPn segments of a JPEG (whole, marker included) in file order, up to the first frame.
std::vector<Bytes> app_segments(const Bytes &jpeg)
{
    std::vector<Bytes> out;
    size_t p = 2;
    while (p + 4 <= jpeg.size() && jpeg[p] == 0xFF) {
        const uint8_t code = jpeg[p + 1];
        const size_t len = size_t(jpeg[p + 2]) << 8 | jpeg[p + 3];
        if (len < 2 || p + 2 + len > jpeg.size() || code == 0xDA || (code >= 0xC0 && code <= 0xCF))
            break;
        if (code >= 0xE1 && code <= 0xEF) // the encoder writes its own JFIF APP0
            out.emplace_back(jpeg.begin() + long(p), jpeg.begin() + long(p + 2 + len));
        p += 2 + len;
    }
    return out;
}

// The photo as interleaved 8-bit RGB, box-averaged down to kSeedWidth pixels wide.
std::vector<uint8_t> scaled_down(const platform::BitmapImageRep &bmp, int &w, int &h)
{
    const int sw = bmp.pixelsWide(), sh = bmp.pixelsHigh(), spp = bmp.samplesPerPixel();
    w = std::min(kSeedWidth, sw);
    h = std::max(1, int(int64_t(sh) * w / sw));
    std::vector<uint8_t> out(size_t(w) * size_t(h) * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) {
                const int x0 = x * sw / w, x1 = std::max(x0 + 1, (x + 1) * sw / w);
                const int y0 = y * sh / h, y1 = std::max(y0 + 1, (y + 1) * sh / h);
                uint64_t sum = 0;
                for (int yy = y0; yy < y1; ++yy)
                    for (int xx = x0; xx < x1; ++xx)
                        sum +=
                            bmp.bitmapData()[size_t(yy) * size_t(bmp.bytesPerRow()) +
                                             size_t(xx) * size_t(spp) + size_t(spp == 1 ? 0 : c)];
                out[(size_t(y) * size_t(w) + size_t(x)) * 3 + size_t(c)] =
                    uint8_t(sum / uint64_t((x1 - x0) * (y1 - y0)));
            }
    return out;
}

bool save(const fs::path &dir, const std::string &name, const Bytes &bytes)
{
    const bool ok = testsupport::write_file((dir / name).string(), bytes);
    if (!ok)
        std::fprintf(stderr, "cannot write %s\n", (dir / name).c_str());
    return ok;
}

// Every seed of one photo; false when one cannot be written.
bool seeds_of(const fs::path &photo, const fs::path &out)
{
    const std::string stem = photo.parent_path().filename().string() + "-" + photo.stem().string();
    const Bytes file = testsupport::read_file(photo.string());
    auto bmp =
        platform::BitmapImageRep::imageRepWithData(platform::Data::copy(file.data(), file.size()));
    if (!bmp)
        return true; // not a photo the decoder takes: nothing to seed from
    int w = 0, h = 0;
    const std::vector<uint8_t> px = scaled_down(*bmp, w, h);

    ExifInfo info;
    getExifData(photo.c_str(), 1, &info);
    int32_t exifBuf[kExifBufCount] = {}, gpsBuf[kGpsBufCount] = {};
    metadataBufFromExifInfo(&info, exifBuf, gpsBuf);
    int infos[kImageInfosCount] = {};
    infojpg(photo.c_str(), infos);
    Bytes icc(size_t(std::max(infos[kInfoIccLength], 0)) + 1);
    icc.resize(size_t(std::max(jpg_profile(photo.c_str(), icc.data(), icc.size()), 0)));
    Bytes iptc;
    if (info.iptcLength > 0 && size_t(info.iptcBase) + size_t(info.iptcOffset) < file.size()) {
        iptc.resize(size_t(info.iptcLength) + 1);
        if (read_iptc(photo.c_str(), info.iptcLength, info.iptcBase + info.iptcOffset,
                      iptc.data()) == info.iptcLength)
            iptc.pop_back();
        else
            iptc.clear();
    }

    const std::vector<Bytes> segments = app_segments(file);
    bool ok = save(out, stem + ".jpg", testsupport::encode_jpeg(px.data(), w, h, 3, 85, segments));
    if (info.thumbLength > 0 && size_t(info.thumbOffset) + size_t(info.thumbLength) <= file.size())
        ok &= save(out, stem + "-thumb.jpg",
                   Bytes(file.begin() + info.thumbOffset,
                         file.begin() + info.thumbOffset + info.thumbLength));

    float settings[kTmParamCount];
    tmparam_default(kMethodRodo, 0, settings);
    std::vector<uint16_t> px16(px.size());
    for (size_t i = 0; i < px.size(); ++i)
        px16[i] = uint16_t(px[i] * 257);
    for (int bits : {8, 16}) {
        int32_t saveInfo[kSaveInfoCount] = {w, h, 3, bits, 72, 72, int32_t(icc.size())};
        const std::string tif = (out / (stem + "-" + std::to_string(bits) + ".tif")).string();
        ok &= buf2tif(bits == 8 ? static_cast<const void *>(px.data()) : px16.data(), saveInfo,
                      w * 3 * bits / 8, icc.empty() ? nullptr : icc.data(), exifBuf, gpsBuf,
                      int(iptc.size()), iptc.empty() ? nullptr : iptc.data(), kMethodRodo, settings,
                      0, nullptr, tif.c_str()) == h;
    }

    // The EXIF structure of the APP1 segment, as a PSD's resource 1058.
    Bytes exif;
    for (const Bytes &s : segments)
        if (s.size() > 10 && s[1] == 0xE1 && std::memcmp(s.data() + 4, "Exif\0\0", 6) == 0)
            exif.assign(s.begin() + 10, s.end());
    for (const auto &[name, version, compression, bits] :
         {std::tuple{"-raw8.psd", 1, 0, 8}, {"-pack16.psd", 1, 1, 16}, {"-pack8.psb", 2, 1, 8}}) {
        testsupport::PsdBuilder b;
        b.version = version;
        b.compression = compression;
        if (bits == 8)
            b.set_interleaved8(px.data(), uint32_t(w), uint32_t(h), 3);
        else
            b.set_interleaved16(px16.data(), uint32_t(w), uint32_t(h), 3);
        b.resources.push_back({1005, "", {0, 72, 0, 0, 0, 1, 0, 1, 0, 72, 0, 0, 0, 1, 0, 1}});
        if (!icc.empty())
            b.resources.push_back({1039, "", icc});
        if (!iptc.empty())
            b.resources.push_back({1028, "", iptc});
        if (!exif.empty())
            b.resources.push_back({1058, "", exif});
        ok &= save(out, stem + name, b.build());
    }

    const int n = embed_xmp(0, kMethodRodo, settings, 64, info.lens, nullptr);
    std::string packet(size_t(std::max(n, 0)), '\0');
    embed_xmp(1, kMethodRodo, settings, 64, info.lens, packet.data());
    ok &= save(out, stem + ".xmp", Bytes(packet.begin(), packet.end()));
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PHOTO_FOLDER OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    std::error_code ec;
    fs::create_directories(argv[2], ec);
    std::vector<fs::path> photos;
    for (const auto &e : fs::recursive_directory_iterator(argv[1], ec)) {
        std::string ext = e.path().extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
        if (e.is_regular_file() && (ext == ".jpg" || ext == ".jpeg"))
            photos.push_back(e.path());
    }
    std::sort(photos.begin(), photos.end());
    bool ok = !photos.empty() && !ec;
    for (const fs::path &p : photos)
        ok &= seeds_of(p, argv[2]);
    std::printf("%zu photos seeded into %s\n", photos.size(), argv[2]);
    return ok ? 0 : 1;
}
