// Byte buffers that travel between job objects: the stand-in for the framework's data object.
// A null DataPtr plays the part of nil; setters that "retain the new, release the old" become
// plain DataPtr members.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

class Data;
using DataPtr = std::shared_ptr<Data>;
using DataArray = std::vector<DataPtr>;
using StringArray = std::vector<std::string>;

class Data {
public:
    // Takes ownership of a malloc/calloc'd buffer without copying; it is freed with free().
    // Returns null when bytes is null and length > 0.
    static DataPtr adopt(void *bytes, size_t length);
    // Copies length bytes (a null source with length 0 gives an empty object).
    static DataPtr copy(const void *bytes, size_t length);
    // A zero-filled buffer of length bytes, or null when it cannot be allocated.
    static DataPtr zeroed(size_t length);

    ~Data();
    Data(const Data &) = delete;
    Data &operator=(const Data &) = delete;

    const uint8_t *bytes() const { return m_bytes; }
    uint8_t *mutableBytes() { return m_bytes; }
    size_t length() const { return m_length; }
    // Copies min(length, this->length()) bytes into dst.
    void getBytes(void *dst, size_t length) const;

private:
    Data(uint8_t *bytes, size_t length) : m_bytes(bytes), m_length(length) {}
    uint8_t *m_bytes;
    size_t m_length;
};

// Reads a whole file; null when it cannot be opened or read.
DataPtr contents_at_path(const std::string &path);

} // namespace platform
