// TIFF header probe. Every offset and count read from the file is checked against the file's
// length before it is followed; the directory chain is the bounded walk of tiff_ifd.h.
#include "imagecore/tiff_probe.h"

#include <climits>
#include <cstdio>

#include "imagecore/byte_order.h"
#include "imagecore/float_clamp.h"
#include "imagecore/records.h"
#include "imagecore/tiff_ifd.h"
#include "platform/checked_size.h"
#include "platform/file_holder.h"

namespace {

// Diagnostics on standard error; off.
constexpr int kVerbose = 0;

constexpr uint16_t kTagIcc = 34675;

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
    imagecore::TiffBytes tf = imagecore::TiffBytes::in_file(f, length);
    uint32_t firstIfd;
    int result = imagecore::read_tiff_header(tf, firstIfd);
    if (result < 0)
        return result;
    int *info = imageInfos;
    imagecore::walk_ifds(tf, firstIfd, {}, [&](int, const imagecore::TiffEntry &e) {
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
                    if (tf.u16(e.word, bits))
                        info[kInfoBits] = bits;
                }
            }
            break;
        case 282:
            if (info[kInfoXRes] == 0) {
                uint32_t num = 0, den = 0;
                if (tf.u32(e.word, num) && tf.u32(uint64_t(e.word) + 4, den) && float(den) > 0.0f)
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
    imagecore::TiffBytes tf = imagecore::TiffBytes::in_file(f, length);
    uint32_t firstIfd;
    int header = imagecore::read_tiff_header(tf, firstIfd);
    if (header == -2)
        return 0;
    if (header < 0)
        return header;
    int result = 0;
    imagecore::walk_ifds(tf, firstIfd, {}, [&](int, const imagecore::TiffEntry &e) {
        if (e.tag != kTagIcc)
            return true;
        if (!platform::range_inside(e.word, e.count, tf.length))
            result = -2;
        else if (e.count > capacity || e.count > uint32_t(INT_MAX))
            result = -3;
        else if (e.count > 0 && (!dest || !tf.read(e.word, dest, e.count)))
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
    uint16_t order = imagecore::kOrderMM;
    uint8_t mark[2];
    if (platform::read_at(f, length, 0, mark, 2) &&
        imagecore::read_be16(mark) == imagecore::kOrderII)
        order = imagecore::kOrderII;
    if (offset < 0 || !platform::range_inside(uint64_t(offset), 4 * uint64_t(count), length))
        return -2;
    if (std::fseek(f, offset, SEEK_SET) != 0)
        return -2;
    for (int i = 0; i < count; ++i)
        out[i] = int(fgetmi4(f, order));
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
