// The directory walk of TIFF structures, shared by every reader of one: the TIFF probe, the EXIF
// readers over files (a TIFF file, the EXIF block of a JPEG or PSD) and over memory. Each read is
// checked against the end of the file or block, and a chain ends at a zero offset, an offset
// outside the data, a directory already visited or after a bounded number of directories, so a
// hostile file can neither send a reader out of bounds nor keep it walking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "imagecore/byte_order.h"

namespace imagecore {

// TIFF field types.
inline constexpr uint16_t kTypeByte = 1, kTypeAscii = 2, kTypeShort = 3, kTypeLong = 4,
                          kTypeRational = 5, kTypeUndefined = 7, kTypeSRational = 10;

// Directories followed at most in one chain: far more than any photo holds.
inline constexpr int kMaxIfds = 64;

// The byte-order word of a TIFF header's first two bytes: kOrderII or kOrderMM, 0 for neither.
inline uint16_t tiff_byte_order(const uint8_t *p)
{
    const uint16_t mark = read_be16(p);
    return mark == kOrderII || mark == kOrderMM ? mark : 0;
}

// Where entry i of the directory at dir lies (past its u16 entry count); for i = the entry
// count, where its next-directory offset lies.
inline int64_t ifd_entry_pos(int64_t dir, int64_t i)
{
    return dir + 2 + 12 * i;
}

// One TIFF structure, in an open file or in a memory block, with its byte order. Offsets count
// from the structure's header (base), as the offsets stored in it do.
struct TiffBytes {
    FILE *file = nullptr;          // the structure lies in this file ...
    const uint8_t *data = nullptr; // ... or in this block
    uint64_t length = 0;           // bytes of the file or block
    uint64_t base = 0;             // where the header lies in them
    uint16_t order = kOrderMM;

    static TiffBytes in_file(FILE *f, uint64_t fileLength, uint64_t base = 0,
                             uint16_t order = kOrderMM)
    {
        return {f, nullptr, fileLength, base, order};
    }
    static TiffBytes in_memory(const uint8_t *block, size_t blockLength, uint16_t order = kOrderMM)
    {
        return {nullptr, block, blockLength, 0, order};
    }

    // Bytes from offset off to the end (0 past it).
    uint64_t left(uint64_t off) const;
    // Reads n bytes at off; false (dst may be partly written) unless they all lie inside.
    bool read(uint64_t off, void *dst, size_t n) const;
    bool u16(uint64_t off, uint16_t &v) const;
    bool u32(uint64_t off, uint32_t &v) const;
};

// Reads the header at the structure's base: sets order, and firstIfd (0 when the header ends
// before it). Returns 2 for "II", 1 for "MM"; -2 when the mark is neither (or missing), -3 when
// the magic is not 42.
int read_tiff_header(TiffBytes &t, uint32_t &firstIfd);

// A 12-byte directory entry.
struct TiffEntry {
    uint16_t tag = 0, type = 0;
    uint32_t count = 0;
    uint32_t value = 0;    // the first value of a SHORT of count 1 or 2, else the field's u32
    uint32_t word = 0;     // the value field as a u32
    uint8_t field[4] = {}; // the value field in file order
    int64_t fieldAt = 0;   // offset of the value field (data of 4 bytes or fewer lies there)
};

// The entry whose 12 bytes are at p, which lie at offset `at` of the structure.
TiffEntry read_tiff_entry(const uint8_t *p, uint16_t order, int64_t at = 0);

// A directory: its offset, its entry count and how many of its entries lie inside the data.
struct IfdHead {
    uint32_t at = 0;
    uint16_t count = 0;
    uint16_t readable = 0;
};
// false when the entry count itself does not lie inside.
bool read_ifd_head(const TiffBytes &t, uint64_t at, IfdHead &head);

// Calls visit(entry) for each readable entry of the directory, in file order, until visit
// returns false. Returns false when visit ended it or an entry could not be read.
template <class Visit> bool walk_ifd(const TiffBytes &t, const IfdHead &d, Visit visit)
{
    for (int i = 0; i < d.readable; ++i) {
        const int64_t at = ifd_entry_pos(d.at, i);
        uint8_t e[12];
        if (!t.read(uint64_t(at), e, sizeof e) || !visit(read_tiff_entry(e, t.order, at)))
            return false;
    }
    return true;
}

struct IfdChainLimits {
    int maxIfds = kMaxIfds; // directories walked at most
    bool stopAt255 = false; // a directory of exactly 255 entries is the last one
};

// Walks the chain from firstIfd, calling visitDir(k, head) for directory k (0 the first) and
// following its next-directory offset. The chain ends at a zero offset, a directory whose count
// or entries do not all lie inside (it is still visited with what is readable), one already
// visited, after limits.maxIfds directories, when visitDir returns false, and with stopAt255
// after a directory of 255 entries.
template <class VisitDir>
void walk_ifd_chain(const TiffBytes &t, uint32_t firstIfd, const IfdChainLimits &limits,
                    VisitDir visitDir)
{
    uint32_t visited[kMaxIfds];
    const int maxIfds = limits.maxIfds < kMaxIfds ? limits.maxIfds : kMaxIfds;
    uint32_t at = firstIfd;
    for (int k = 0; at != 0 && k < maxIfds; ++k) {
        for (int i = 0; i < k; ++i)
            if (visited[i] == at)
                return;
        visited[k] = at;
        IfdHead d;
        if (!read_ifd_head(t, at, d) || !visitDir(k, d) || d.readable < d.count ||
            (limits.stopAt255 && d.count == 255))
            return;
        if (!t.u32(uint64_t(ifd_entry_pos(at, d.count)), at))
            return;
    }
}

// The chain walked entry by entry: visit(k, entry) for each entry of directory k; false from
// visit ends the whole walk.
template <class Visit>
void walk_ifds(const TiffBytes &t, uint32_t firstIfd, const IfdChainLimits &limits, Visit visit)
{
    walk_ifd_chain(t, firstIfd, limits, [&](int k, const IfdHead &d) {
        return walk_ifd(t, d, [&](const TiffEntry &e) { return visit(k, e); });
    });
}

} // namespace imagecore
