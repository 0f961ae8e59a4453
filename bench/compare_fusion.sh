#!/bin/sh
# Runs zenit --method fusion and enfuse (Debian package enfuse, run as a black box) on the same
# JPEG brackets in one run and prints the whole-run times (decode, fuse, save a JPEG) and the
# ratio enfuse / zenit (above 1: zenit is faster), medians of REPEATS alternated runs. Both get
# THREADS workers (default 8; enfuse through OMP_NUM_THREADS). zenit aligns the photos as its
# defaults say; ALIGN=none skips that, as enfuse does. Brackets: the real ones in
# ../shared/testdata, and the hand-held one enlarged to 12 and 24 megapixels, 3 and 5 photos
# (python3-opencv).
# Usage: [THREADS=8] [ALIGN=METHOD] bench/compare_fusion.sh [BUILD_DIR] [REPEATS]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
REPEATS=${2:-3}
THREADS=${THREADS:-8}
ALIGN_ARGS=${ALIGN:+--align $ALIGN}
DATA=$ROOT/../shared/testdata
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT

/usr/bin/python3 - "$DATA/iphone6_handheld" "$OUT" <<'EOF'
import glob, os, sys
import cv2
src, out = sys.argv[1], sys.argv[2]
photos = sorted(glob.glob(src + "/*.JPG"))
for mp, size in (("12", (4000, 3000)), ("24", (5664, 4248))):
    for n, pick in ((3, photos[1:4]), (5, photos)):
        d = f"{out}/enlarged_{mp}MP_{n}"
        os.makedirs(d)
        for k, p in enumerate(pick):
            im = cv2.imread(p, cv2.IMREAD_COLOR | cv2.IMREAD_IGNORE_ORIENTATION)
            big = cv2.resize(im, size, interpolation=cv2.INTER_CUBIC)
            cv2.imwrite(f"{d}/{k}.jpg", big, [cv2.IMWRITE_JPEG_QUALITY, 95])
EOF

# Wall seconds of one command, its output discarded.
seconds() {
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
    end=$(date +%s.%N)
    echo "$start $end" | awk '{ printf "%.3f\n", $2 - $1 }'
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

printf '%-28s %7s %7s %9s %9s %7s\n' bracket MPix photos zenit enfuse ratio
for dir in "$DATA"/window_tripod_e995 "$DATA"/stlouis_arch_tripod "$DATA"/iphone6_handheld \
    "$OUT"/enlarged_*; do
    PHOTOS=$(find "$dir" -maxdepth 1 -type f ! -name '*.md' | sort)
    n=$(echo "$PHOTOS" | wc -l)
    first=$(echo "$PHOTOS" | head -1)
    mpix=$(/usr/bin/python3 -c "import cv2,sys; s=cv2.imread(sys.argv[1]).shape; print(round(s[0]*s[1]/1e6,1))" "$first")
    # Alternate the two programs so that both see the same load.
    : >"$OUT/z.txt"
    : >"$OUT/e.txt"
    for i in $(seq "$REPEATS"); do
        # shellcheck disable=SC2086
        seconds "$BUILD/app/zenit" --quiet -m fusion -j "$THREADS" $ALIGN_ARGS -o "$OUT/zenit.jpg" $PHOTOS >>"$OUT/z.txt"
        # shellcheck disable=SC2086
        OMP_NUM_THREADS=$THREADS seconds enfuse --compression=95 -o "$OUT/enfuse.jpg" $PHOTOS >>"$OUT/e.txt"
    done
    z=$(median <"$OUT/z.txt")
    e=$(median <"$OUT/e.txt")
    printf '%-28s %7s %7s %8ss %8ss %7s\n' "$(basename "$dir")" "$mpix" "$n" "$z" "$e" \
        "$(echo "$z $e" | awk '{ printf "%.2f", $2 / $1 }')"
done
echo "median of $REPEATS runs each, $THREADS threads${ALIGN:+, --align $ALIGN}, load average $(cut -d' ' -f1-3 /proc/loadavg)"
