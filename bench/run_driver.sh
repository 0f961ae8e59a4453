#!/bin/sh
# Runs the driver on the largest bracket available with per-stage timings and peak memory.
# Usage: bench/run_driver.sh [BUILD_DIR] [BRACKET_DIR]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
DATA=$ROOT/../shared/testdata
if [ $# -ge 2 ]; then
    BRACKET=$2
else
    # The bracket with the most pixels in all (file size stands in for it).
    BRACKET=$(for d in "$DATA"/*/; do
        printf '%s %s\n' "$(du -sb "$d" | cut -f1)" "$d"
    done | sort -n | tail -1 | cut -d' ' -f2)
fi
[ -n "$BRACKET" ] || { echo "no bracket found under $DATA" >&2; exit 1; }
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
PHOTOS=$(find "$BRACKET" -maxdepth 1 -type f ! -name '*.md' | sort)
echo "bracket: $BRACKET"
# shellcheck disable=SC2086
/usr/bin/time -v "$BUILD/app/zenit" --quiet --timings -o "$OUT/result.jpg" $PHOTOS 2>"$OUT/log" || {
    cat "$OUT/log" >&2
    exit 1
}
grep -E ' s$' "$OUT/log"
grep -E 'Elapsed|Maximum resident' "$OUT/log"
