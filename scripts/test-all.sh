#!/usr/bin/env bash
# Builds both targets and runs every test: the Windows product build and its checks, then the
# host suite (which also reads the Windows executable's resources back), a minute of fuzzing,
# then the host suite again under AddressSanitizer+UBSan and under ThreadSanitizer.
# Usage (as root on Debian): scripts/test-all.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)

echo "== Windows product (i686 MinGW-w64)"
cmake --preset windows >/dev/null
cmake --build build/windows -j "$jobs"
JOBS="$jobs" scripts/check-windows-exe.sh build/windows

echo "== Host build and tests"
cmake --preset host -DTOLLIVAR_WINDOWS_EXE="$PWD/build/windows/bin/tollivar.exe" >/dev/null
cmake --build build/host -j "$jobs"
ctest --preset host -j "$jobs"

# The registry-script registrar takes arbitrary text: a minute of fuzzing from the seed
# corpus, failing on any crash, leak or sanitizer report. New inputs go to the build tree.
# An input may register hundreds of keys: the per-input limit leaves room for a busy machine.
echo "== Fuzzing registrar_fuzz for 60 s"
cmake --preset fuzz >/dev/null
cmake --build build/fuzz -j "$jobs" --target registrar_fuzz
mkdir -p build/fuzz/corpus/registrar
build/fuzz/fuzz/registrar_fuzz -max_total_time=60 -timeout=30 -max_len=8192 \
    -artifact_prefix=build/fuzz/ build/fuzz/corpus/registrar fuzz/corpus/registrar

# The same suite under the sanitizers: memory errors and leaks, then data races.
for preset in host-asan host-tsan; do
    echo "== Host tests under $preset"
    cmake --preset "$preset" -DTOLLIVAR_WINDOWS_EXE="$PWD/build/windows/bin/tollivar.exe" >/dev/null
    cmake --build "build/$preset" -j "$jobs"
    ctest --preset "$preset" -j "$jobs"
done
