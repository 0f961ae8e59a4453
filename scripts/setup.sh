#!/bin/sh
# Installs the Debian packages the project needs, skipping those already present, and makes the
# decimal-comma locale (de_DE.UTF-8) that the locale-independence tests switch to.
set -eu
PACKAGES="cmake ninja-build g++ pkg-config libjpeg62-turbo-dev libtiff-dev libcminpack-dev
libexpat1-dev libgtest-dev googletest libbenchmark-dev liblcms2-dev time locales"
# Programs the tests run as black boxes: Radiance files, and the metadata of our results (an
# XML parser of its own for the settings packets).
TEST_PACKAGES="pfstools imagemagick libimage-exiftool-perl python3"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
missing=""
for p in $PACKAGES $TEST_PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing
fi
if ! locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\{0,1\}8'; then
    echo "Making the locale de_DE.UTF-8"
    $SUDO localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi
