// Metadata insertion. The XMP wrapper is found by plain text comparison, as the settings-packet
// reader finds its elements; an IPTC block is edited as bytes, datasets located by their tag
// marker.
#include "metadata/metadata_insertion.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "imagecore/byte_order.h"
#include "metadata/metadata_utils.h"
#include "metadata/xmp_settings.h"
#include "platform/checked_size.h"
#include "platform/file_holder.h"

namespace {

constexpr uint8_t kIptcMarker = 0x1C;
constexpr uint8_t kKeyword = 0x19; // dataset 2:25
constexpr size_t kDatasetHead = 5; // marker, record, dataset, u16 length
// The record-version dataset (2:00) that starts a new block: version 4, big-endian.
constexpr uint8_t kRecordVersion[] = {kIptcMarker, 0x02, 0x00, 0x00, 0x02, 0x00, 0x04};

bool xml_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The start tag `<name ...>` at p[i]: whether its attribute attr holds the namespace name ns,
// whatever other attributes it carries and in whatever order (photo editors add their own),
// and where it ends (just after its ">"). false for a self-closing or malformed tag.
bool declares_namespace(std::string_view p, size_t i, std::string_view name, std::string_view attr,
                        std::string_view ns, size_t &end)
{
    size_t q = i + 1 + name.size();
    if (q >= p.size() || !(xml_space(p[q]) || p[q] == '>'))
        return false;
    bool found = false;
    for (;;) {
        while (q < p.size() && xml_space(p[q]))
            ++q;
        if (q >= p.size())
            return false;
        if (p[q] == '>') {
            end = q + 1;
            return found;
        }
        const size_t nameBegin = q;
        while (q < p.size() && !xml_space(p[q]) && p[q] != '=' && p[q] != '>' && p[q] != '/')
            ++q;
        if (q == nameBegin)
            return false; // "/>" or a stray character
        const std::string_view attrName = p.substr(nameBegin, q - nameBegin);
        while (q < p.size() && xml_space(p[q]))
            ++q;
        if (q >= p.size() || p[q] != '=')
            return false;
        ++q;
        while (q < p.size() && xml_space(p[q]))
            ++q;
        if (q >= p.size() || (p[q] != '\'' && p[q] != '"'))
            return false;
        // A value runs to the same quote; ">" may stand inside it.
        const size_t close = p.find(p[q], q + 1);
        if (close == std::string_view::npos)
            return false;
        if (attrName == attr && p.substr(q + 1, close - q - 1) == ns)
            found = true;
        q = close + 1;
    }
}

// The first start tag `<name ...>` in p[from, n) that declares ns for attr: its position, and
// its end in end; npos when there is none.
size_t find_declaring_tag(std::string_view p, size_t from, std::string_view name,
                          std::string_view attr, std::string_view ns, size_t &end)
{
    for (size_t i = p.find('<', from); i != std::string_view::npos; i = p.find('<', i + 1))
        if (p.compare(i + 1, name.size(), name) == 0 &&
            declares_namespace(p, i, name, attr, ns, end))
            return i;
    return std::string_view::npos;
}

} // namespace

int add_iptc_keyword(int inputLen, const uint8_t *input, int keywordLen, const uint8_t *keyword,
                     uint8_t *output)
{
    if (inputLen < 0 || keywordLen < 0 || keywordLen > 0xFFFF ||
        int64_t(inputLen) + keywordLen + int64_t(sizeof kRecordVersion) + 5 > INT_MAX)
        return -1;
    if (output == nullptr || (inputLen > 0 && input == nullptr) ||
        (keywordLen > 0 && keyword == nullptr))
        return -3;
    uint8_t head[kDatasetHead] = {kIptcMarker, 0x02, kKeyword};
    imagecore::put_be16(head + 3, uint16_t(keywordLen));

    size_t at = sizeof kRecordVersion;
    if (inputLen > 0) {
        // After the last keyword, else the last record-2 dataset, else the first dataset, among
        // the whole datasets (bytes inside a dataset's data are data, whatever they look like);
        // one that starts the block does not count.
        const size_t n = size_t(inputLen);
        bool keywordSeen = false;
        at = 0;
        for (size_t i = 0; i < n;) {
            const size_t len = size_t(iptc_record_length(input + i, n - i, n - i));
            if (len == 0)
                break;
            const bool isKeyword = input[i + 1] == 0x02 && input[i + 2] == kKeyword;
            if (i == 0 || (input[i + 1] == 0x02 && (isKeyword || !keywordSeen))) {
                at = i + len;
                keywordSeen = keywordSeen || (i > 0 && isKeyword);
            }
            i += len;
        }
        if (at == 0)
            return -1; // not one whole dataset
        std::memcpy(output, input, at);
    } else {
        std::memcpy(output, kRecordVersion, sizeof kRecordVersion);
    }
    std::memcpy(output + at, head, kDatasetHead);
    if (keywordLen > 0)
        std::memcpy(output + at + kDatasetHead, keyword, size_t(keywordLen));
    if (size_t(inputLen) > at)
        std::memcpy(output + at + kDatasetHead + size_t(keywordLen), input + at,
                    size_t(inputLen) - at);
    return int(at);
}

