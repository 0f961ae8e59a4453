#!/bin/sh
# Installs what is missing, builds the driver into build/ (the tests and benchmarks are left to
# scripts/test.sh) and runs zenit with the arguments given. With no photo among them it renders
# the synthetic example bracket into out/example/ and runs on that with the options given,
# saving out/example/result.jpg unless -o says otherwise. With --quiet the installation and the
# build print nothing unless they fail.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/zenit_args.sh"
zenit_args "$@"
prepare() {
    "$ROOT/scripts/setup.sh"
    "$ROOT/scripts/build.sh" "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -- \
        zenit zenit_example zen_resources
}
if $quiet; then
    log=$(mktemp)
    if ! prepare >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        exit 1
    fi
    rm -f "$log"
else
    prepare
fi
if ! $photos; then
    mkdir -p "$ROOT/out/example"
    "$ROOT/build/app/zenit_example" "$ROOT/out/example" >/dev/null
    # The example and its output come first: the options given follow, and a -o among them wins.
    set -- -o "$ROOT/out/example/result.jpg" "$ROOT/out/example/example-1.jpg" \
        "$ROOT/out/example/example-2.jpg" "$ROOT/out/example/example-3.jpg" "$@"
fi
exec "$ROOT/build/app/zenit" "$@"
