#!/bin/sh
# Installs what is missing, builds, and runs the main job on the photos given.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
"$ROOT/scripts/setup.sh"
"$ROOT/scripts/build.sh" "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
"$ROOT/build/app/zenit_smoke" "$@"
