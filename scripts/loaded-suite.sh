#!/usr/bin/env bash
# Runs the host suite N times in a row (default 20) while stress-ng keeps every core busy, and
# counts the failures: a test that needs the machine idle, or a second try, shows here.
# Usage: scripts/loaded-suite.sh [N] [BUILD_DIR]   (BUILD_DIR defaults to build/host, built)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-20}
build=${2:-build/host}
command -v stress-ng >/dev/null || { echo "loaded-suite: stress-ng is not installed" >&2; exit 2; }
[[ -d "$build" ]] || { echo "loaded-suite: $build is not built" >&2; exit 2; }

log_dir=$(mktemp -d)
stress-ng --cpu "$(nproc)" --timeout 0 --quiet &
stress=$!
trap 'kill "$stress" 2>/dev/null; wait "$stress" 2>/dev/null || true' EXIT

failed_runs=0
for ((run = 1; run <= runs; run++)); do
    log="$log_dir/run-$run.log"
    if ctest --test-dir "$build" -j "$(nproc)" --output-on-failure >"$log" 2>&1; then
        echo "run $run: $(grep -Eo '[0-9]+ tests failed out of [0-9]+|100% tests passed, 0 tests failed out of [0-9]+' "$log")"
    else
        failed_runs=$((failed_runs + 1))
        echo "run $run: FAILED: $(grep -E '^\s+[0-9]+ - ' "$log" | tr -s ' ' | paste -sd';') (log $log)"
    fi
done
echo "== $runs runs under load, $failed_runs with a failure"
[[ $failed_runs -eq 0 ]]
