// The row-streaming merge of TIFF brackets into a Radiance file: one row of every photo in
// memory at a time, merged with hat weights and exposure multipliers, encoded and appended.
// Each photo's file and the output are held by RAII, so every return releases them.
#include "merge/manip_merge.h"

#include <bit>
#include <climits>
#include <cmath>
#include <cstdio>
#include <new>
#include <vector>

#include "imagecore/pixel_buffers.h"
#include "imagecore/radiance.h"
#include "imagecore/records.h"
#include "imagecore/tiff_ifd.h"
#include "imagecore/tiff_probe.h"
#include "merge/detail/tile_curves.h"
#include "metadata/metadata_class.h"
#include "platform/checked_size.h"
#include "platform/file_holder.h"

namespace {

using merge::detail::TileCurves;

constexpr uint16_t kTagStripOffsets = 273;

// The probe's byte-order result for files in this host's order.
constexpr int kHostOrder = std::endian::native == std::endian::little ? 2 : 1;

struct Photo {
    platform::FilePtr f;
    uint64_t offset = 0;
};

struct Layout {
    int w = 0, h = 0, bps = 0, spp = 0;
    size_t rowBytes = 0;
    bool operator==(const Layout &o) const
    {
        return w == o.w && h == o.h && bps == o.bps && spp == o.spp;
    }
};

// Where the pixels of a photo cut into `strips` strips of stripBytes bytes begin, when the
// strips follow one another in the file so that its rows can be read as one block: the
// StripOffsets entry of the first directory (SHORT or LONG values, in the value field when they
// fit there) holds one offset a strip, each stripBytes past the one before. False otherwise.
bool contiguous_strips(FILE *f, uint64_t length, uint64_t strips, uint64_t stripBytes,
                       uint64_t &first)
{
    imagecore::TiffBytes tf = imagecore::TiffBytes::in_file(f, length);
    uint32_t firstIfd = 0;
    if (imagecore::read_tiff_header(tf, firstIfd) < 0)
        return false;
    bool contiguous = false;
    imagecore::walk_ifds(tf, firstIfd, {}, [&](int k, const imagecore::TiffEntry &e) {
        if (k > 0)
            return false;
        if (e.tag != kTagStripOffsets)
            return true;
        const uint64_t size = e.type == imagecore::kTypeShort  ? 2
                              : e.type == imagecore::kTypeLong ? 4
                                                               : 0;
        if (size == 0 || e.count != strips)
            return false;
        const uint64_t at = size * strips <= 4 ? uint64_t(e.fieldAt) : uint64_t(e.word);
        if (!platform::range_inside(at, size * strips, length))
            return false;
        for (uint64_t i = 0; i < strips; ++i) {
            uint32_t v = 0;
            uint16_t v16 = 0;
            if (size == 2 ? !tf.u16(at + 2 * i, v16) : !tf.u32(at + 4 * i, v))
                return false;
            if (size == 2)
                v = v16;
            if (i == 0)
                first = v;
            else if (v != first + i * stripBytes)
                return false;
        }
        contiguous = true;
        return false;
    });
    return contiguous;
}

// Opens and probes one photo: 0, or -2 when it cannot be opened or probed or its pixels are not
// uncompressed interleaved strips that follow one another, which the merge reads as one block.
// inside tells whether the pixels lie inside the file (the caller reports it after comparing
// the photo with the first).
int probe(const std::string &path, Photo &photo, Layout &layout, bool &inside)
{
    uint64_t length = 0;
    photo.f = platform::open_measured(path.c_str(), length);
    if (!photo.f)
        return -2;
    int info[kImageInfosCount] = {};
    const int order = getTiffInfo(photo.f.get(), info);
    if (order < 1)
        return -2;
    layout.w = info[kInfoWidth];
    layout.h = info[kInfoHeight];
    layout.bps = info[kInfoBits];
    layout.spp = info[kInfoSamples];
    const uint32_t rowsPerStrip = uint32_t(info[kInfoRowsPerStrip]);
    const uint32_t stripBytes = uint32_t(info[kInfoStripByteCounts]);
    const int compression = info[kInfoCompression], planar = info[kInfoPlanar];
    if (layout.w < 1 || layout.h < 1 || layout.spp < 3 || (layout.bps != 8 && layout.bps != 16) ||
        (compression != 0 && compression != 1) || (planar != 0 && planar != 1) ||
        (layout.bps == 16 && order != kHostOrder))
        return -2;
    auto rowBytes = platform::checked_product({layout.w, layout.spp, layout.bps / 8});
    auto total = platform::checked_product({layout.w, layout.h, layout.spp, layout.bps / 8});
    if (!rowBytes || !total)
        return -2;
    layout.rowBytes = *rowBytes;
    if (rowsPerStrip != 0 && rowsPerStrip < uint32_t(layout.h)) {
        // A table of strips: the probe's offset is the table's, not the pixels'.
        const uint64_t strips = (uint64_t(layout.h) + rowsPerStrip - 1) / rowsPerStrip;
        if (!contiguous_strips(photo.f.get(), length, strips, rowsPerStrip * *rowBytes,
                               photo.offset))
            return -2;
    } else {
        if (stripBytes != 0 && stripBytes < *total)
            return -2;
        photo.offset = uint32_t(info[kInfoStripOffsets]);
    }
    inside = platform::range_inside(photo.offset, *total, length);
    return 0;
}

// Rows are read into uint16_t storage, which 8-bit data reads through unsigned char.
bool read_row(Photo &p, void *dst, size_t n)
{
    return std::fread(dst, 1, n, p.f.get()) == n;
}

bool seek(Photo &p, uint64_t at)
{
    return at <= uint64_t(LONG_MAX) && std::fseek(p.f.get(), long(at), SEEK_SET) == 0;
}

// Mean luma of each photo over rows spread down the image (every h / 5-th, at least every
// row), divided like the merge's other sums by the count of (pixel, photo) pairs. false when a
// row cannot be read.
bool sample_means(std::vector<Photo> &photos, const Layout &l, uint16_t *row,
                  std::vector<int64_t> &means)
{
    const size_t num = photos.size(), w = size_t(l.w), spp = size_t(l.spp);
    const int step = l.h / 5 > 0 ? l.h / 5 : 1;
    std::vector<int64_t> acc(num, 0);
    int64_t count = 0;
    for (int64_t y = 0; y < l.h; y += step) {
        for (size_t k = 0; k < num; ++k) {
            if (!seek(photos[k], photos[k].offset + uint64_t(y) * l.rowBytes) ||
                !read_row(photos[k], row, l.rowBytes))
                return false;
            const uint8_t *p8 = reinterpret_cast<const uint8_t *>(row);
            for (size_t x = 0; x < w; ++x) {
                const size_t i = x * spp;
                acc[k] += l.bps == 16 ? merge::detail::tile_luma(row[i], row[i + 1], row[i + 2])
                                      : merge::detail::tile_luma(p8[i], p8[i + 1], p8[i + 2]);
            }
            count += int64_t(w);
        }
    }
    means.resize(num);
    for (size_t k = 0; k < num; ++k)
        means[k] = acc[k] / count;
    return true;
}

// Merges pixel x of every photo's row (photo k's row rowBytes x k bytes into in).
imagecore::Rgbe merge_pixel(const TileCurves &t, const Layout &l, const uint16_t *in, size_t x,
                            const std::vector<float> &m)
{
    float r = 0.0f, g = 0.0f, b = 0.0f;
    int64_t wsum = 0;
    const size_t at = x * size_t(l.spp);
    for (size_t k = 0; k < m.size(); ++k) {
        const uint8_t *row = reinterpret_cast<const uint8_t *>(in) + k * l.rowBytes;
        int wt;
        float lr, lg, lb;
        if (t.deep) {
            const uint16_t *p = in + (k * l.rowBytes) / 2 + at;
            wt = t.weight16(p);
            lr = t.lin[t.stretch[p[0]]], lg = t.lin[t.stretch[p[1]]], lb = t.lin[t.stretch[p[2]]];
        } else {
            const uint8_t *p = row + at;
            wt = merge::detail::tile_hat8(merge::detail::tile_luma(p[0], p[1], p[2]));
            lr = t.lin[p[0]], lg = t.lin[p[1]], lb = t.lin[p[2]];
        }
        wsum += wt;
        // Truncated as an int would be, without an int's range.
        const float f = std::trunc(float(wt) * m[k]);
        r += f * lr, g += f * lg, b += f * lb;
    }
    if (wsum > 0) {
        const float d = float(wsum);
        r /= d, g /= d, b /= d;
    } else {
        r = g = b = 0.0f;
    }
    return imagecore::encode_rgbe(r, g, b);
}

int tile_process(const platform::StringArray &paths, const platform::DataArray &deltaT, float ev,
                 int courbe, int seq, int num, const std::string &resFile)
{
    if (num < 1 || seq < 0 || (int64_t(seq) + 1) * num > int64_t(paths.size()) ||
        deltaT.size() < size_t(num))
        return -3;
    const platform::DataPtr exposures = MetaData().getEV(deltaT);
    if (!exposures)
        return -4;
    std::vector<float> m(static_cast<size_t>(num));
    exposures->getBytes(m.data(), m.size() * sizeof(float));

    std::vector<Photo> photos(static_cast<size_t>(num));
    Layout first;
    for (int k = 0; k < num; ++k) {
        Layout l;
        bool inside = false;
        if (const int r =
                probe(paths[size_t(seq) * size_t(num) + size_t(k)], photos[size_t(k)], l, inside))
            return r;
        if (k == 0)
            first = l;
        else if (!(l == first))
            return -3;
        if (!inside)
            return -1;
    }

    const TileCurves curves(first.bps, courbe);
    const size_t w = size_t(first.w);
    // Even for 16-bit data, so every photo's row starts on a sample.
    std::vector<uint16_t> in((first.rowBytes * size_t(num) + 1) / 2);
    std::vector<uint8_t> out(4 * w);

    platform::FilePtr res = platform::open_file(resFile, "wb");
    if (!res)
        return -1;
    const std::string header =
        imagecore::radiance_header("#Generated with Kestrovald Zenit 2.1\n", first.h, first.w);
    if (std::fwrite(header.data(), 1, header.size(), res.get()) != header.size())
        return -1;

    if (ev > 0.0f) {
        std::vector<int64_t> means;
        if (!sample_means(photos, first, in.data(), means))
            return -1;
        merge::detail::tile_spacing_multipliers(means, ev, m);
    } else {
        merge::detail::tile_metadata_multipliers(m);
    }
    for (Photo &p : photos)
        if (!seek(p, p.offset))
            return -1;

    for (int y = 0; y < first.h; ++y) {
        for (size_t k = 0; k < size_t(num); ++k)
            if (!read_row(photos[k], reinterpret_cast<uint8_t *>(in.data()) + k * first.rowBytes,
                          first.rowBytes))
                return -1;
        for (size_t x = 0; x < w; ++x) {
            const imagecore::Rgbe c = merge_pixel(curves, first, in.data(), x, m);
            uint8_t *p = out.data() + 4 * x;
            p[0] = c.r, p[1] = c.g, p[2] = c.b, p[3] = c.e;
        }
        if (std::fwrite(out.data(), 1, out.size(), res.get()) != out.size())
            return -1;
    }
    // Buffered rows meet a full disk only here.
    return std::fclose(res.release()) == 0 ? first.h : -1;
}

} // namespace

int ManipMerge::hdrTileProcess(const platform::StringArray &paths,
                               const platform::DataArray &deltaT, float ev, int courbe, int seq,
                               int num, const std::string &resFile) const
{
    try {
        return tile_process(paths, deltaT, ev, courbe, seq, num, resFile);
    } catch (const std::bad_alloc &) {
        return -4;
    }
}
