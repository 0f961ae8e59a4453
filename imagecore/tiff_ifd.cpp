#include "imagecore/tiff_ifd.h"

#include <climits>
#include <cstring>

#include "platform/checked_size.h"
#include "platform/file_holder.h"

namespace imagecore {

uint64_t TiffBytes::left(uint64_t off) const
{
    const uint64_t size = length >= base ? length - base : 0;
    return off <= size ? size - off : 0;
}

bool TiffBytes::read(uint64_t off, void *dst, size_t n) const
{
    if (length < base || !platform::range_inside(off, n, length - base))
        return false;
    if (data != nullptr) {
        std::memcpy(dst, data + base + off, n);
        return true;
    }
    return file != nullptr && platform::read_at(file, length, base + off, dst, n);
}

bool TiffBytes::u16(uint64_t off, uint16_t &v) const
{
    uint8_t b[2];
    if (!read(off, b, 2))
        return false;
    v = read_u16(b, order);
    return true;
}

bool TiffBytes::u32(uint64_t off, uint32_t &v) const
{
    uint8_t b[4];
    if (!read(off, b, 4))
        return false;
    v = read_u32(b, order);
    return true;
}

int read_tiff_header(TiffBytes &t, uint32_t &firstIfd)
{
    firstIfd = 0;
    uint8_t mark[2];
    if (!t.read(0, mark, 2))
        return -2;
    const uint16_t order = tiff_byte_order(mark);
    if (order == 0)
        return -2;
    t.order = order;
    uint16_t magic = 0;
    if (!t.u16(2, magic) || magic != 42)
        return -3;
    if (!t.u32(4, firstIfd))
        firstIfd = 0;
    return order == kOrderII ? 2 : 1;
}

TiffEntry read_tiff_entry(const uint8_t *p, uint16_t order, int64_t at)
{
    TiffEntry e;
    e.tag = read_u16(p, order);
    e.type = read_u16(p + 2, order);
    e.count = read_u32(p + 4, order);
    e.word = read_u32(p + 8, order);
    e.value =
        e.type == kTypeShort && (e.count == 1 || e.count == 2) ? read_u16(p + 8, order) : e.word;
    std::memcpy(e.field, p + 8, 4);
    e.fieldAt = at + 8;
    return e;
}

bool read_ifd_head(const TiffBytes &t, uint64_t at, IfdHead &head)
{
    uint16_t count = 0;
    if (at > UINT32_MAX || !t.u16(at, count))
        return false;
    head.at = uint32_t(at);
    head.count = count;
    const uint64_t fit = t.left(at + 2) / 12;
    head.readable = uint16_t(fit < count ? fit : count);
    return true;
}

} // namespace imagecore
