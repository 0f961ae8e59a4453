#!/bin/sh
# Runs zenit and OpenCV (Debevec merge + Reinhard global tone mapping, python3-opencv) on the
# same bracket in one run and prints each stage's time and the ratio peer / zenit (above 1:
# zenit is faster); zenit runs its global operator there, like the peer. Then, when
# pfstmo_fattal02 is installed (Debian pfstools and pfstmo), the local operator against that
# gradient-domain peer on one generated HDR scene of MEGAPIXELS (default 24; 0 skips),
# written as a portable float map by build/bench/bench_tonemap_pfm: time at 1 and 8 threads
# (the peer uses what it uses), peak memory, and the ratio. Needs python3-opencv and exiftool.
# Usage: [MEGAPIXELS=N] bench/compare_peers.sh [BUILD_DIR] [BRACKET_DIR] [REPEATS]
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
    "$BUILD/app/zenit" --quiet --timings -m rodo -o "$OUT/zenit.jpg" $PHOTOS 2>&1 |
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

MP=${MEGAPIXELS:-24}
HELPER=$BUILD/bench/bench_tonemap_pfm
[ "$MP" -gt 0 ] || exit 0
if ! command -v pfstmo_fattal02 >/dev/null || [ ! -x "$HELPER" ]; then
    echo "skipped the local operator's comparison: needs pfstmo_fattal02 and $HELPER"
    exit 0
fi
W=$(awk -v mp="$MP" 'BEGIN { printf "%d", sqrt(mp * 1e6 * 1.5) }')
H=$(awk -v mp="$MP" -v w="$W" 'BEGIN { printf "%d", mp * 1e6 / w }')
"$HELPER" write "$W" "$H" "$OUT/scene.pfm"
pfsin "$OUT/scene.pfm" >"$OUT/scene.pfs"
# Median time of REPEATS, with the peak resident memory of that run (bytes a pixel).
for i in $(seq "$REPEATS"); do
    for t in 1 8; do
        "$HELPER" enhance "$OUT/scene.pfm" "$t" "$OUT/zenit.ppm" |
            awk -v t="$t" '{ print "zenit-" t, $2, $10 }'
    done
    /usr/bin/time -f "%e %M" -o "$OUT/time" pfstmo_fattal02 <"$OUT/scene.pfs" >"$OUT/peer.pfs"
    awk -v px="$W" -v py="$H" '{ print "fattal02", $1, $2 * 1024 / (px * py) }' "$OUT/time"
done | sort -k1,1 -k2,2n | awk '{ k = $1; n[k]++; t[k, n[k]] = $2; m[k, n[k]] = $3 }
    END { for (k in n) { i = int((n[k] + 1) / 2); print k, t[k, i], m[k, i] } }' >"$OUT/local.txt"
pfsout "$OUT/peer.ppm" <"$OUT/peer.pfs"
echo
echo "local operator on a ${W} x ${H} scene (median of $REPEATS; peak memory in bytes a pixel:"
echo "zenit's above its source, the peer's whole process)"
printf '%-10s %9s %12s %10s\n' run time bytes/pixel "peer/run"
awk '{ t[$1] = $2; m[$1] = $3 } END {
    for (k in t) printf "%-10s %8.3fs %12.1f %10.2f\n", k, t[k], m[k], t["fattal02"] / t[k] }' \
    "$OUT/local.txt" | sort
