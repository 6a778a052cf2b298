#!/usr/bin/env bash
# Checks the Windows product build: tollivar.exe must be a PE32 GUI-subsystem executable for
# i386 that imports from the system DLLs the service uses and the C runtime, and nothing else.
# Usage: scripts/check-windows-exe.sh BUILD_DIR   (e.g. build/windows)
set -euo pipefail

if [[ $# -ne 1 ]]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
exe="$1/bin/tollivar.exe"
objdump="${OBJDUMP:-i686-w64-mingw32-objdump}"
allowed=(KERNEL32.DLL USER32.DLL ADVAPI32.DLL OLE32.DLL OLEAUT32.DLL SHLWAPI.DLL MSVCRT.DLL)

fail() {
    echo "check-windows-exe: $exe: $*" >&2
    exit 1
}

[[ -f "$exe" ]] || fail "not found (build the windows preset first)"
command -v "$objdump" >/dev/null || fail "$objdump not found (install binutils-mingw-w64-i686)"

headers=$("$objdump" -p "$exe" 2>&1) || fail "objdump cannot read it: $headers"

format=$(sed -n 's/^.*file format \(.*\)$/\1/p' <<<"$headers" | head -n 1)
[[ "$format" == "pei-i386" ]] || fail "file format is '$format', expected pei-i386 (PE32, i386)"

magic=$(awk '$1 == "Magic" { print $2; exit }' <<<"$headers")
[[ "$magic" == "010b" ]] || fail "optional header magic is '$magic', expected 010b (PE32)"

# The COFF machine field, read from the file itself: 0x14c is i386.
pe_offset=$(od -An -tu4 -j 60 -N 4 "$exe" | tr -d ' ')
machine=$(od -An -tx2 -j $((pe_offset + 4)) -N 2 "$exe" | tr -d ' ')
[[ "$machine" == "014c" ]] || fail "machine is 0x$machine, expected 0x014c (i386)"

subsystem=$(awk '$1 == "Subsystem" { print $2; exit }' <<<"$headers")
[[ "$subsystem" == "00000002" ]] || fail "subsystem is '$subsystem', expected 00000002 (Windows GUI)"

mapfile -t imports < <(sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' <<<"$headers" | tr '[:lower:]' '[:upper:]' | sort -u)
[[ ${#imports[@]} -gt 0 ]] || fail "imports no DLL at all"
unexpected=()
for dll in "${imports[@]}"; do
    found=0
    for ok in "${allowed[@]}"; do
        [[ "$dll" == "$ok" ]] && found=1 && break
    done
    [[ $found -eq 1 ]] || unexpected+=("$dll")
done
[[ ${#unexpected[@]} -eq 0 ]] || fail "imports from unexpected DLLs: ${unexpected[*]} (allowed: ${allowed[*]})"

echo "check-windows-exe: $exe: PE32, i386, Windows GUI; imports ${imports[*]}"
