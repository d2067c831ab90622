# Sourced by the bench scripts: bench_build NAME SRC BUILD TARGET...
# configures BUILD as a Release build of SRC (once) and builds TARGETs,
# quietly; on a failure it shows the build's output and ends the script.
bench_build() {
    name=$1 bsrc=$2 bdir=$3
    shift 3
    mkdir -p "$bdir"
    blog="$bdir/bench-build.log"
    if ! { [ -f "$bdir/CMakeCache.txt" ] ||
           cmake -S "$bsrc" -B "$bdir" -DCMAKE_BUILD_TYPE=Release -DADAPTER_TESTS=OFF; } >"$blog" 2>&1 ||
       ! cmake --build "$bdir" -j2 --target "$@" >>"$blog" 2>&1; then
        cat "$blog" >&2
        echo "$name: building $* failed" >&2
        exit 1
    fi
}
