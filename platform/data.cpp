// Data objects own a C heap buffer so that calloc'd kernel results can be adopted as they are.
#include "platform/data.h"

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
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return nullptr;
    DataPtr result;
    if (std::fseek(f, 0, SEEK_END) == 0) {
        long len = std::ftell(f);
        if (len >= 0 && std::fseek(f, 0, SEEK_SET) == 0) {
            void *p = std::calloc(static_cast<size_t>(len) + 1, 1);
            if (p && std::fread(p, 1, static_cast<size_t>(len), f) == static_cast<size_t>(len))
                result = Data::adopt(p, static_cast<size_t>(len));
            else
                std::free(p);
        }
    }
    std::fclose(f);
    return result;
}

} // namespace platform
