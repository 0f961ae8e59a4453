#!/bin/sh
# Runs zenit's whole road with its global operator (zenit --method rodo, at 1 and 8 threads) and
# OpenCV (Debevec merge + Reinhard global tone mapping, python3-opencv, its own threads) on the
# same photos in one run and prints the median time of each stage, of zenit's whole road (the
# process's wall time, start-up and exit included) and of the peer's (the sum of its stages,
# without the interpreter's start-up), and the ratio peer / zenit (above 1: zenit is faster).
# The photos: a 5 x 24 MP bracket rendered here by build/bench/bench_app_road (the default), or
# BRACKET_DIR (its exposure times read with exiftool).
# Then, when pfstmo_fattal02 is installed (Debian pfstools and pfstmo), the local operator against
# that gradient-domain peer on one generated HDR scene of MEGAPIXELS (default 24; 0 skips),
# written as a portable float map by build/bench/bench_tonemap_pfm: time at 1 and 8 threads
# (the peer uses what it uses), peak memory, and the ratio.
# zenit runs without noise reduction and without alignment, as the peer (DENOISE=N passes
# --denoise N instead, ALIGN=METHOD --align METHOD; their time is then part of zenit's road and
# shown as its own stage).
# Usage: [MEGAPIXELS=N] [DENOISE=N] [ALIGN=METHOD] bench/compare_peers.sh [BUILD_DIR]
#        [BRACKET_DIR|generated] [REPEATS]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
BRACKET=${2:-generated}
REPEATS=${3:-3}
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
if [ "$BRACKET" = generated ]; then
    "$BUILD/bench/bench_app_road" write "$OUT/bracket" >"$OUT/exposures"
else
    for p in $(find "$BRACKET" -maxdepth 1 -type f ! -name '*.md' | sort); do
        echo "$(exiftool -s3 -n -ExposureTime "$p") $p"
    done >"$OUT/exposures"
fi
PHOTOS=$(cut -d' ' -f2 "$OUT/exposures")
PEERARGS=$(tr '\n' ' ' <"$OUT/exposures")

# "KEY VALUE" lines in, "KEY MEDIAN" out.
medians() {
    sort -k1,1 -k2,2g | awk '{ if ($1 != k) flush(); k = $1; v[++n] = $2 }
        function flush() { if (n) print k, v[int((n + 1) / 2)]; n = 0 }
        END { flush() }'
}
LOAD0=$(cut -d' ' -f1-3 /proc/loadavg)
for i in $(seq "$REPEATS"); do
    for t in 1 8; do
        # shellcheck disable=SC2086
        /usr/bin/time -f "%e" -o "$OUT/time" "$BUILD/app/zenit" --quiet --timings -m rodo -j "$t" \
            --denoise "${DENOISE:-0}" --align "${ALIGN:-none}" -o "$OUT/zenit.jpg" $PHOTOS 2>"$OUT/log"
        awk -v k="zenit$t" '/ s$/ {
            v = $(NF - 1); name = $1
            if (name == "Decoding") name = "decode"; else if (name == "Merging") name = "merge";
            else if (name == "Tone") name = "tonemap"; else if (name == "Saving") name = "save";
            else if (name == "Reducing") name = "denoise"; else if (name == "Aligning") name = "align"
            else next
            print k "/" name, v }' "$OUT/log"
        awk -v k="zenit$t" '{ print k "/road", $1 }' "$OUT/time"
    done
    # shellcheck disable=SC2086
    /usr/bin/python3 "$ROOT/bench/peer_opencv.py" "$OUT/peer.jpg" $PEERARGS 2>/dev/null |
        awk '{ print "opencv/" $1, $2; road += $2 } END { print "opencv/road", road }'
done | medians >"$OUT/medians"

echo "bracket: $(echo "$PHOTOS" | wc -l) photos, $BRACKET (median of $REPEATS; zenit --denoise" \
    "${DENOISE:-0} --align ${ALIGN:-none}; load average $LOAD0 before," \
    "$(cut -d' ' -f1-3 /proc/loadavg) after)"
printf '%-10s %10s %10s %10s %14s\n' stage "zenit -j 1" "zenit -j 8" opencv "opencv/zenit-8"
awk '{ v[$1] = $2 } END {
    split("decode denoise align merge tonemap save road", s, " ")
    for (i = 1; i <= 7; ++i) {
        a = v["zenit1/" s[i]]; b = v["zenit8/" s[i]]; c = v["opencv/" s[i]]
        printf "%-10s %9.3fs %9.3fs %9.3fs %14.2f\n", s[i], a, b, c, (b > 0 ? c / b : 0) } }' \
    "$OUT/medians"

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
