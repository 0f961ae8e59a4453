#!/bin/sh
# Configures and builds into the given folder: build.sh DIR [CMAKE_OPTION...] [-- TARGET...].
# The arguments up to "--" go to CMake; the targets after it are built, or every target when
# none is named.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
DIR=$1
shift
# "$@" keeps the CMake options (rotated through the list, so no quoting is lost); target names
# hold no blanks.
targets=""
split=false
for a in "$@"; do
    shift
    if $split; then
        targets="$targets $a"
    elif [ "$a" = "--" ]; then
        split=true
    else
        set -- "$@" "$a"
    fi
done
cmake -S "$ROOT" -B "$DIR" -G Ninja "$@" >/dev/null
if [ -n "$targets" ]; then
    cmake --build "$DIR" --target $targets
else
    cmake --build "$DIR"
fi
