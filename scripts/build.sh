#!/bin/sh
# Configures and builds into the given folder; further arguments go to CMake.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
DIR=$1
shift
cmake -S "$ROOT" -B "$DIR" -G Ninja "$@" >/dev/null
cmake --build "$DIR"
