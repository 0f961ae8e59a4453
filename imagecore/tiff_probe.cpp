// TIFF header probe. Every offset and count read from the file is checked against the file's
// length before it is followed; the directory chain ends at a zero offset, an offset outside the
// file, an offset already visited or after kMaxIfds directories.
#include "imagecore/tiff_probe.h"

#include <array>
#include <climits>
#include <cstdio>

#include "imagecore/byte_order.h"
#include "imagecore/float_clamp.h"
#include "imagecore/records.h"
#include "platform/checked_size.h"
#include "platform/file_holder.h"

namespace {

// Diagnostics on standard error; off.
constexpr int kVerbose = 0;

// Directories walked at most: enough for any multi-page header the probes care about.
constexpr int kMaxIfds = 64;

constexpr uint16_t kTagIcc = 34675;

struct TiffFile {
    FILE *f;
    uint64_t length;
    uint16_t order;

    // Reads n bytes at off; false (nothing read) when they do not lie inside the file.
    bool read_at(uint64_t off, void *dst, size_t n) const
    {
        return platform::read_at(f, length, off, dst, n);
    }
    bool u16_at(uint64_t off, uint16_t &v) const
    {
        uint8_t b[2];
        if (!read_at(off, b, 2))
            return false;
        v = imagecore::read_u16(b, order);
        return true;
    }
    bool u32_at(uint64_t off, uint32_t &v) const
    {
        uint8_t b[4];
        if (!read_at(off, b, 4))
            return false;
        v = imagecore::read_u32(b, order);
        return true;
    }
};

struct TiffEntry {
    uint16_t tag;
    uint16_t type;
    uint32_t count;
    uint32_t value; // the first SHORT for SHORT with count 1 or 2, else the 32-bit word
    uint32_t word;  // the value field as a 32-bit word
};

// Reads the header: result 2 ("II") or 1 ("MM"), -2 or -3; firstIfd stays 0 when the header
// ends before the directory offset.
int read_header(TiffFile &tf, uint32_t &firstIfd)
{
    firstIfd = 0;
    uint8_t mark[2];
    if (!tf.read_at(0, mark, 2))
        return -2;
    uint16_t order = imagecore::read_be16(mark);
    if (order != imagecore::kOrderII && order != imagecore::kOrderMM)
        return -2;
    tf.order = order;
    uint16_t magic = 0;
    if (!tf.u16_at(2, magic) || magic != 42)
        return -3;
    if (!tf.u32_at(4, firstIfd))
        firstIfd = 0;
    return order == imagecore::kOrderII ? 2 : 1;
}

// Walks the directory chain from firstIfd, calling visit(entry) for each entry in file order;
// visit returns false to end the walk.
template <class Visit> void walk_ifds(const TiffFile &tf, uint32_t firstIfd, Visit visit)
{
    std::array<uint32_t, kMaxIfds> visited{};
    int walked = 0;
    uint32_t ifd = firstIfd;
    while (ifd != 0 && walked < kMaxIfds) {
        for (int i = 0; i < walked; ++i)
            if (visited[size_t(i)] == ifd)
                return;
        visited[size_t(walked++)] = ifd;
        uint16_t n = 0;
        if (!tf.u16_at(ifd, n))
            return;
        for (uint32_t k = 0; k < n; ++k) {
            uint8_t e[12];
            if (!tf.read_at(uint64_t(ifd) + 2 + 12 * uint64_t(k), e, sizeof e))
                return;
            TiffEntry entry;
            entry.tag = imagecore::read_u16(e, tf.order);
            entry.type = imagecore::read_u16(e + 2, tf.order);
            entry.count = imagecore::read_u32(e + 4, tf.order);
            entry.word = imagecore::read_u32(e + 8, tf.order);
            entry.value = (entry.type == 3 && (entry.count == 1 || entry.count == 2))
                              ? imagecore::read_u16(e + 8, tf.order)
                              : entry.word;
            if (!visit(entry))
                return;
        }
        uint32_t next = 0;
        if (!tf.u32_at(uint64_t(ifd) + 2 + 12 * uint64_t(n), next))
            return;
        ifd = next;
    }
}

// Tags whose value goes straight into its slot; a slot already set keeps its value.
struct DirectTag {
    uint16_t tag;
    int slot;
};
constexpr DirectTag kDirectTags[] = {
    {256, kInfoWidth},        {257, kInfoHeight},          {259, kInfoCompression},
    {273, kInfoStripOffsets}, {274, kInfoOrientation},     {277, kInfoSamples},
    {278, kInfoRowsPerStrip}, {279, kInfoStripByteCounts}, {284, kInfoPlanar},
};

void set_once(int *info, int slot, uint32_t v)
{
    if (info[slot] == 0)
        info[slot] = int(v);
}

} // namespace

