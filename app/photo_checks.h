// The checks of the photos of a batch before anything is decoded: their count, types and files,
// what their headers promise (size, layout, the data to back it), and the earlier results of
// this program among them; then the probe and the metadata the later stages use.
#pragma once

#include <string>
#include <vector>

#include "app/document.h"

namespace app {

inline constexpr int kMaxPhotos = 5; // the most photos a batch holds

// Why the count of photos cannot make a batch ("give 1 to 5 photos, not 6"); empty for 1 to
// kMaxPhotos. Past that count the photos that are earlier results (a regular JPEG or TIFF file
// carrying this system's settings packet, say from a second run over dir/*.jpg) are named, as
// the likely reason: "(x_hdr.jpg is an earlier result)". Nothing else of the photos is read.
std::string photo_count_problem(const std::vector<std::string> &photos);

// What check_and_probe says (with kExitFailed) when memory runs out while it reads the photos.
inline constexpr const char *kReadingOutOfMemory = "not enough memory to read the photos";

// Step 2: the batch checks (count, directories, file types by extension, raw files), the probe
// and the metadata of every photo, and the first photo's profile, IPTC block, resolution and
// orientation. Sizes the processing cannot take, and PSDs that lack the pixel data their
// header gives, are bad input; nothing is allocated for the pixels here; memory that runs out
// is kExitFailed, kReadingOutOfMemory. A photo that carries a
// settings packet of this system is an earlier result and is refused. A metadata reader failure
// keeps what was read before it. The relative exposures of the metadata come last (deltaT, exif).
RoadError check_and_probe(const std::vector<std::string> &paths, Document *doc);

} // namespace app
