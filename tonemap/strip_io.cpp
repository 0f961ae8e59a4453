// Strip transfers of the out-of-core mode. Messages behind the switch, as the rest of the module.
#include "tonemap/strip_io.h"

#include <sys/types.h>

namespace {

constexpr int kTraceStrips = 0;

bool seek_element(FILE *stream, int64_t offset)
{
    return stream && offset >= 0 && offset <= INT64_MAX / 4 &&
           ::fseeko(stream, static_cast<off_t>(offset * 4), SEEK_SET) == 0;
}

} // namespace

int write_strip(FILE *stream, int64_t offset, int count, const float *buffer)
{
    if (!buffer || count < 0 || !seek_element(stream, offset))
        return -20;
    const size_t items = std::fwrite(buffer, static_cast<size_t>(count), 4, stream);
    if (items != 4) {
        if (kTraceStrips)
            std::printf("could not write to temporary file in tm20 - - returned %d instead of 4 \n",
                        static_cast<int>(items));
        return -20;
    }
    return 4;
}

int read_strip(FILE *stream, int64_t offset, int count, float *buffer)
{
    if (!buffer || count < 0 || !seek_element(stream, offset))
        return -20;
    const size_t items = std::fread(buffer, static_cast<size_t>(count), 4, stream);
    if (items != 4) {
        if (kTraceStrips)
            std::printf("can not read temporary file - returned %d instead of 4 in tm20\n",
                        static_cast<int>(items));
        return -20;
    }
    return 4;
}
