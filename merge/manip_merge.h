// Manip with the operation that needs the layers above imagecore: the row-streaming merge of a
// bracketed series of TIFF photos into a Radiance file, which takes the photos' exposures from
// MetaData. The class derives from Manip rather than adding to it, so that imagecore declares
// nothing it cannot define; a ManipMerge serves every Manip operation as well.
#pragma once

#include <string>

#include "imagecore/manip.h"
#include "platform/data.h"

class ManipMerge : public Manip {
public:
    // hdrTileProcess:deltaT:ev:courbe:seq:num:resFile: — merges photos paths[seq x num] ..
    // paths[seq x num + num - 1] into a new Radiance file at resFile, one row at a time: the
    // header "#?RADIANCE", "#Generated with Kestrovald Zenit 2.1", the format and blank lines and
    // "-Y <h> +X <w>", then h flat rows of R G B E pixels, top row first.
    // The photos: uncompressed TIFFs whose strips (one, or several of RowsPerStrip rows) follow
    // one another in the file, interleaved, 8 or 16 bits a sample (16-bit
    // samples in this host's byte order), 3 or more samples a pixel of which the first three
    // are red, green and blue; all of one width, height, depth and sample count.
    // Each channel is the sum over the photos of trunc(wt x m[k]) x the linear sample, divided
    // by the sum of the hat weights wt of the photos' lumas. courbe 1 or 2: linear data; any
    // other value: gamma 2.2 data. The multipliers m come, for ev <= 0, from MetaData::getEV of
    // deltaT (one exifBuf a photo; the median photo gets 2, the others in proportion to
    // 1 / exposure); for ev > 0 from ranking the photos by the mean luma of rows sampled over
    // the height: brightest first, rank i gets 2^((i - num / 2) x ev).
    // Returns h; -1 when resFile cannot be created, a line or row cannot be written, or a photo
    // cannot be read in full (its strip passes the end of its file: refused before resFile is
    // created); -2 when a photo cannot be opened or probed, or is compressed, planar, of more
    // than one strip where the strips do not follow one another (or the table does not hold one
    // offset a strip), of fewer than 3 samples a pixel, of a depth other than 8 and 16, or 16-bit
    // in the other byte order; -3 when num < 1, seq < 0, paths holds fewer than (seq + 1) x num
    // entries, deltaT fewer than num, or a photo differs from the first in width, height, depth
    // or samples (resFile is not created for any of these); -4 when memory runs out. After a
    // failure once resFile exists, it keeps the rows written so far.
    int hdrTileProcess(const platform::StringArray &paths, const platform::DataArray &deltaT,
                       float ev, int courbe, int seq, int num, const std::string &resFile) const;
};
