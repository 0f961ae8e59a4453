#!/bin/sh
# The road's figures: the driver on a 5 x 24 MP bracket rendered here by the test generator (and
# removed afterwards) and on the brackets of ../shared/testdata, at 1, 2, 4 and 8 threads: the
# median time of each stage and of the whole road (the process's wall time), the peak memory in
# bytes a pixel, the cores the process kept busy on average (CPU time over wall time), and the
# merge at the most threads against the time of moving its bytes with memcpy on as many threads
# (bench_app_road bound), measured in the same run.
# The road is the driver's as a user runs it, noise reduction of the darkest photo and alignment
# included (the defaults); DENOISE=N passes --denoise N (0: none), ALIGN=METHOD --align METHOD
# (none: no alignment), SET=NAME=VALUE one --set (say SmoothingMode=Light). METHODS may name
# any method: fusion and the combinations show their own stage as fuse.
# Usage: [REPEATS=3] [THREADS="1 2 4 8"] [METHODS="rodo deredid"] [BRACKETS="generated DIR..."]
#        [DENOISE=N] [ALIGN=METHOD] [SET=NAME=VALUE] bench/run_driver.sh [BUILD_DIR]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
DATA=$ROOT/../shared/testdata
REPEATS=${REPEATS:-3}
THREADS=${THREADS:-1 2 4 8}
METHODS=${METHODS:-rodo deredid}
DENOISE_ARGS=${DENOISE:+--denoise $DENOISE}
ALIGN_ARGS=${ALIGN:+--align $ALIGN}
SET_ARGS=${SET:+--set $SET}
HELPER=$BUILD/bench/bench_app_road
ZENIT=$BUILD/app/zenit
if [ -z "${BRACKETS:-}" ]; then
    BRACKETS=generated
    for d in "$DATA"/*/; do [ -d "$d" ] && BRACKETS="$BRACKETS ${d%/}"; done
fi
MOST=$(echo "$THREADS" | tr ' ' '\n' | sort -n | tail -1)
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
load() { cut -d' ' -f1-3 /proc/loadavg; }

# "KEY VALUE" lines in, "KEY MEDIAN" out.
medians() {
    sort -k1,1 -k2,2g | awk '{ if ($1 != k) flush(); k = $1; v[++n] = $2 }
        function flush() { if (n) print k, v[int((n + 1) / 2)]; n = 0 }
        END { flush() }'
}

for BRACKET in $BRACKETS; do
    if [ "$BRACKET" = generated ]; then
        "$HELPER" write "$OUT/generated" >/dev/null
        BRACKET=$OUT/generated
        NAME="generated"
    else
        NAME=$(basename "$BRACKET")
    fi
    PHOTOS=$(find "$BRACKET" -maxdepth 1 -type f ! -name '*.md' | sort)
    # shellcheck disable=SC2086
    set -- $("$HELPER" size $PHOTOS)
    W=$1 H=$2 N=$3
    LOAD0=$(load)
    : >"$OUT/samples"
    for i in $(seq "$REPEATS"); do
        for m in $METHODS; do
            for t in $THREADS; do
                # shellcheck disable=SC2086
                /usr/bin/time -f "%e %M %U %S" -o "$OUT/time" "$ZENIT" --quiet --timings -m "$m" \
                    -j "$t" $DENOISE_ARGS $ALIGN_ARGS $SET_ARGS -o "$OUT/result.jpg" $PHOTOS 2>"$OUT/log" || {
                    cat "$OUT/log" >&2
                    exit 1
                }
                awk -v k="$m/$t" '/ s$/ {
                    v = $(NF - 1); s = $1
                    if (s == "Reading") s = "read"; else if (s == "Decoding") s = "decode";
                    else if (s == "Merging") s = "merge"; else if (s == "Tone") s = "tonemap";
                    else if (s == "Reducing") s = "denoise"; else if (s == "Aligning") s = "align";
                    else if (s == "Fusing" || s == "Combining") s = "fuse";
                    else if (s == "Saving") s = "save"; else next
                    print k "/" s, v }' "$OUT/log" >>"$OUT/samples"
                awk -v k="$m/$t" -v px="$W $H" '{ split(px, d, " ");
                    print k "/road", $1; print k "/peak", $2 * 1024 / (d[1] * d[2])
                    print k "/cores", ($3 + $4) / ($1 > 0 ? $1 : 1) }' \
                    "$OUT/time" >>"$OUT/samples"
            done
        done
        "$HELPER" bound "$W" "$H" "$N" "$MOST" 5 | awk '{ print "bound", $2 }' >>"$OUT/samples"
    done
    medians <"$OUT/samples" >"$OUT/medians"
    echo "bracket: $NAME, $N photos of $W x $H; median of $REPEATS; --denoise" \
        "${DENOISE:-default}${ALIGN:+; --align $ALIGN}${SET:+; --set $SET}; load average $LOAD0 before, $(load) after"
    for m in $METHODS; do
        printf '%-9s %7s %7s %7s %7s %7s %7s %7s %7s %7s %7s %9s %6s\n' "$m" threads read \
            decode denoise align merge tonemap fuse save road "peak B/px" cores
        for t in $THREADS; do
            awk -v k="$m/$t" -v t="$t" '{ v[$1] = $2 } END {
                printf "%-9s %7s %6.3fs %6.3fs %6.3fs %6.3fs %6.3fs %6.3fs %6.3fs %6.3fs %6.3fs" \
                    " %9.1f %6.2f\n", "", t, v[k "/read"], v[k "/decode"], v[k "/denoise"],
                    v[k "/align"], v[k "/merge"], v[k "/tonemap"], v[k "/fuse"], v[k "/save"],
                    v[k "/road"], v[k "/peak"], v[k "/cores"] }' "$OUT/medians"
        done
        FIRST=$(echo "$THREADS" | cut -d' ' -f1)
        awk -v a="$m/$FIRST" -v b="$m/$MOST" -v ta="$FIRST" -v tb="$MOST" '{ v[$1] = $2 } END {
            x = "-"
            printf "%-9s speed-up %s -> %s threads: road %.2fx, decode %.2fx, denoise %s, " \
                "align %s, merge %s, tonemap %s, fuse %s\n", "", ta, tb,
                v[a "/road"] / v[b "/road"], v[a "/decode"] / v[b "/decode"],
                (v[b "/denoise"] > 0 ? sprintf("%.2fx", v[a "/denoise"] / v[b "/denoise"]) : x),
                (v[b "/align"] > 0 ? sprintf("%.2fx", v[a "/align"] / v[b "/align"]) : x),
                (v[b "/merge"] > 0 ? sprintf("%.2fx", v[a "/merge"] / v[b "/merge"]) : x),
                (v[b "/tonemap"] > 0 ? sprintf("%.2fx", v[a "/tonemap"] / v[b "/tonemap"]) : x),
                (v[b "/fuse"] > 0 ? sprintf("%.2fx", v[a "/fuse"] / v[b "/fuse"]) : x) }' \
                "$OUT/medians"
        awk -v k="$m/$MOST/merge" -v t="$MOST" '{ v[$1] = $2 } END { if (v[k] > 0)
            printf "%-9s merge at %s threads %.3fs, memcpy bound %.4fs: %.1fx the bound\n", "", t,
                v[k], v["bound"], v[k] / v["bound"] }' "$OUT/medians"
    done
    echo
done
