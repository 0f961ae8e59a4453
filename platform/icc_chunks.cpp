// Reassembly of the ICC profile from its JPEG APP2 chunks.
#include "platform/icc_chunks.h"

#include <cstring>

namespace platform {
namespace {

constexpr int kApp2 = 0xE2;
constexpr uint8_t kIccSignature[12] = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0};

} // namespace

void IccChunks::add(int code, const uint8_t *bytes, size_t n)
{
    if (m_broken || code != kApp2 || n < 14 || !bytes ||
        std::memcmp(bytes, kIccSignature, sizeof kIccSignature) != 0)
        return;
    int seq = bytes[12], chunks = bytes[13];
    if (!m_any) {
        m_any = true;
        m_count = chunks;
    } else if (chunks != m_count) {
        m_broken = true;
        return;
    }
    if (m_count == 1 && seq == 0)
        seq = 1;
    if (seq < 1 || seq > m_count || m_data[size_t(seq)]) {
        m_broken = true;
        return;
    }
    m_data[size_t(seq)] = bytes + 14;
    m_length[size_t(seq)] = n - 14;
}

size_t IccChunks::total() const
{
    if (m_broken || !m_any)
        return 0;
    size_t sum = 0;
    for (int s = 1; s <= m_count; ++s) {
        if (!m_data[size_t(s)])
            return 0;
        sum += m_length[size_t(s)];
    }
    return sum;
}

size_t IccChunks::copy(uint8_t *dest, size_t capacity) const
{
    const size_t length = total();
    if (!dest || length == 0 || length > capacity)
        return length;
    for (int s = 1; s <= m_count; ++s) {
        std::memcpy(dest, m_data[size_t(s)], m_length[size_t(s)]);
        dest += m_length[size_t(s)];
    }
    return length;
}

} // namespace platform
