// Data objects own a C heap buffer so that calloc'd kernel results can be adopted as they are.
#include "platform/data.h"

#include "platform/file_holder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace platform {

DataPtr Data::adopt(void *bytes, size_t length)
{
    if (bytes == nullptr && length > 0)
        return nullptr;
    std::unique_ptr<Data> owner;
    try {
        owner.reset(new Data(static_cast<uint8_t *>(bytes), length));
    } catch (const std::bad_alloc &) {
        std::free(bytes);
        return nullptr;
    }
    try {
        return DataPtr(std::move(owner));
    } catch (const std::bad_alloc &) {
        // The control block could not be had: owner still holds the object and frees the bytes.
        return nullptr;
    }
}

DataPtr Data::copy(const void *bytes, size_t length)
{
    // calloc(0) may return null; keep one byte so an empty object still has a buffer.
    void *p = std::calloc(length ? length : 1, 1);
    if (p == nullptr)
        return nullptr;
    if (length && bytes)
        std::memcpy(p, bytes, length);
    return adopt(p, length);
}

DataPtr Data::zeroed(size_t length)
{
    void *p = std::calloc(length ? length : 1, 1);
    if (p == nullptr)
        return nullptr;
    return adopt(p, length);
}

Data::~Data()
{
    std::free(m_bytes);
}

void Data::getBytes(void *dst, size_t length) const
{
    size_t n = length < m_length ? length : m_length;
    if (n)
        std::memcpy(dst, m_bytes, n);
}

DataPtr contents_at_path(const std::string &path)
{
    uint64_t length = 0;
    FilePtr f = open_measured(path.c_str(), length);
    if (!f || length > SIZE_MAX - 1)
        return nullptr;
    auto bytes = calloc_buffer<uint8_t>(size_t(length) + 1);
    if (!bytes || !read_at(f.get(), length, 0, bytes.get(), size_t(length)))
        return nullptr;
    return Data::adopt(bytes.release(), size_t(length));
}

} // namespace platform
