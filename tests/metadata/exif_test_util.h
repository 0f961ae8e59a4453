// Helpers shared by the metadata tests: byte helpers, settings packets, TIFF structures with
// chosen Exif tags, and exifBuf / gpsBuf records.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "metadata/exif_records.h"
#include "metadata/xmp_settings.h"
#include "tests/support/fixtures.h"
#include "tonemap/tm_params.h"

namespace exiftest {

using testsupport::Bytes;

inline Bytes bytes_of(const std::string &s)
{
    return Bytes(s.begin(), s.end());
}
inline Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
// A small real JPEG (libjpeg) holding tiff in an EXIF APP1, then the other segments.
inline Bytes in_jpeg(const Bytes &tiff, const std::vector<Bytes> &segments = {})
{
    std::vector<Bytes> all = {testsupport::make_exif_app1(tiff)};
    all.insert(all.end(), segments.begin(), segments.end());
    uint8_t px[8 * 8 * 3] = {};
    return testsupport::encode_jpeg(px, 8, 8, 3, 90, all);
}
// embed_xmp's packet; the writer must stay within the length it measured.
inline std::string xmp_packet(int method, const float *p, const char *lens = nullptr)
{
    const int lensLen = lens ? int(std::strlen(lens)) + 1 : 0;
    const size_t n = size_t(std::max(embed_xmp(0, method, p, lensLen, lens, nullptr), 0));
    std::string s(n + 4, '#');
    EXPECT_EQ(embed_xmp(1, method, p, lensLen, lens, s.data()), int(n));
    EXPECT_EQ(s.substr(n), "####") << "wrote past the measured length";
    return s.substr(0, n);
}

// One tag: type 'S' SHORT, 'L' LONG, 'R' RATIONAL, 'X' SRATIONAL.
struct Tag {
    uint16_t tag;
    char type;
    int32_t num, den;
};
inline void add_tags(testsupport::TiffBuilder &t, size_t ifd, const std::vector<Tag> &tags)
{
    for (const Tag &g : tags) {
        const auto type = uint16_t(std::string("...SLR....X").find(g.type)); // the TIFF type
        Bytes v = type == 3 ? t.u16({uint16_t(g.num)}) : t.u32({uint32_t(g.num), uint32_t(g.den)});
        v.resize(type == 4 ? 4 : v.size());
        t.add_entry(ifd, g.tag, type, 1, v);
    }
}
// A TIFF structure whose IFD0 (holding the model when given) points to an Exif IFD with tags.
inline Bytes exif_tags(const std::vector<Tag> &tags, bool big = false, const char *model = nullptr)
{
    testsupport::TiffBuilder t(big);
    size_t ifd0 = t.add_ifd(), exif = t.add_ifd(false);
    if (model)
        t.add_ascii(ifd0, 272, model);
    t.add_ifd_pointer(ifd0, 34665, exif);
    add_tags(t, exif, tags);
    return t.build();
}

// exifBuf and gpsBuf, zero-filled; text() clears room bytes first.
struct Records {
    int32_t exif[kExifBufCount] = {};
    int32_t gps[kGpsBufCount] = {};
    void text(int slot, const std::string &s, size_t room = 0)
    {
        std::memset(exif + slot, 0, room);
        std::memcpy(reinterpret_cast<char *>(exif + slot), s.data(), s.size());
    }
    uint8_t *gpsBytes() { return reinterpret_cast<uint8_t *>(gps); }
};

// exiftool's standard output for the arguments (a shell command line); nothing when exiftool is
// not installed, and the caller skips its check with a message. Where the peers are required
// (scripts/test.sh, after the setup installed them) a missing exiftool fails the test instead:
// a check that cannot fail is no check.
inline std::optional<std::string> exiftool(const std::string &args)
{
    if (!std::filesystem::exists("/usr/bin/exiftool")) {
        if (std::getenv("ZENIT_REQUIRE_PEERS"))
            ADD_FAILURE() << "exiftool is not installed (scripts/setup.sh installs it)";
        return std::nullopt;
    }
    std::string out;
    if (FILE *p = popen(("/usr/bin/exiftool " + args + " 2>/dev/null").c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        pclose(p);
    }
    return out;
}

// What an XML parser of its own (python3's) makes of each file: the text of its aux:Lens element
// as hexadecimal bytes ("" for an empty one), "no lens", or "unparsable" when the file is not
// well-formed XML. Nothing when python3 is not installed; the caller then skips this check with
// a message, or it fails where the peers are required, as for exiftool.
inline std::optional<std::vector<std::string>>
parsed_lens_texts(const std::vector<std::string> &files)
{
    if (!std::filesystem::exists("/usr/bin/python3")) {
        if (std::getenv("ZENIT_REQUIRE_PEERS"))
            ADD_FAILURE() << "python3 is not installed (scripts/setup.sh installs it)";
        return std::nullopt;
    }
    const testsupport::TempDir dir;
    const std::string script = dir.file("lens.py");
    const std::string code =
        "import sys, xml.etree.ElementTree as E\n"
        "for p in sys.argv[1:]:\n"
        "    try:\n"
        "        e = E.parse(p).find('.//{http://ns.adobe.com/exif/1.0/aux/}Lens')\n"
        "        print('no lens' if e is None else (e.text or '').encode().hex())\n"
        "    except E.ParseError:\n"
        "        print('unparsable')\n";
    testsupport::write_file(script, Bytes(code.begin(), code.end()));
    std::string args;
    for (const std::string &f : files)
        args += " '" + f + "'";
    std::string out;
    if (FILE *p = popen(("/usr/bin/python3 " + script + args + " 2>&1").c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        pclose(p);
    }
    std::vector<std::string> lines;
    for (size_t a = 0, e; (e = out.find('\n', a)) != std::string::npos; a = e + 1)
        lines.push_back(out.substr(a, e - a));
    return lines;
}

// Bytes as lower-case hexadecimal, as parsed_lens_texts gives them.
inline std::string hex_of(const std::string &s)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s)
        out += {kDigits[c >> 4], kDigits[c & 15]};
    return out;
}
} // namespace exiftest
