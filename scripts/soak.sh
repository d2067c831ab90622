#!/bin/sh
# Longer soak of the real daemon: random serial and server traffic both
# ways, serial settings changes, answered heartbeats and link drops, then a
# byte-exact comparison of both streams and the daemon's descriptors,
# threads and resident memory at start and end (the Soak test of
# tests/integration/test_soak.cpp, run for longer than the suite does).
#   scripts/soak.sh [BUILD_DIR]
#   SOAK_SECONDS     length of the run (default 600)
#   ADAPTER_SANITIZE asan or tsan to soak a sanitized build (default none)
# BUILD_DIR defaults to build-soak (or build-soak-<sanitizer>), configured
# and built here (the daemon and the soak test only).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
src=$(dirname "$here")
san=${ADAPTER_SANITIZE:-}
build=${1:-"$src/build-soak${san:+-$san}"}
secs=${SOAK_SECONDS:-600}
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${san:+-DADAPTER_SANITIZE=$san} >/dev/null
cmake --build "$build" -j2 --target adapterd-sandbox test_soak >/dev/null
echo "soak: ${secs} s against $build/adapterd-sandbox"
SOAK_SECONDS=$secs exec "$build/tests/test_soak" --gtest_filter='Soak.*'
