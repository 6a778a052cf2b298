#!/usr/bin/env bash
# Builds the host programs and runs tollivar's main job on a fresh temporary machine: the
# service installed with tollivar.exe /Service, stale agents ended at the start, a killed agent
# relaunched by the watchdog, every agent ended at the stop, the service removed with
# tollivar.exe /UnregServer, and the service's event log entries read with wevtutil, through
# the message file while the event source is registered and without it after the removal.
# Usage (as root on Debian):
# scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset host >/dev/null
cmake --build build/host -j2 --target tollivar tollivarmsg pellard tasklist taskkill reg sc wevtutil

bin="$PWD/build/host/bin"
export HOSTWIN_ROOT
HOSTWIN_ROOT=$(mktemp -d /tmp/tollivar-demo-XXXXXX)
# Every timer and sleep at a hundredth: the 30 s watchdog ticks every 300 ms.
export HOSTWIN_TIME_SCALE=0.01
cleanup() {
    "$bin/sc.exe" stop pellardservice >/dev/null 2>&1 || true
    "$bin/taskkill.exe" /IM pellard.exe /F >/dev/null 2>&1 || true
}
trap cleanup EXIT

step() { printf '\n== %s\n' "$*"; }
agents() { "$bin/tasklist.exe" | grep -c '^pellard\.exe' || true; }
# Waits (at most 10 s) until the command's output contains the text.
await() {
    local text=$1
    shift
    for _ in $(seq 1000); do
        "$@" 2>/dev/null | grep -q -- "$text" && return 0
        sleep 0.01
    done
    echo "timed out waiting for: $text" >&2
    return 1
}
await_agents() {
    for _ in $(seq 1000); do
        [[ $(agents) == "$1" ]] && return 0
        sleep 0.01
    done
    echo "timed out waiting for $1 agents" >&2
    return 1
}

step "Machine root $HOSTWIN_ROOT; the agent goes to C:\\pellard\\bin\\pellard.exe"
mkdir -p "$HOSTWIN_ROOT/drive_c/pellard/bin"
cp "$bin/pellard.exe" "$HOSTWIN_ROOT/drive_c/pellard/bin/pellard.exe"

step "tollivar.exe /Service: service entry, AppID mark, event source and its message file, type library"
HOSTWIN_SHOW_EXIT_CODE=1 "$bin/tollivar.exe" /Service
"$bin/sc.exe" qc pellardservice
"$bin/sc.exe" qdescription pellardservice
"$bin/reg.exe" query 'HKCR\AppID\{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}'
"$bin/reg.exe" query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\pellardservice'

step "tollivar.exe started from a shell cannot connect to the service control manager"
HOSTWIN_SHOW_EXIT_CODE=1 "$bin/tollivar.exe" || true

step "Two stale agents, as a crashed earlier run would leave them"
("$HOSTWIN_ROOT/drive_c/pellard/bin/pellard.exe" &)
("$HOSTWIN_ROOT/drive_c/pellard/bin/pellard.exe" &)
await_agents 2
"$bin/tasklist.exe"

step "sc start pellardservice: both stale agents ended, one launched, then RUNNING"
"$bin/sc.exe" start pellardservice
await "4  RUNNING" "$bin/sc.exe" query pellardservice
await_agents 1
"$bin/sc.exe" query pellardservice
"$bin/tasklist.exe"

step "The agent killed with taskkill; the next tick (300 ms) launches a new one"
"$bin/taskkill.exe" /IM pellard.exe /F
"$bin/tasklist.exe"
await_agents 1
"$bin/tasklist.exe"

step "sc stop pellardservice: every agent ended before the service stops"
"$bin/sc.exe" stop pellardservice
await "1  STOPPED" "$bin/sc.exe" query pellardservice
await_agents 0
"$bin/sc.exe" query pellardservice
"$bin/tasklist.exe"

step "The event log read with wevtutil: each entry's text through the registered message file"
"$bin/wevtutil.exe" qe Application /f:text

step "Agent heartbeat log"
tail -n 3 "$HOSTWIN_ROOT/drive_c/pellard/bin/pellard.log"

step "tollivar.exe /UnregServer: no service, the AppID key without its mark, no event source, no type library"
HOSTWIN_SHOW_EXIT_CODE=1 "$bin/tollivar.exe" /UnregServer
"$bin/sc.exe" query pellardservice || true
"$bin/reg.exe" query 'HKCR\AppID\{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}'
"$bin/reg.exe" query 'HKCR\TypeLib' /s

step "wevtutil again: the event source went with the service, so the platform's text and the string"
"$bin/wevtutil.exe" qe Application /f:text /rd:true /c:1
