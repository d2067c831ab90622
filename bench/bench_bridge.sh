#!/bin/sh
# Serial bridge benchmark: adapterd-sandbox and socat bridging the same
# pseudo-terminal to the same TCP sink on 127.0.0.1, one after the other in
# one run. Prints throughput both ways (every byte checked), CPU per MB and
# burst-to-server latency.
#   bench/bench_bridge.sh [BUILD_DIR] [--up-mb N] [--down-mb N] [--bursts N] [--rounds N]
# BUILD_DIR defaults to build-bench (configured as Release); the daemon is
# (re)built there first.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
src=$(dirname "$here")
build="$src/build-bench"
case "${1:-}" in
    ""|-*) ;;
    *) build=$1; shift ;;
esac
command -v socat >/dev/null || { echo "bench_bridge: socat is needed" >&2; exit 1; }
[ -f "$build/CMakeCache.txt" ] ||
    cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DADAPTER_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target adapterd-sandbox >/dev/null
exec python3 "$here/bench_bridge.py" --daemon "$build/adapterd-sandbox" "$@"
