#!/usr/bin/env bash
# Runs the packaged daemon on an emulated router (qemu-system-mipsel, Malta
# board, Debian's kernel and busybox) with its serial port on a real 16550A
# UART, and checks every settings change the server can ask for. See the
# README, "The emulated router".
#
#   scripts/router-test.sh                a subset: 36 settings cases covering every pair of index values
#   scripts/router-test.sh --full         all 324 combinations of the four settings indices
#
# By default it builds the OpenWrt package (scripts/build-ipk.sh, server
# 127.0.0.1), installs its files into the router and runs its daemon: the
# static link of the same musl build, since the guest has no soft-float
# musl loader. The simulator is the musl build's, static.
#   --daemon FILE    another mipsel adapterd to run instead
#   --ipk FILE       another package whose files to install
#   --loader FILE    the program interpreter a dynamically linked daemon asks for
#   --server-host NAME   the server host compiled into the daemon (resolves to the guest's loopback)
#   --add SRC:DEST   any other host file to put into the router
# ADAPTER_ROUTER_CACHE  where the guest kernel and busybox are kept
#                       (default ~/.cache/adapterd-router)
# Needs what `scripts/install-deps.sh --cross` installs.
set -euo pipefail
cd "$(dirname "$0")/.."

own_ipk=1 own_daemon=1
work=build/router/subset
for a in "$@"; do
  case $a in
    --ipk|--ipk=*) own_ipk=0 ;;
    --daemon|--daemon=*) own_daemon=0 ;;
    --full) work=build/router/full ;;
  esac
done

# Quiet unless it fails.
quiet() {
  local log
  log=$(mktemp)
  if ! "$@" >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    exit 1
  fi
  rm -f "$log"
}

pkg=()
if [ "$own_ipk" = 1 ]; then
  quiet ./scripts/build-ipk.sh --server-host 127.0.0.1
  pkg+=(--ipk build/ipk/adapterd.ipk)
  [ "$own_daemon" = 1 ] && pkg+=(--daemon build/ipk/adapterd-static)
fi
quiet cmake --preset mipsel-musl-test
quiet cmake --build --preset mipsel-musl-test --target adapter-sim

(cd tests/router && python3 -m unittest -q test_checks)
exec python3 tests/router/router_test.py --sim build/mipsel-musl-test/tools/adapter-sim --work "$work" \
  --cache "${ADAPTER_ROUTER_CACHE:-$HOME/.cache/adapterd-router}" "${pkg[@]}" "$@"
