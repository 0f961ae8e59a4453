#!/bin/sh
# How scripts/run.sh reads zenit's command line (scripts/zenit_args.sh): whether a photo is named
# (else the example bracket is rendered) and whether --quiet is asked for, each verdict on the
# photos held against zenit's own ("no photos given"). Usage: test_run_arguments.sh ARGS_SH ZENIT
set -u
. "$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
# expect PHOTOS QUIET ARG...
expect() {
    want="$1 $2"
    shift 2
    zenit_args "$@"
    case $(cd "$work" && XDG_CONFIG_HOME="$work" "$ZENIT" "$@" 2>&1 >/dev/null) in
    *"no photos given"*) theirs=false ;;
    *) theirs=true ;;
    esac
    if [ "$photos $quiet" != "$want" ] || [ "$theirs" != "${want% *}" ]; then
        echo "FAIL [$*]: photos quiet $photos $quiet (zenit's photos $theirs), not $want"
        failed=1
    fi
}
ZENIT=$2
expect false false
expect false true --quiet -o r.jpg -j 2 --set Strength=60 --settings p.xmp
expect false true --qui -mrodo --meth=rodo --align none --keep
expect false false -o --quiet
expect false false -o --
expect true false -- --quiet
expect true false -j 3 a.jpg
expect true false -
expect true false -m rodo -- a.jpg
expect true true --thr=2 --quiet a.jpg
exit $failed
