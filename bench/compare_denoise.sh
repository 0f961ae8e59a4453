#!/bin/sh
# Denoises the same dark 24-megapixel photo (the test scene three stops under, seeded noise of
# sigma 4 and 8) with zenit's denoise2 and OpenCV's fastNlMeansDenoisingColored (python3-opencv,
# template 7, search 21, h = the sigma) and prints time and PSNR side by side.
# Usage: bench/compare_denoise.sh [BUILD_DIR]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
BENCH="$BUILD/bench/bench_denoise_photo"

# Speed first (best of 3 at 1 and 8 threads), then quality; the quality run writes the photos.
"$BENCH" --benchmark_filter='BM_Denoise2' --benchmark_repetitions=3 \
    --benchmark_report_aggregates_only=true --benchmark_format=csv 2>/dev/null |
    awk -F, '/_min"?,|_mean"?,/ { print }' >"$OUT/speed.csv" || true
DENOISE_DUMP_DIR="$OUT" "$BENCH" --benchmark_filter='BM_DenoiseQuality' \
    --benchmark_format=csv 2>/dev/null >"$OUT/quality.csv"

echo "zenit denoise2, 6000 x 4000, sigma 4 (mean of 3):"
grep mean "$OUT/speed.csv" | awk -F, '{ gsub(/"/, "", $1); printf "  %s %.0f ms\n", $1, $3 }'
awk -F, 'NR == 1 { for (i = 1; i <= NF; ++i) { gsub(/"/, "", $i); col[$i] = i }; next }
    { split($1, n, "/"); printf "zenit denoise2 sigma %s (8 threads):\n  seconds %.3f\n", n[2], $3 / 1000
      printf "  psnr_noisy %.2f\n  psnr_denoised %.2f\n", $col["PSNR_noisy"], $col["PSNR_denoised"] }' \
    "$OUT/quality.csv"
for sigma in 4 8; do
    echo "OpenCV fastNlMeansDenoisingColored h=$sigma, sigma $sigma:"
    /usr/bin/python3 "$ROOT/bench/peer_opencv_denoise.py" "$OUT/clean.ppm" "$OUT/noisy$sigma.ppm" \
        "$sigma" | sed 's/^/  /'
done
