// The ICC profile a JPEG file carries in APP2 chunks, reassembled from the markers the decoder
// saved. One set of rules for every JPEG reader, the bitmap decoder and the source probes alike.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace platform {

// One marker's data (after its length field) as the decoder saved it, in file order.
struct JpegMarker {
    int code; // 0xE2 for APP2
    const uint8_t *data;
    size_t length;
};

// The ICC chunk rules, fed one marker at a time in file order. A marker counts when it is APP2,
// holds at least 14 bytes and starts with "ICC_PROFILE" and a zero byte; byte 12 is its
// sequence number (0 taken as 1 when the count is 1), byte 13 the chunk count, which every
// counting marker must share; each number 1..count must come exactly once. Chunk s contributes
// its length - 14 bytes and starts after chunks 1..s-1.
// Plain data that only points into the markers: it may live in a frame libjpeg jumps back to.
class IccChunks {
public:
    void add(int code, const uint8_t *bytes, size_t n);
    // The profile's length; 0 without a complete profile.
    size_t total() const;
    // Copies the profile (total() bytes, to be called only when that is above 0) into dest.
    void copy(uint8_t *dest) const;

private:
    std::array<const uint8_t *, 256> m_data{};
    std::array<size_t, 256> m_length{};
    int m_count = 0;
    bool m_any = false;
    bool m_broken = false;
};

// The rules of IccChunks over markers in file order. Returns the profile's total length, 0 when
// there is no complete profile. When dest is not null and the total fits capacity, the profile
// is copied into dest.
size_t assemble_icc_chunks(std::span<const JpegMarker> markers, uint8_t *dest, size_t capacity);

} // namespace platform
