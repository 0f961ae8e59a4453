// zenit_example: renders the synthetic example bracket that a fresh clone runs on: three JPEGs
// of a procedural high-dynamic-range scene four stops apart, with their exposure times in EXIF,
// written by the project's own JPEG writer.
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "metadata/jpeg_writer.h"
#include "tests/support/bracket_generator.h"
#include "tests/support/shot_records.h"

int main(int argc, char **argv)
{
    std::string dir = argc > 1 ? argv[1] : "example";
    ::mkdir(dir.c_str(), 0755);
    const int w = 1200, h = 800;
    const testsupport::RadianceMap scene = testsupport::make_radiance_map(w, h);

    // The scene spans about 18 stops (a dark corner to a sun); three shots four stops apart
    // cover it: the short one keeps the sun, the long one the corner. Times at f/8, ISO 100.
    const struct {
        float factor;
        int den; // exposure time 1/den s
    } shots[] = {{1.0f / 64, 2000}, {0.25f, 125}, {4.0f, 8}};

    int n = 0;
    for (const auto &s : shots) {
        std::vector<uint8_t> px = testsupport::render_photo(scene, s.factor, 8, 3);
        testsupport::ShotRecords rec = testsupport::shot_records(w, h, s.den, 72);
        std::memcpy(&rec.exif[kExifModel], "zenit synthetic scene", 22);
        std::memcpy(&rec.exif[kExifDateTime], "2026:01:01 12:00:00", 20);
        std::string path = dir + "/example-" + std::to_string(++n) + ".jpg";
        int r = KVwritejpg(path.c_str(), 95, rec.info, w * 3, nullptr, rec.exif, rec.gps, 0,
                           nullptr, 0, nullptr, px.data());
        if (r != h) {
            std::fprintf(stderr, "zenit_example: cannot write %s (error %d)\n", path.c_str(), r);
            return 1;
        }
        std::printf("%s\n", path.c_str());
    }
    return 0;
}
