// Fuzz entry point of the metadata insertion: extract_xmp over the input as a file (whole, and
// at an offset and length taken from its first bytes), insert_xmp into the input as a packet,
// and add_iptc_keyword into the input as an IPTC block.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/memory_file.h"
#include "metadata/metadata_insertion.h"
#include "tonemap/tm_params.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > (size_t(1) << 24))
        return 0;
    static fuzzsupport::MemoryFile file;
    const char *path = file.write(data, size, "xmp");
    if (!path)
        return 0;
    std::vector<char> buf(size + 1, 0);
    extract_xmp(path, int(size), 0, buf.data());
    if (size >= 4) {
        const int offset = data[0] | data[1] << 8, length = data[2] | data[3] << 8;
        std::vector<char> part(size_t(length) + 1, 0);
        extract_xmp(path, length, offset, part.data());
    }

    float p[kTmParamCount];
    tmparam_default(1, 0, p);
    const int n = insert_xmp(0, 1, p, 0, 0, nullptr);
    // An empty input may come without a buffer: nothing is copied from or compared with it.
    const std::string_view input =
        size > 0 ? std::string_view(reinterpret_cast<const char *>(data), size)
                 : std::string_view();
    std::string packet(input);
    packet.resize(size + size_t(n), '\0');
    const int rc = insert_xmp(1, 1, p, int(size), n, packet.data());
    // Refused: the packet is the input. Inserted: the input, split at one point around the n
    // new bytes.
    if (rc <= 0 && std::string_view(packet).substr(0, size) != input)
        __builtin_trap();
    if (rc > 0) {
        size_t prefix = 0, suffix = 0;
        while (prefix < size && packet[prefix] == input[prefix])
            ++prefix;
        while (suffix < size && packet[packet.size() - 1 - suffix] == input[size - 1 - suffix])
            ++suffix;
        if (rc != n || prefix + suffix < size)
            __builtin_trap();
    }

    static const uint8_t keyword[] = {'f', 'u', 'z', 'z'};
    std::vector<uint8_t> block(size + sizeof keyword + 12);
    add_iptc_keyword(int(size), data, int(sizeof keyword), keyword, block.data());
    return 0;
}
