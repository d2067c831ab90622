#!/usr/bin/env bash
# Installs, builds and runs every test: the suite natively, under
# ASan+UBSan and under TSan, the cross build for the router with its size
# budget, the suite cross-built and run under qemu-mipsel, the daemon on an
# emulated router with a real UART, a bounded run of every fuzz target, and
# a longer soak of the release daemon.
#   ADAPTER_TEST_CONFIGS  native configurations (default "release asan tsan")
#   ADAPTER_TEST_MIPSEL   0 skips the emulated run
#   ADAPTER_TEST_ROUTER   0 skips the emulated router (full system, real UART)
#   ADAPTER_FUZZ_SECONDS  seconds per fuzz target (default 60; 0 skips)
#   ADAPTER_SIZE_BUDGET   byte budget of the stripped mipsel adapterd
#   ADAPTER_SOAK_SECONDS  length of the long soak (default 600; 0 skips)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
configs=${ADAPTER_TEST_CONFIGS:-"release asan tsan"}
for c in $configs; do
  echo "=== $c: build"
  cmake --preset "$c" >/dev/null
  cmake --build --preset "$c"
  echo "=== $c: test"
  ctest --preset "$c"
done
echo "=== mipsel: cross build"
cmake --preset mipsel >/dev/null
cmake --build --preset mipsel --target adapterd adapterd-sandbox
mipsel-linux-gnu-strip -o build/mipsel/adapterd.stripped build/mipsel/adapterd
file build/mipsel/adapterd.stripped
size=$(stat -c %s build/mipsel/adapterd.stripped)
# Flash on the router is scarce: fail when the daemon outgrows its budget
# (about a quarter above its size when the budget was set).
budget=${ADAPTER_SIZE_BUDGET:-53248}
echo "mipsel adapterd stripped: $size bytes (budget $budget)"
if [ "$size" -gt "$budget" ]; then
  echo "FAIL: mipsel adapterd is $size bytes, above its budget of $budget" >&2
  exit 1
fi

if [ "${ADAPTER_TEST_MIPSEL:-1}" != 0 ]; then
  echo "=== mipsel-test: cross build, then unit and integration tests under qemu-mipsel"
  cmake --preset mipsel-test >/dev/null
  cmake --build --preset mipsel-test
  start=$(date +%s)
  ctest --preset mipsel-test
  echo "mipsel emulated suite: $(( $(date +%s) - start )) s"
fi

if [ "${ADAPTER_TEST_ROUTER:-1}" != 0 ]; then
  echo "=== router: the daemon on an emulated Malta board, its port a real 16550A UART"
  start=$(date +%s)
  rc=0
  ./scripts/router-test.sh || rc=$?
  echo "emulated router: $(( $(date +%s) - start )) s"
  [ "$rc" = 0 ] || exit "$rc"
fi

fuzz_secs=${ADAPTER_FUZZ_SECONDS:-60}
if [ "$fuzz_secs" != 0 ]; then
  echo "=== fuzz: ${fuzz_secs}s per target"
  ./scripts/fuzz.sh "$fuzz_secs"
fi

soak_secs=${ADAPTER_SOAK_SECONDS:-600}
if [ "$soak_secs" != 0 ]; then
  echo "=== soak: ${soak_secs}s of random traffic against the release daemon"
  cmake --preset release >/dev/null
  cmake --build --preset release --target adapterd-sandbox test_soak
  SOAK_SECONDS=$soak_secs build/release/tests/test_soak --gtest_filter='Soak.*'
fi
