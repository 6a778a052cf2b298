#!/usr/bin/env bash
# Checks the Windows product build: tollivar.exe must be a PE32 GUI-subsystem executable for
# i386 that imports only functions listed in scripts/windows-imports.txt (each one there exists
# on Windows Vista; the headers alone cannot prove it, they declare newer functions too); made
# for Windows Vista (OS and subsystem version 6.0), terminal-server aware and declaring the
# Windows versions it supports in its manifest; carrying the project's version; free of the
# build machine's folders; at most 112 KiB; and reproducible: the same sources built again
# from another folder give the same file, byte for byte.
# Usage: scripts/check-windows-exe.sh BUILD_DIR   (e.g. build/windows)
set -euo pipefail

if [[ $# -ne 1 ]]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
exe="$1/bin/tollivar.exe"
objdump="${OBJDUMP:-i686-w64-mingw32-objdump}"
max_size=$((112 * 1024))
# Vista, 7, 8, 8.1, 10 and 11 (one identifier for the last two).
supported_os=(
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}"
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}"
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"
)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
import_list="$source_dir/scripts/windows-imports.txt"

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

# Each imported function as DLL!name (DLL in capitals; DLL!#n for an import by ordinal n), read
# from the import tables only.
mapfile -t imports < <(awk '
    /^The Import Tables/ { inside = 1; next }
    inside && /^[^[:space:]]/ { inside = 0 }
    inside && $1 == "DLL" && $2 == "Name:" { dll = toupper($3); next }
    inside && /^\t[0-9a-f]+\t/ { print dll "!" (($3 == "" || $3 == "<none>") ? "#" $2 : $3) }
' <<<"$headers" | sort -u)
[[ ${#imports[@]} -gt 0 ]] || fail "imports no function at all"
[[ -f "$import_list" ]] || fail "no list of allowed imports at $import_list"
mapfile -t listed < <(grep -v -e '^#' -e '^[[:space:]]*$' "$import_list" |
    awk -F'!' '{ print toupper($1) "!" $2 }' | sort -u)
mapfile -t unlisted < <(comm -23 <(printf '%s\n' "${imports[@]}") <(printf '%s\n' "${listed[@]}"))
[[ ${#unlisted[@]} -eq 0 ]] ||
    fail "imports functions not known to exist on Windows Vista: ${unlisted[*]} (the list is $import_list)"
mapfile -t dlls < <(printf '%s\n' "${imports[@]}" | cut -d'!' -f1 | sort -u)

# IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE
characteristics=$(awk '$1 == "DllCharacteristics" { print $2; exit }' <<<"$headers")
(((16#${characteristics:-0} & 0x8000) != 0)) ||
    fail "DllCharacteristics $characteristics lacks 0x8000 (terminal-server aware)"

for field in MajorOSystemVersion MajorSubsystemVersion; do
    major=$(awk -v f="$field" '$1 == f { print $2; exit }' <<<"$headers")
    minor=$(awk -v f="${field/Major/Minor}" '$1 == f { print $2; exit }' <<<"$headers")
    [[ "$major.$minor" == "6.0" ]] || fail "${field/Major/} is '$major.$minor', expected 6.0 (Vista)"
done

# The manifest is stored as it is written: find its supported OS list and execution level.
mapfile -t declared < <(LC_ALL=C grep -aoE 'supportedOS Id="\{[0-9a-f-]+\}"' "$exe" |
    sed 's/.*Id="\(.*\)"/\1/' | sort)
mapfile -t expected < <(printf '%s\n' "${supported_os[@]}" | sort)
[[ "${declared[*]}" == "${expected[*]}" ]] ||
    fail "manifest declares supported OS '${declared[*]}', expected '${expected[*]}'"
LC_ALL=C grep -aq 'requestedExecutionLevel level="asInvoker" uiAccess="false"' "$exe" ||
    fail "manifest does not request asInvoker without UI access"

# The fixed part of the version record follows its signature 0xFEEF04BD: structure version,
# then the file version and the product version, each as two 32-bit words (major.minor,
# patch.tweak).
want_version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt")
[[ -n "$want_version" ]] || fail "no project version in $1/CMakeCache.txt"
signature=$(LC_ALL=C grep -obUaP '\xbd\x04\xef\xfe' "$exe" | head -n 1 | cut -d: -f1)
[[ -n "$signature" ]] || fail "no version record"
read -r file_ms file_ls product_ms product_ls < <(od -An -tu4 -j $((signature + 8)) -N 16 "$exe")
for pair in "file:$file_ms:$file_ls" "product:$product_ms:$product_ls"; do
    IFS=: read -r which ms ls <<<"$pair"
    version="$((ms >> 16)).$((ms & 0xFFFF)).$((ls >> 16)).$((ls & 0xFFFF))"
    [[ "$version" == "$want_version" ]] || fail "$which version is $version, expected $want_version"
done

# No folder of the build machine in the product, in narrow or UTF-16 text.
build_dir=$(cd "$1" && pwd)
for folder in "$source_dir" "$build_dir"; do
    if strings -a "$exe" | grep -qF "$folder" || strings -a -el "$exe" | grep -qF "$folder"; then
        fail "contains the build machine's folder $folder"
    fi
done

size=$(stat -c %s "$exe")
((size <= max_size)) || fail "$size bytes, more than the $max_size allowed"

# The same sources, copied to a fresh folder and built there with the same preset.
elsewhere=$(mktemp -d)
trap 'rm -rf "$elsewhere"' EXIT
tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -C "$elsewhere" -xf -
(cd "$elsewhere" && cmake --preset windows >/dev/null &&
    cmake --build build/windows --target tollivar -j "${JOBS:-2}" >/dev/null) ||
    fail "the second build in $elsewhere failed"
cmp -s "$exe" "$elsewhere/build/windows/bin/tollivar.exe" ||
    fail "differs from a second build of the same sources in another folder"

echo "check-windows-exe: $exe: PE32, i386, Windows GUI 6.0; ${#imports[@]} imports from ${dlls[*]}, all on the Vista list; terminal-server aware; version $want_version; supported OS list complete; no build folder; $size bytes; reproducible"
