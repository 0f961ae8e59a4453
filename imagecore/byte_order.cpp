#include "imagecore/byte_order.h"

namespace {
// getc's EOF (-1) truncated to a byte is 0xFF, which is what the readers promise.
inline uint32_t next(FILE *f)
{
    return static_cast<uint8_t>(std::getc(f));
}
} // namespace

uint16_t fgetmi2(FILE *f, uint16_t order)
{
    uint32_t a = next(f), b = next(f);
    return static_cast<uint16_t>(order == imagecore::kOrderII ? (b << 8 | a) : (a << 8 | b));
}

uint32_t fgetmi4(FILE *f, uint16_t order)
{
    uint32_t a = next(f), b = next(f), c = next(f), d = next(f);
    if (order == imagecore::kOrderII)
        return d << 24 | c << 16 | b << 8 | a;
    return a << 24 | b << 16 | c << 8 | d;
}

uint16_t fgetm2(FILE *f)
{
    return fgetmi2(f, imagecore::kOrderMM);
}
uint32_t fgetm4(FILE *f)
{
    return fgetmi4(f, imagecore::kOrderMM);
}
