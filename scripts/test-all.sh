#!/usr/bin/env bash
# Builds both targets and runs every test: the Windows product build and its checks (the
# executable, the package), then the host build, the comparison of the package with /Service
# and the host suite (which also reads the Windows executable's resources back), bounded
# fuzzing, then the host suite again under AddressSanitizer+UBSan and under ThreadSanitizer.
# Usage (as root on Debian): scripts/test-all.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
# Each step's heading says how long the run has taken so far.
step() { echo "== $* (at $SECONDS s)"; }

# Compiles go through ccache, kept in ~/.ccache so that the next run on this machine reuses
# them. Each run is a fresh clone in a new folder: with the clone as base folder ccache hands
# the compiler paths relative to the build folder, which are the same in every clone (the
# top CMakeLists.txt maps that relative form out of __FILE__, and ccache hashes the map).
# The working folder only names the debug info's compilation folder; leaving it out of the
# hash lets a debug build hit across clones, at the price of that one stale field.
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.ccache}" CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true
cached=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# The host builds link with mold: the test programs are large and linked once each.
mold=(-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=mold -DCMAKE_SHARED_LINKER_FLAGS=-fuse-ld=mold
    -DCMAKE_MODULE_LINKER_FLAGS=-fuse-ld=mold)
windows_exe="$PWD/build/windows/bin/tollivar.exe"

step "Windows product (i686 MinGW-w64)"
cmake --preset windows "${cached[@]}" >/dev/null
cmake --build build/windows -j "$jobs"
# The check's second build, in another folder, compiles everything anew without ccache: the
# two files being equal proves the build reproducible and the cached objects sound.
CCACHE_DISABLE=1 JOBS="$jobs" scripts/check-windows-exe.sh build/windows
scripts/check-msi.sh build/windows

step "Host build and tests"
cmake --preset host "${cached[@]}" "${mold[@]}" -DTOLLIVAR_WINDOWS_EXE="$windows_exe" >/dev/null
cmake --build build/host -j "$jobs"
# What tollivar.exe /Service writes on the host and what the package writes must agree.
scripts/check-install-routes.py build/host build/windows
ctest --preset host -j "$jobs"

# A sample of the fault sweep: every 6th platform call of tollivar failed in its own run, no
# new run after 110 s (docs/faultsweep.md; the full sweep is scripts/faultsweep.py).
step "Fault sweep sample"
scripts/faultsweep.py --sample 6 --budget 110

# Every parser of untrusted input is fuzzed from its seed corpus for a bounded time, failing
# on any crash, leak, sanitizer report or broken check. New inputs go to the build tree.
# The registrar takes arbitrary text: a minute, and room per input for scripts that register
# hundreds of keys on a busy machine. The image, type-library, format, .reg file and command
# line targets: 30 s each.
# Each fuzzer is one process on one core: two lanes run side by side, each fuzzer for its full
# time; a fuzzer's output goes to build/fuzz/NAME.log and is shown in full if it fails.
step "Fuzz build"
cmake --preset fuzz "${cached[@]}" "${mold[@]}" >/dev/null
cmake --build build/fuzz -j "$jobs" --target registrar_fuzz peimage_fuzz typelib_fuzz format_fuzz \
    regfile_fuzz cmdline_fuzz sc_args_fuzz
fuzz() { # name corpus seconds max_len
    local log="build/fuzz/$1.log"
    mkdir -p "build/fuzz/corpus/$2"
    if "build/fuzz/fuzz/$1" -max_total_time="$3" -timeout=30 -max_len="$4" \
        -artifact_prefix="build/fuzz/$1-" "build/fuzz/corpus/$2" "fuzz/corpus/$2" >"$log" 2>&1; then
        echo "$1: $3 s, $(grep -E '^Done [0-9]+ runs' "$log" || echo 'done') (at $SECONDS s)"
    else
        cat "$log"
        echo "$1: FAILED (log above, $log)"
        return 1
    fi
}
step "Fuzzing: registrar 60 s, then cmdline and sc_args 30 s | peimage, typelib, format, regfile 30 s each"
(fuzz registrar_fuzz registrar 60 8192 && fuzz cmdline_fuzz cmdline 30 1024 &&
    fuzz sc_args_fuzz sc_args 30 1024) &
lane=$!
fuzz peimage_fuzz peimage 30 16384 && fuzz typelib_fuzz typelib 30 4096 &&
    fuzz format_fuzz format 30 1024 && fuzz regfile_fuzz regfile 30 4096 || fuzzing=failed
wait "$lane" || fuzzing=failed
[[ -z "${fuzzing:-}" ]] || { echo "== A fuzzer failed" >&2; exit 1; }

# The same suite under the sanitizers: memory errors and leaks, then data races.
for preset in host-asan host-tsan; do
    step "Host tests under $preset"
    cmake --preset "$preset" "${cached[@]}" "${mold[@]}" -DTOLLIVAR_WINDOWS_EXE="$windows_exe" >/dev/null
    cmake --build "build/$preset" -j "$jobs"
    ctest --preset "$preset" -j "$jobs"
done
echo "== Done in $SECONDS s"
