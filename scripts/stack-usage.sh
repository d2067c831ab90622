#!/usr/bin/env bash
# Peak stack use of each worker thread, with the server and the FTP host
# looked up through DNS as on the router: runs test_stacks of each build in
# private network and mount namespaces, where only loopback exists and
# /etc/resolv.conf names 127.0.0.1, whose queries the test answers itself.
# Needs root (namespaces, port 53). Builds the test where it is missing.
#   ./scripts/stack-usage.sh [PRESET...]   (default: release mipsel-test mipsel-musl-test)
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "stack-usage.sh: needs root for its namespaces" >&2; exit 2; }
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(release mipsel-test mipsel-musl-test)

conf=$(mktemp)
trap 'rm -f "$conf"' EXIT
printf 'nameserver 127.0.0.1\noptions timeout:2 attempts:2\n' >"$conf"

for p in "${presets[@]}"; do
  case $p in
    mipsel-test) run=(qemu-mipsel -L /usr/mipsel-linux-gnu) ;;
    mipsel-musl-test) run=(qemu-mipsel) ;;
    *) run=() ;;
  esac
  if [ ! -x "build/$p/tests/test_stacks" ]; then
    cmake --preset "$p" >/dev/null
    cmake --build --preset "$p" --target test_stacks >/dev/null
  fi
  echo "=== $p"
  # The bind mount and the network exist only inside the namespaces.
  unshare --net --mount sh -c '
    ip link set lo up && mount --bind "$1" /etc/resolv.conf && shift &&
    ADAPTER_STACK_DNS=1 exec "$@" --gtest_filter=Stacks.*' sh "$conf" \
    "${run[@]}" "build/$p/tests/test_stacks" | grep -aE '^stack peak|OK \]|FAILED \]|Failure' || true
done
