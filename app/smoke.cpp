// A smoke program until the driver exists: decodes the photos it is given and prints what the
// later stages will work from.
#include <cstdio>

#include "platform/bitmap.h"
#include "platform/system.h"
#include "tonemap/tm_params.h"

int main(int argc, char **argv)
{
    std::printf("processors: %d\n", platform::processor_count());
    float p[kTmParamCount];
    tmparam_default(kMethodDeredid, 0, p);
    std::printf("local operator defaults: strength %g, saturation %g, gamma slider %g\n", p[1],
                p[2], p[8]);
    int failures = 0;
    for (int i = 1; i < argc; ++i) {
        auto bmp = platform::BitmapImageRep::imageRepWithContentsOfFile(argv[i]);
        if (!bmp) {
            std::fprintf(stderr, "%s: cannot decode\n", argv[i]);
            ++failures;
            continue;
        }
        std::printf("%s: %d x %d, %d samples of %d bits, ICC profile %zu bytes\n", argv[i],
                    bmp->pixelsWide(), bmp->pixelsHigh(), bmp->samplesPerPixel(),
                    bmp->bitsPerSample(), bmp->iccProfile() ? bmp->iccProfile()->length() : 0);
    }
    return failures ? 1 : 0;
}
