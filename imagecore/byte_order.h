// Byte-order reads: stream readers over C files, used by every file reader of the project, and
// bounds-checked readers and writers over memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Stream readers. The byte-order word is the TIFF mark: 0x4949 ("II") reads little-endian, any
// other value big-endian. End of file is not detected: a missing byte reads as 0xFF, so callers
// that face hostile files check the length or feof() themselves.
uint16_t fgetmi2(FILE *f, uint16_t order);
uint32_t fgetmi4(FILE *f, uint16_t order);
uint16_t fgetm2(FILE *f); // big-endian
uint32_t fgetm4(FILE *f); // big-endian

namespace imagecore {

inline constexpr uint16_t kOrderII = 0x4949;
inline constexpr uint16_t kOrderMM = 0x4D4D;

inline uint16_t read_be16(const uint8_t *p)
{
    return uint16_t(p[0] << 8 | p[1]);
}
inline uint16_t read_le16(const uint8_t *p)
{
    return uint16_t(p[1] << 8 | p[0]);
}
inline uint32_t read_be32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline uint32_t read_le32(const uint8_t *p)
{
    return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}
inline uint64_t read_be64(const uint8_t *p)
{
    return uint64_t(read_be32(p)) << 32 | read_be32(p + 4);
}
inline uint16_t read_u16(const uint8_t *p, uint16_t order)
{
    return order == kOrderII ? read_le16(p) : read_be16(p);
}
inline uint32_t read_u32(const uint8_t *p, uint16_t order)
{
    return order == kOrderII ? read_le32(p) : read_be32(p);
}

inline void put_le16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void put_le32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
inline void put_be16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
inline void put_be32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

} // namespace imagecore