int extract_xmp(const char *path, int length, int offset, char *buffer)
{
    if (buffer == nullptr || length == INT_MAX)
        return -3;
    uint64_t size = 0;
    platform::FilePtr f = platform::open_measured(path, size);
    if (!f || size < 1)
        return -1;
    // A packet that ends at the file's last byte (the last thing in a TIFF) is whole.
    if (length < 0 || offset < 0 ||
        !platform::range_inside(uint64_t(offset), uint64_t(length), size))
        return 0;
    if (length > 0 && !platform::read_at(f.get(), size, uint64_t(offset), buffer, size_t(length)))
        return -1;
    buffer[length] = '\0';
    return get_settings_from_xmp(-1, length + 1, buffer, nullptr, nullptr);
}

int write_xmp(const char *path, int tmMethod, const float *tmParam)
{
    if (!metadata::is_settings_method(tmMethod))
        return -2;
    if (tmParam == nullptr)
        return -3;
    // The packet is made before the file, so that running out of memory leaves no file behind.
    const int n = embed_xmp(0, tmMethod, tmParam, 0, nullptr, nullptr);
    if (n < 0)
        return n;
    std::vector<char> packet;
    try {
        packet.assign(size_t(n) + 1, '\0');
    } catch (const std::bad_alloc &) {
        return -4;
    }
    if (embed_xmp(1, tmMethod, tmParam, 0, nullptr, packet.data()) != n)
        return -4;
    platform::FilePtr f = platform::open_file(path, "wb");
    if (!f)
        return -1;
    const bool written = std::fwrite(packet.data(), 1, size_t(n), f.get()) == size_t(n);
    // The data reaches the file only when it closes: a full disk shows there.
    const bool closed = std::fclose(f.release()) == 0;
    return written && closed ? 1 : -3;
}

int insert_xmp(int embed_type, int tmMethod, const float *tmParam, int packetLen, int insertedLen,
               char *packet)
{
    if (tmMethod > INT_MAX - 200)
        return -3;
    // Method 0 or below has no description; embed_xmp would give the wrapper for it.
    const int n = tmMethod > 0 ? embed_xmp(0, tmMethod + 200, tmParam, 0, nullptr, nullptr) : 0;
    if (embed_type == 0 || n <= 0)
        return n;
    if (packet == nullptr || packetLen < 0)
        return -3;

    const std::string_view p(packet, size_t(packetLen));
    const std::string_view xNs = metadata::kXmpMetaNamespace, rdfNs = metadata::kRdfNamespace;
    // The shortest forms of the two tags: "<x:xmpmeta xmlns:x='ns'" (34 bytes with the standard
    // name) and "<rdf:RDF xmlns:rdf='ns'>" (65).
    const size_t xLen = 19 + 1 + xNs.size(), rdfLen = 19 + 2 + rdfNs.size() + 1;
    const auto stopped_at = [&](size_t shortest) {
        return -int(std::min(std::max(p.size(), shortest), size_t(INT_MAX)));
    };
    size_t xEnd = 0, e = 0;
    const size_t x = find_declaring_tag(p, 0, "x:xmpmeta", "xmlns:x", xNs, xEnd);
    if (x == std::string_view::npos)
        return stopped_at(xLen);
    if (find_declaring_tag(p, xEnd, "rdf:RDF", "xmlns:rdf", rdfNs, e) == std::string_view::npos)
        return stopped_at(x + xLen + rdfLen);

    size_t at = e;
    if (p.size() > e + 2 && p[e + 1] == '\n')
        at = p[e + 2] == '\n' ? e + 2 : e + 1;
    if (p.size() < at + 3)
        return -1;
    // A length other than the description's would cut the packet's tail or leave a gap.
    if (insertedLen != n)
        return -3;
    std::vector<char> description;
    try {
        description.assign(size_t(n), '\0');
    } catch (const std::bad_alloc &) {
        return -4;
    }
    if (embed_xmp(1, tmMethod + 200, tmParam, 0, nullptr, description.data()) != n)
        return -4;
    std::memmove(packet + at + size_t(n), packet + at, p.size() - at);
    std::memcpy(packet + at, description.data(), size_t(n));
    return n;
}
