// Overflow-checked size arithmetic for buffer sizes. Every width x height x samples x bytes
// product of the project goes through these.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>

namespace platform {

// a x b, or nothing on overflow.
inline std::optional<size_t> checked_mul(size_t a, size_t b)
{
    size_t r;
    if (__builtin_mul_overflow(a, b, &r))
        return std::nullopt;
    return r;
}

// The product of the factors, or nothing when one is negative or the product overflows.
inline std::optional<size_t> checked_product(std::initializer_list<int64_t> factors)
{
    size_t r = 1;
    for (int64_t f : factors) {
        if (f < 0)
            return std::nullopt;
        if (__builtin_mul_overflow(r, static_cast<uint64_t>(f), &r))
            return std::nullopt;
    }
    return r;
}

// Bytes of a w x h image of spp samples of bytesPerSample bytes; nothing when a factor is
// below 1 or the product overflows.
inline std::optional<size_t> image_bytes(int64_t w, int64_t h, int64_t spp, int64_t bytesPerSample)
{
    if (w < 1 || h < 1 || spp < 1 || bytesPerSample < 1)
        return std::nullopt;
    return checked_product({w, h, spp, bytesPerSample});
}

// The largest image the processing takes: the kernels carry a pixel count, and a row of 16-bit
// samples in bytes, in int arguments.
inline constexpr int64_t kMaxKernelPixels = INT_MAX;

// True when a w x h image of spp samples is within those int arguments: sides and spp of 1 or
// more, at most kMaxKernelPixels pixels and rows of at most INT_MAX bytes at 16 bits a sample.
inline bool kernel_sized(int64_t w, int64_t h, int64_t spp)
{
    if (w < 1 || h < 1 || spp < 1)
        return false;
    auto pixels = checked_product({w, h});
    auto rowBytes = checked_product({w, spp, 2});
    return pixels && *pixels <= uint64_t(kMaxKernelPixels) && rowBytes &&
           *rowBytes <= uint64_t(INT_MAX);
}

// True when [offset, offset + length) lies inside a buffer or file of size bytes.
inline bool range_inside(uint64_t offset, uint64_t length, uint64_t size)
{
    return offset <= size && length <= size - offset;
}

} // namespace platform
