// Exposure data that some TIFF writers put in the ImageDescription text instead of EXIF tags:
// fields separated by ", ", the 8th holding the exposure time as a fraction ("1/250s") and the
// 9th to 11th the gains "R<n>", "G<n>", "B<n>" from which an ISO is derived.
#pragma once

#include <cstdint>
#include <cstdio>

#include "metadata/exif_records.h"

// Reads `length` bytes of text from f (positioned at the text) and, when the text holds at
// least one separator and all three gains, stores in info: the exposure time (when the
// fraction has a denominator above 0), ISO = rint(2^(m / 30)) x 200 with m the rounded mean of
// the largest and smallest gain (saturated to the int range), and the source flag 2 when the
// fraction and the last gain are both within 1..99998. Numbers end at ' ', ',' and their own
// delimiters; only their digits count (those after a '.' for a fraction part).
// Returns the last gain read (0 when none, also for length 0); -1 when length is negative or
// the text cannot be read in full (nothing stored then); -3 when f or info is null.
int parse_image_description(FILE *f, int64_t length, ExifInfo *info);
