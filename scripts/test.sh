#!/usr/bin/env bash
# Installs, builds and runs every test: the suite natively, under
# ASan+UBSan and under TSan, and the cross build for the router.
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
echo "mipsel adapterd stripped: $size bytes"
