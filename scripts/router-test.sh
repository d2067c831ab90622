#!/usr/bin/env bash
# Runs the daemon on an emulated router (qemu-system-mipsel, Malta board,
# Debian's kernel and busybox) with its serial port on a real 16550A UART,
# and checks every settings change the server can ask for. See the README,
# "The emulated router".
#
#   scripts/router-test.sh                a subset: 36 settings cases covering every pair of index values
#   scripts/router-test.sh --full         all 324 combinations of the four settings indices
#   --daemon FILE    the mipsel adapterd to run (default: a static stand-in built here)
#   --ipk FILE       install this package's files; runs its /usr/sbin/adapterd
#   --loader FILE    the program interpreter a dynamically linked daemon asks for
#   --server-host NAME   the server host compiled into the daemon (resolves to the guest's loopback)
#   --add SRC:DEST   any other host file to put into the router
# ADAPTER_ROUTER_CACHE  where the guest kernel and busybox are kept
#                       (default ~/.cache/adapterd-router)
set -euo pipefail
cd "$(dirname "$0")/.."

own_daemon=1
work=build/router/subset
for a in "$@"; do
  case $a in
    --daemon|--daemon=*|--ipk|--ipk=*) own_daemon=0 ;;
    --full) work=build/router/full ;;
  esac
done

# The simulator runs inside the router, so it is built static for mipsel;
# so is the stand-in daemon, with the server at the guest's loopback.
build=build/router/standin
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXE_LINKER_FLAGS=-static \
  -DADAPTER_SERVER_HOST=127.0.0.1 -DADAPTER_TESTS=ON >/dev/null
targets=(adapter-sim)
daemon=()
if [ "$own_daemon" = 1 ]; then
  targets+=(adapterd)
  daemon=(--daemon "$build/adapterd")
fi
# Quiet unless it fails: static glibc warns about its resolver at link time.
if ! cmake --build "$build" -j 2 --target "${targets[@]}" >"$build/build.log" 2>&1; then
  cat "$build/build.log" >&2
  exit 1
fi

(cd tests/router && python3 -m unittest -q test_checks)
exec python3 tests/router/router_test.py --sim "$build/tools/adapter-sim" --work "$work" \
  --cache "${ADAPTER_ROUTER_CACHE:-$HOME/.cache/adapterd-router}" "${daemon[@]}" "$@"
