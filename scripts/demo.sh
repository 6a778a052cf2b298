#!/usr/bin/env bash
# Builds the host programs and runs tollivar's main job on a fresh temporary machine, showing
# what each step leaves behind. Usage (as root on Debian): scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset host >/dev/null
cmake --build build/host -j "$(nproc)" --target tollivar pellard tasklist taskkill reg

bin="$PWD/build/host/bin"
export HOSTWIN_ROOT
HOSTWIN_ROOT=$(mktemp -d /tmp/tollivar-demo-XXXXXX)
export HOSTWIN_DEBUG_OUTPUT=stderr HOSTWIN_SHOW_EXIT_CODE=1
cleanup() { "$bin/taskkill.exe" /IM pellard.exe /F >/dev/null 2>&1 || true; }
trap cleanup EXIT

step() { printf '\n== %s\n' "$*"; }

step "Machine root $HOSTWIN_ROOT; the agent goes to C:\\pellard\\bin\\pellard.exe"
mkdir -p "$HOSTWIN_ROOT/drive_c/pellard/bin"
cp "$bin/pellard.exe" "$HOSTWIN_ROOT/drive_c/pellard/bin/pellard.exe"

step "tollivar.exe with its COM module record failing to initialise: it refuses to run"
HOSTWIN_FAULTS=InitializeCriticalSectionEx@2=1450 "$bin/tollivar.exe" || true

step "tollivar.exe without a switch"
"$bin/tollivar.exe" || true

step "Two stale agents, as a crashed earlier run would leave them"
("$HOSTWIN_ROOT/drive_c/pellard/bin/pellard.exe" &)
("$HOSTWIN_ROOT/drive_c/pellard/bin/pellard.exe" &)
sleep 1
"$bin/tasklist.exe"

step "Ending every agent by name"
"$bin/taskkill.exe" /IM pellard.exe /F
# Ending is asynchronous, as on Windows: wait (at most 5 s) until the ended agents are gone.
for _ in $(seq 50); do
    "$bin/tasklist.exe" /NH | grep -q '^pellard.exe ' || break
    sleep 0.1
done
"$bin/tasklist.exe"

step "The AppID entry that tells tollivar it is a service"
"$bin/reg.exe" add 'HKCR\AppID\{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}' /v LocalService /t REG_SZ /d pellardservice /f
"$bin/reg.exe" query 'HKLM\Software\Classes\AppID\{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}'

step "Agent heartbeat log"
tail -n 3 "$HOSTWIN_ROOT/drive_c/pellard/bin/pellard.log"
