// The fuzz input as a read-only stream over its own bytes (fmemopen), for the readers that take a
// FILE *: no file is written, opened or removed for an input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/file_holder.h"

namespace fuzzsupport {

class MemoryStream {
public:
    // Null for an empty input, which fmemopen does not take.
    MemoryStream(const uint8_t *data, size_t size)
        : m_f(size ? fmemopen(const_cast<uint8_t *>(data), size, "rb") : nullptr)
    {
    }
    FILE *get() const { return m_f.get(); }
    explicit operator bool() const { return m_f != nullptr; }

private:
    platform::FilePtr m_f;
};

} // namespace fuzzsupport
