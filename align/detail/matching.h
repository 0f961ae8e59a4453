// The descriptor matching behind find_paires, with the indices of the matched points, for the
// aligner's guided second matching.
#pragma once

#include <vector>

namespace align::detail {

struct Candidate {
    int a, b; // indices into side A and side B
    float d;  // squared descriptor distance
};

// find_paires' rules (window around (xA, yA), scale band, ratio test, one pair per B point) over
// the same arguments, the candidates nearest first (the earlier on ties), all of them. xA and yA
// may be any positions (say the A points predicted into B); B must be sorted by y.
// Returns the count; -3 for a negative count or a null pointer where one is read; -4 when
// memory runs out.
int match_candidates(int maxShiftX, int maxShiftY, int nA, const int *xA, const int *yA,
                     const int *scaleA, const float *descA, int nB, const int *xB, const int *yB,
                     const int *scaleB, const float *descB, std::vector<Candidate> &out);

} // namespace align::detail