int getTiffInfo(FILE *f, int *imageInfos)
{
    uint64_t length = 0;
    if (!f || !platform::stream_length(f, length))
        return -1;
    TiffFile tf{f, length, imagecore::kOrderMM};
    uint32_t firstIfd;
    int result = read_header(tf, firstIfd);
    if (result < 0)
        return result;
    int *info = imageInfos;
    walk_ifds(tf, firstIfd, [&](const TiffEntry &e) {
        for (const DirectTag &d : kDirectTags) {
            if (d.tag == e.tag) {
                set_once(info, d.slot, e.value);
                return true;
            }
        }
        switch (e.tag) {
        case 258:
            if (info[kInfoBits] == 0) {
                if (e.count == 1 && (e.value == 8 || e.value == 16 || e.value == 32)) {
                    info[kInfoBits] = int(e.value);
                } else if (e.type == 3 && e.count <= 2) {
                    // The values sit in the field itself; there is no offset to follow.
                    info[kInfoBits] = int(e.value);
                } else {
                    uint16_t bits = 0;
                    if (tf.u16_at(e.word, bits))
                        info[kInfoBits] = bits;
                }
            }
            break;
        case 282:
            if (info[kInfoXRes] == 0) {
                uint32_t num = 0, den = 0;
                if (tf.u32_at(e.word, num) && tf.u32_at(uint64_t(e.word) + 4, den) &&
                    float(den) > 0.0f)
                    info[kInfoXRes] = imagecore::clamp_to_int(float(num) / float(den));
            }
            break;
        case kTagIcc:
            if (info[kInfoIccLength] == 0 && e.count <= uint32_t(INT_MAX) &&
                platform::range_inside(e.word, e.count, tf.length))
                info[kInfoIccLength] = int(e.count);
            break;
        default:
            break;
        }
        return true;
    });
    return result;
}

int getTiffInfo(const char *path, int *imageInfos)
{
    platform::FilePtr f = platform::open_file(path, "rb");
    return f ? getTiffInfo(f.get(), imageInfos) : -1;
}

int tif_profile(FILE *f, uint8_t *dest, size_t capacity)
{
    uint64_t length = 0;
    if (!f || !platform::stream_length(f, length))
        return -1;
    TiffFile tf{f, length, imagecore::kOrderMM};
    uint32_t firstIfd;
    int header = read_header(tf, firstIfd);
    if (header == -2)
        return 0;
    if (header < 0)
        return header;
    int result = 0;
    walk_ifds(tf, firstIfd, [&](const TiffEntry &e) {
        if (e.tag != kTagIcc)
            return true;
        if (!platform::range_inside(e.word, e.count, tf.length))
            result = -2;
        else if (e.count > capacity || e.count > uint32_t(INT_MAX))
            result = -3;
        else if (e.count > 0 && (!dest || !tf.read_at(e.word, dest, e.count)))
            result = dest ? -2 : -3;
        else
            result = int(e.count);
        return false;
    });
    return result;
}

int tif_profile(const char *path, uint8_t *dest, size_t capacity)
{
    platform::FilePtr f = platform::open_file(path, "rb");
    return f ? tif_profile(f.get(), dest, capacity) : -1;
}

int arr_from_tiffOffset(FILE *f, int count, int offset, int *out)
{
    if (count <= 1) {
        out[0] = offset;
        return 1;
    }
    uint64_t length = 0;
    if (!f || !platform::stream_length(f, length))
        return -1;
    TiffFile tf{f, length, imagecore::kOrderMM};
    uint8_t mark[2];
    if (tf.read_at(0, mark, 2) && imagecore::read_be16(mark) == imagecore::kOrderII)
        tf.order = imagecore::kOrderII;
    if (offset < 0 || !platform::range_inside(uint64_t(offset), 4 * uint64_t(count), length))
        return -2;
    if (std::fseek(f, offset, SEEK_SET) != 0)
        return -2;
    for (int i = 0; i < count; ++i)
        out[i] = int(fgetmi4(f, tf.order));
    return count;
}

int arr_from_tiffOffset(const char *path, int count, int offset, int *out)
{
    if (count <= 1)
        return arr_from_tiffOffset(static_cast<FILE *>(nullptr), count, offset, out);
    platform::FilePtr f = platform::open_file(path, "rb");
    if (!f && kVerbose)
        std::fprintf(stderr, "can't open %s\n", path ? path : "(null)");
    return f ? arr_from_tiffOffset(f.get(), count, offset, out) : -1;
}
