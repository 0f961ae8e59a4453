#include "platform/file_holder.h"

namespace platform {

long file_length(FILE *f)
{
    if (!f)
        return -1;
    long here = std::ftell(f);
    if (here < 0 || std::fseek(f, 0, SEEK_END) != 0)
        return -1;
    long end = std::ftell(f);
    if (std::fseek(f, here, SEEK_SET) != 0)
        return -1;
    return end;
}

} // namespace platform
