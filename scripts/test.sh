#!/bin/sh
# Installs what is missing, builds with warnings as errors and runs the suite, then builds with
# AddressSanitizer and UndefinedBehaviorSanitizer and runs the suite again. Fails when any test
# fails. Each configuration has its own folder (build-test/, build-sanitize/; scripts/run.sh
# uses build/), so no run rebuilds what another built.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
"$ROOT/scripts/setup.sh"
JOBS=$(nproc 2>/dev/null || echo 2)
# setup.sh has installed the peer programs: interoperability tests fail, not skip, without them.
export ZENIT_REQUIRE_PEERS=1

"$ROOT/scripts/build.sh" "$ROOT/build-test" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHDR_WERROR=ON \
    -DHDR_BUILD_BENCH=ON
ctest --test-dir "$ROOT/build-test" --output-on-failure -j "$JOBS"

"$ROOT/scripts/build.sh" "$ROOT/build-sanitize" -DCMAKE_BUILD_TYPE=Debug -DHDR_WERROR=ON \
    -DHDR_SANITIZE=address,undefined -DHDR_BUILD_BENCH=OFF -DCMAKE_CXX_FLAGS=-O1
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$ROOT/build-sanitize" --output-on-failure -j "$JOBS"
echo "All tests passed (plain and sanitizer builds)."
