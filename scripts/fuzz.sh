#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan+UBSan) and runs each for a
# bounded time on its seed corpus plus what earlier runs found.
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
# Targets: dispatch frames identity ftpreply ftpsession (default: all). Environment:
#   FUZZ_BUILD_DIR  build directory (default build-fuzz)
#   FUZZ_NICE       nice level of the fuzzers (default 10)
# Exits non-zero when a target finds a crash, a leak or a failed check; the
# reproducer is left in $FUZZ_BUILD_DIR/artifacts.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-60}
shift || true
targets=${*:-"dispatch frames identity ftpreply ftpsession"}
dir=${FUZZ_BUILD_DIR:-build-fuzz}
nice_level=${FUZZ_NICE:-10}

if ! command -v clang++ >/dev/null || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  echo "fuzz.sh needs clang and its libFuzzer runtime (Debian: clang libclang-rt-14-dev)" >&2
  exit 2
fi

declare -A max_len=([dispatch]=1024 [frames]=16384 [identity]=400 [ftpreply]=512 [ftpsession]=8192)

CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug \
  -DADAPTER_FUZZ=ON -DADAPTER_TESTS=OFF >/dev/null
cmake --build "$dir" -j2 --target fuzzers
python3 fuzz/make_corpus.py "$dir/seeds"
mkdir -p "$dir/artifacts"

status=0
for t in $targets; do
  [ -n "${max_len[$t]:-}" ] || { echo "unknown fuzz target: $t" >&2; exit 2; }
  corpus="$dir/corpus/$t"
  mkdir -p "$corpus"
  log="$dir/fuzz-$t.log"
  echo "=== fuzz $t: ${secs}s"
  if nice -n "$nice_level" "$dir/fuzz/fuzz_$t" "$corpus" "$dir/seeds/$t" \
      -max_total_time="$secs" -max_len="${max_len[$t]}" -timeout=10 -rss_limit_mb=1024 \
      -print_final_stats=1 -artifact_prefix="$dir/artifacts/$t-" >"$log" 2>&1; then
    grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb" "$log" | sed "s/^/  $t /"
    grep -E "^#[0-9]+.*(DONE|cov:)" "$log" | tail -1 | sed "s/^/  $t /"
  else
    status=1
    echo "  $t: FINDING, see $log and $dir/artifacts/" >&2
    grep -E "ERROR|FUZZ FINDING|SUMMARY|runtime error" "$log" | head -5 >&2 || true
  fi
done
exit $status
