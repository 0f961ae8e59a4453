#!/bin/sh
# A libFuzzer campaign over the fuzz targets of a clang build made with -DHDR_FUZZ=ON (see
# fuzz/README.md): seeds from small copies of the real photos, then RUNS executions of each
# target spread over WORKERS processes, one target after another. Prints each target's
# executions, speed and findings; exits non-zero when a target found something.
# Usage: fuzz/campaign.sh BUILD_DIR WORK_DIR [RUNS [WORKERS [TARGET...]]]
set -eu
[ $# -ge 2 ] || { echo "usage: $0 BUILD_DIR WORK_DIR [RUNS [WORKERS [TARGET...]]]" >&2; exit 2; }
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "$1" && pwd)
mkdir -p "$2"
WORK=$(cd "$2" && pwd)
RUNS=${3:-10000000}
WORKERS=${4:-3}
[ $# -gt 4 ] && shift 4 || set --
TESTDATA=${HDR_TESTDATA_DIR:-$ROOT/../shared/testdata}

mkdir -p "$WORK/seeds"
"$BUILD/fuzz/zenit_fuzz_seeds" "$TESTDATA" "$WORK/seeds" >/dev/null

TARGETS=${*:-$(cd "$BUILD/fuzz" && ls fuzz_* | grep -v '_replay$')}
status=0
printf '%-32s %12s %10s %8s %s\n' target executions "exec/s" seconds findings
for name in $TARGETS; do
    dir=$WORK/$name
    mkdir -p "$dir/corpus"
    rm -f "$dir"/fuzz-*.log
    start=$(date +%s)
    # New inputs go to the target's own corpus; the seeds and the corrupt files are read only.
    (cd "$dir" && nice "$BUILD/fuzz/$name" -jobs="$WORKERS" -workers="$WORKERS" \
        -runs=$((RUNS / WORKERS + 1)) -rss_limit_mb=2048 -timeout=20 -max_len=32768 \
        -print_final_stats=1 corpus "$WORK/seeds" "$ROOT/tests/data/corrupt" \
        >"$dir/campaign.log" 2>&1) || true
    seconds=$(($(date +%s) - start))
    runs=$(cat "$dir"/fuzz-*.log | awk '/stat::number_of_executed_units/ {n += $2} END {print n + 0}')
    found=$(ls "$dir" | grep -cE '^(crash|leak|timeout|oom|slow-unit)-' || true)
    [ "$found" -eq 0 ] || status=1
    printf '%-32s %12d %10d %8d %s\n' "$name" "$runs" $((runs / (seconds > 0 ? seconds : 1))) \
        "$seconds" "$found"
done
exit $status
