#!/bin/sh
# scripts/run.sh's reading of zenit's command line (scripts/zenit_args.sh), case by case: whether
# a photo is named (else the example bracket is rendered) and whether --quiet is asked for. When
# given the zenit program, each verdict on the photos is held against zenit's own ("no photos
# given"). Usage: test_run_arguments.sh ZENIT_ARGS_SH [ZENIT]
set -u
. "$1"
zenit=${2:-}
if [ -n "$zenit" ] && [ ! -x "$zenit" ]; then
    echo "FAIL: no program $zenit"
    exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# expect PHOTOS QUIET ARG...: PHOTOS and QUIET are true or false.
expect() {
    want_photos=$1
    want_quiet=$2
    shift 2
    zenit_args "$@"
    if [ "$photos" != "$want_photos" ] || [ "$quiet" != "$want_quiet" ]; then
        echo "FAIL: [$*] gives photos=$photos quiet=$quiet, not $want_photos $want_quiet"
        failures=$((failures + 1))
    fi
    [ -n "$zenit" ] || return 0
    said=$(cd "$work" && XDG_CONFIG_HOME="$work" "$zenit" "$@" 2>&1 >/dev/null)
    case $said in
    *"no photos given"*) zenit_photos=false ;;
    *) zenit_photos=true ;;
    esac
    if [ "$zenit_photos" != "$want_photos" ]; then
        echo "FAIL: zenit reads [$*] with photos=$zenit_photos: $said"
        failures=$((failures + 1))
    fi
}

expect false false
expect false true --quiet
expect false true --qui
expect false false -m rodo
expect false false -mrodo
expect false false --meth=rodo
expect false false --meth rodo
expect false false -o out.jpg
expect false true --quiet -o r.jpg -j 2 --set Strength=60 --settings p.xmp
expect false false --align none --denoise 0 --keep --timings
expect false false -o --quiet
expect false false -o --
expect false false --
expect true false -j 3 a.jpg
expect true false -j3 a.jpg
expect true false a.jpg -m rodo
expect true false -
expect true false ""
expect true false -- --quiet
expect true false -m rodo -- a.jpg
expect true true --keep --quiet a.jpg
expect true false --thr=2 a.jpg

if [ "$failures" -ne 0 ]; then
    echo "$failures failed"
    exit 1
fi
echo "all passed"
