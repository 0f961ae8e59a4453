#!/bin/sh
# Runs zenit and OpenCV (Debevec merge + Reinhard global tone mapping, python3-opencv) on the
# same bracket in one run and prints each stage's time and the ratio peer / zenit (above 1:
# zenit is faster). Needs python3-opencv and exiftool (Debian packages).
# Usage: bench/compare_peers.sh [BUILD_DIR] [BRACKET_DIR] [REPEATS]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
BRACKET=${2:-$ROOT/../shared/testdata/stlouis_arch_tripod}
REPEATS=${3:-3}
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
PHOTOS=$(find "$BRACKET" -maxdepth 1 -type f ! -name '*.md' | sort)
PEERARGS=""
for p in $PHOTOS; do
    t=$(exiftool -s3 -n -ExposureTime "$p")
    PEERARGS="$PEERARGS $t $p"
done

# Best of REPEATS for each stage: the machines are noisy.
best() { sort -k1,1 -k2,2n | awk '!seen[$1]++ {print $1, $2}'; }
for i in $(seq "$REPEATS"); do
    # shellcheck disable=SC2086
    "$BUILD/app/zenit" --quiet --timings -o "$OUT/zenit.jpg" $PHOTOS 2>&1 |
        awk '/ s$/ {
            v = $(NF - 1); name = $1
            if (name == "Decoding") name = "decode"; else if (name == "Merging") name = "merge";
            else if (name == "Tone") name = "tonemap"; else if (name == "Saving") name = "save";
            else next
            print name, v }'
done | best >"$OUT/zenit.txt"
for i in $(seq "$REPEATS"); do
    # shellcheck disable=SC2086
    /usr/bin/python3 "$ROOT/bench/peer_opencv.py" "$OUT/peer.jpg" $PEERARGS 2>/dev/null
done | best >"$OUT/peer.txt"

echo "bracket: $BRACKET (best of $REPEATS)"
printf '%-10s %10s %10s %8s\n' stage zenit opencv ratio
join "$OUT/zenit.txt" "$OUT/peer.txt" | awk '{
    r = $2 > 0 ? $3 / $2 : 0; tz += $2; tp += $3
    printf "%-10s %9.3fs %9.3fs %8.2f\n", $1, $2, $3, r }
    END { printf "%-10s %9.3fs %9.3fs %8.2f\n", "total", tz, tp, (tz > 0 ? tp / tz : 0) }'
