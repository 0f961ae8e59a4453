// The ICC profile a JPEG file carries in APP2 chunks, reassembled from the markers the decoder
// saved. One set of rules for every JPEG reader, the bitmap decoder and the source probes alike.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace platform {

// The ICC chunk rules, fed one marker at a time in file order. A marker counts when it is APP2,
// holds at least 14 bytes and starts with "ICC_PROFILE" and a zero byte; byte 12 is its
// sequence number (0 taken as 1 when the count is 1), byte 13 the chunk count, which every
// counting marker must share; each number 1..count must come exactly once. Chunk s contributes
// its length - 14 bytes and starts after chunks 1..s-1.
// Plain data that only points into the markers: it may live in a frame libjpeg jumps back to.
class IccChunks {
public:
    // One marker's data (after its length field) as the decoder saved it; code 0xE2 is APP2.
    void add(int code, const uint8_t *bytes, size_t n);
    // The profile's length; 0 without a complete profile.
    size_t total() const;
    // Copies the profile into dest when it is complete and fits capacity bytes (dest may be
    // null; nothing is written otherwise). Returns total().
    size_t copy(uint8_t *dest, size_t capacity) const;

private:
    std::array<const uint8_t *, 256> m_data{};
    std::array<size_t, 256> m_length{};
    int m_count = 0;
    bool m_any = false;
    bool m_broken = false;
};

} // namespace platform
