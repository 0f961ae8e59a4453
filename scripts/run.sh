#!/bin/sh
# Installs what is missing, builds into build/, and runs zenit on the photos given; with none,
# renders the synthetic example bracket into out/example/ and runs on that. Options for zenit
# may come before the photos (e.g. --method rodo -o result.jpg). With --quiet the installation
# and the build print nothing unless they fail.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
quiet=false
for a in "$@"; do
    [ "$a" = "--" ] && break
    [ "$a" = "--quiet" ] && quiet=true
done
prepare() {
    "$ROOT/scripts/setup.sh"
    "$ROOT/scripts/build.sh" "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
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
if [ $# -eq 0 ]; then
    mkdir -p "$ROOT/out/example"
    "$ROOT/build/app/zenit_example" "$ROOT/out/example" >/dev/null
    set -- -o "$ROOT/out/example/result.jpg" "$ROOT/out/example/example-1.jpg" \
        "$ROOT/out/example/example-2.jpg" "$ROOT/out/example/example-3.jpg"
fi
exec "$ROOT/build/app/zenit" "$@"
