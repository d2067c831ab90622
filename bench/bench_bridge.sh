#!/bin/sh
# Serial bridge benchmark: adapterd-sandbox and socat bridging the same
# pseudo-terminal to the same TCP sink on 127.0.0.1, one after the other in
# one run. Prints throughput both ways (every byte checked), CPU per MB and
# burst-to-server latency, and judges them against targets. Builds the
# sandbox (Release) itself; --help answers at once.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
src=$(dirname "$here")
build="$src/build-bench"

usage() {
    cat <<'EOF_USAGE'
usage: bench/bench_bridge.sh [BUILD_DIR] [--up-mb N] [--down-mb N] [--bursts N]
                             [--rounds N] [--settle S] [--stall S]

Runs adapterd-sandbox and socat in alternating rounds on the same
pseudo-terminal and TCP sink, every byte checked, and judges:
  - throughput: the median over the rounds of MB/s up and of MB/s down,
    each at least socat's;
  - CPU: the median over the rounds of CPU seconds per MB (up and down
    together), at most 1.5 times socat's;
  - latency: the median over the rounds of the 99th percentile of the time
    from the end of a serial burst to its arrival at the server, below 120 ms.

BUILD_DIR     where adapterd-sandbox is (re)built, as a Release build [build-bench]
--up-mb N     MB from the serial port to the server [32]
--down-mb N   MB from the server to the serial port [8]
--bursts N    latency bursts of 64 bytes per round [100]
--rounds N    rounds of each bridge [3]
--settle S    seconds from connect to the first byte [1.0]
--stall S     instead, the worst case: 90 full messages at 1200 baud in one
              write while the device takes nothing for S seconds (12 is the
              case the adapter is held to); bytes delivered, order, drops
Needs socat and python3.
EOF_USAGE
}
for a in "$@"; do
    case "$a" in -h|--help) usage; exit 0 ;; esac
done
case "${1:-}" in
    ""|-*) ;;
    *) build=$1; shift ;;
esac
command -v socat >/dev/null || { echo "bench_bridge: socat is needed" >&2; exit 1; }

. "$here/build.sh"
bench_build bench_bridge "$src" "$build" adapterd-sandbox
exec python3 "$here/bench_bridge.py" --daemon "$build/adapterd-sandbox" "$@"
