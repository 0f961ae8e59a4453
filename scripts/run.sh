#!/bin/sh
# Installs what is missing, builds, and runs zenit on the photos given; with none, renders the
# synthetic example bracket into out/example/ and runs on that. Options for zenit may come
# before the photos (e.g. --method rodo -o result.jpg).
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
"$ROOT/scripts/setup.sh"
"$ROOT/scripts/build.sh" "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ $# -eq 0 ]; then
    mkdir -p "$ROOT/out/example"
    "$ROOT/build/app/zenit_example" "$ROOT/out/example" >/dev/null
    set -- -o "$ROOT/out/example/result.jpg" "$ROOT/out/example/example-1.jpg" \
        "$ROOT/out/example/example-2.jpg" "$ROOT/out/example/example-3.jpg"
fi
exec "$ROOT/build/app/zenit" "$@"
