#!/bin/sh
# Installs the Debian packages the project needs, skipping those already present.
set -eu
PACKAGES="cmake ninja-build g++ pkg-config libjpeg62-turbo-dev libtiff-dev libcminpack-dev
libgtest-dev googletest libbenchmark-dev time"
missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing
fi
