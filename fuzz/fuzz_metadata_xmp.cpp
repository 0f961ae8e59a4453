// Fuzz entry point of the settings-packet reader: get_settings_from_xmp in every mode over the
// input made zero-terminated (the settings of one method a run, chosen by the input's last byte),
// and once over the raw input (which must be refused unless it ends in a zero byte); the parse
// itself, whose positions must lie in the packet.
#include <cstdint>
#include <cstring>
#include <vector>

#include "metadata/xmp_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > (size_t(1) << 24))
        return 0;
    std::vector<char> packet(data, data + size);
    packet.push_back(0);
    const int length = int(packet.size());

    char lens[64] = {};
    get_settings_from_xmp(100, length, packet.data(), lens, nullptr);
    if (strnlen(lens, sizeof lens) > 63)
        __builtin_trap();
    get_settings_from_xmp(-1, length, packet.data(), nullptr, nullptr);
    // Each parse costs: one method's settings a run.
    float settings[20] = {};
    constexpr int kModes[] = {0, 1, 2, 10, 11};
    get_settings_from_xmp(kModes[size > 0 ? data[size - 1] % 5 : 0], length, packet.data(), nullptr,
                          settings);
    const metadata::SettingsPacket scan({packet.data(), size});
    if (scan.fault_at() > size || (scan.lens() && scan.lens()->pos > size))
        __builtin_trap();
    for (const auto &property : scan.properties())
        if (property.pos == 0 || property.pos > size || property.grown > property.text.size())
            __builtin_trap();
    metadata::recorded_method({packet.data(), size});
    if (size > 0) {
        float p[20] = {};
        int rc =
            get_settings_from_xmp(1, int(size), reinterpret_cast<const char *>(data), nullptr, p);
        if (data[size - 1] != 0 && rc != -3)
            __builtin_trap();
    }
    return 0;
}
