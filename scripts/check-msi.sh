#!/usr/bin/env bash
# Checks the Windows Installer package of a windows build: its tables, its summary (Intel
# platform, English), its properties (per machine, the project's version, a product code
# derived from that version), exactly tollivar.exe and tollivarmsg.dll with the built bytes,
# the message file's form (a 32-bit DLL without code, imports or entry point, carrying the
# project's version), the version rule against the last release, and reproducibility: the
# same sources built again from another folder give the same package, byte for byte.
# Usage: scripts/check-msi.sh BUILD_DIR   (e.g. build/windows)
set -euo pipefail

if [[ $# -ne 1 ]]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
build_dir=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
objdump="${OBJDUMP:-i686-w64-mingw32-objdump}"

fail() {
    echo "check-msi: $*" >&2
    exit 1
}

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
[[ -n "$version" ]] || fail "no project version in $build_dir/CMakeCache.txt"
msi="$build_dir/tollivar-$version.msi"
[[ -f "$msi" ]] || fail "$msi not found (build the windows preset first)"
for tool in msiinfo msiextract "$objdump"; do
    command -v "$tool" >/dev/null || fail "$tool not found (scripts/install-deps.sh installs it)"
done

# Windows Installer compares only the first three fields of a version: a package whose
# version differs from the last release only in the fourth would not replace it.
last=$(tr -d '[:space:]' <"$source_dir/packaging/last-release.txt")
IFS=. read -r a1 b1 c1 d1 <<<"$version"
IFS=. read -r a2 b2 c2 d2 <<<"$last"
if [[ "$a1.$b1.$c1" == "$a2.$b2.$c2" && "${d1:-0}" != "${d2:-0}" ]]; then
    fail "version $version differs from the last release $last only in the fourth field, which" \
        "Windows Installer ignores: raise the third field"
fi
if ((a1 < a2 || (a1 == a2 && (b1 < b2 || (b1 == b2 && c1 < c2))))); then
    fail "version $version is older than the last release $last"
fi

# The tables wixl writes for this package, no more and no fewer.
tables=$(msiinfo tables "$msi" | sort | tr '\n' ' ')
want_tables="AdminExecuteSequence AdminUISequence AdvtExecuteSequence AppSearch Binary Component \
CreateFolder CustomAction Directory Error FeatureComponents Feature File Icon InstallExecuteSequence \
InstallUISequence LaunchCondition Media MsiFileHash Property RegLocator Registry RemoveFile \
ServiceControl ServiceInstall Shortcut Signature Upgrade _ForceCodepage _SummaryInformation "
want_tables=$(tr ' ' '\n' <<<"$want_tables" | sed '/^$/d' | sort | tr '\n' ' ')
[[ "$tables" == "$want_tables" ]] || fail "tables are '$tables', expected '$want_tables'"

template=$(msiinfo suminfo "$msi" | sed -n 's/^Template: //p')
[[ "$template" == "Intel;1033" ]] || fail "summary platform and language are '$template', expected 'Intel;1033'"

# One property's value from the Property table (after its three header lines).
property() { msiinfo export "$msi" Property | tr -d '\r' | awk -F'\t' -v p="$1" 'NR > 3 && $1 == p { print $2 }'; }
for pair in ALLUSERS=1 ARPNOMODIFY=1 REBOOT=ReallySuppress ProductVersion="$version"; do
    got=$(property "${pair%%=*}")
    [[ "$got" == "${pair#*=}" ]] || fail "property ${pair%%=*} is '$got', expected '${pair#*=}'"
done
# The product code is the name-based (SHA-1) UUID of "tollivar VERSION" in the upgrade code's
# namespace: the same version always has the same code.
upgrade_code=$(property UpgradeCode)
product_code=$(property ProductCode)
want_code=$(python3 -c 'import sys, uuid
print("{%s}" % str(uuid.uuid5(uuid.UUID(sys.argv[1]), "tollivar " + sys.argv[2])).upper())' \
    "$upgrade_code" "$version")
[[ "$product_code" == "$want_code" ]] || fail "product code is $product_code, expected $want_code"

# Exactly the two files, each with the size the File table records and the built bytes.
extracted=$(mktemp -d)
trap 'rm -rf "$extracted"' EXIT
(cd "$extracted" && msiextract "$msi" >/dev/null) || fail "msiextract cannot read it"
files=$(cd "$extracted" && find . -type f | sort | tr '\n' ' ')
want_files="./Program Files/tollivar/tollivar.exe ./Program Files/tollivar/tollivarmsg.dll "
[[ "$files" == "$want_files" ]] || fail "carries '$files', expected '$want_files'"
for name in tollivar.exe tollivarmsg.dll; do
    cmp -s "$extracted/Program Files/tollivar/$name" "$build_dir/bin/$name" ||
        fail "$name differs from $build_dir/bin/$name"
    size=$(msiinfo export "$msi" File | tr -d '\r' | awk -F'\t' -v f="$name" 'NR > 3 && $1 == f { print $4 }')
    [[ "$size" == "$(stat -c %s "$build_dir/bin/$name")" ]] ||
        fail "the File table gives $name $size bytes, the built file has $(stat -c %s "$build_dir/bin/$name")"
done

# The message file: loaded as data only, so it has nothing to run and nothing to bind.
dll="$build_dir/bin/tollivarmsg.dll"
headers=$("$objdump" -p "$dll")
grep -q 'file format pei-i386' <<<"$headers" || fail "$dll is not a PE32 i386 image"
characteristics=$(awk '$1 == "Characteristics" { print $2; exit }' <<<"$headers")
(((characteristics & 0x2000) != 0)) || fail "$dll is not a DLL (characteristics $characteristics)"
entry=$(awk '$1 == "AddressOfEntryPoint" { print $2 }' <<<"$headers")
[[ "$entry" == "00000000" ]] || fail "$dll has an entry point at $entry"
! grep -q 'DLL Name:' <<<"$headers" || fail "$dll imports: $(grep 'DLL Name:' <<<"$headers" | tr -s ' ')"
signature=$(LC_ALL=C grep -obUaP '\xbd\x04\xef\xfe' "$dll" | head -n 1 | cut -d: -f1)
[[ -n "$signature" ]] || fail "$dll has no version record"
read -r ms ls < <(od -An -tu4 -j $((signature + 8)) -N 8 "$dll")
dll_version="$((ms >> 16)).$((ms & 0xFFFF)).$((ls >> 16)).$((ls & 0xFFFF))"
[[ "$dll_version" == "$version" ]] || fail "$dll has version $dll_version, expected $version"

# No folder of the build machine inside, in narrow or UTF-16 text.
for folder in "$source_dir" "$build_dir"; do
    if strings -a "$msi" | grep -qF "$folder" || strings -a -el "$msi" | grep -qF "$folder"; then
        fail "$msi contains the build machine's folder $folder"
    fi
done

# Reproducible: the message file built from a copy of the sources in another folder, and the
# package built again later from files with newer times, are the same bytes. (tollivar.exe's
# own build is checked by check-windows-exe.sh.)
elsewhere=$(mktemp -d)
trap 'rm -rf "$extracted" "$elsewhere"' EXIT
tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -C "$elsewhere" -xf -
(cd "$elsewhere" && cmake --preset windows >/dev/null &&
    cmake --build build/windows --target tollivarmsg >/dev/null) ||
    fail "the message file's second build in $elsewhere failed"
cmp -s "$dll" "$elsewhere/build/windows/bin/tollivarmsg.dll" ||
    fail "$dll differs from a second build of the same sources in another folder"
cp "$msi" "$elsewhere/first.msi"
sleep 1 # a new second for the clock and for the files' times
touch "$build_dir/bin/tollivar.exe" "$dll"
cmake --build "$build_dir" --target tollivar_msi >/dev/null || fail "the package's second build failed"
cmp -s "$msi" "$elsewhere/first.msi" || fail "$msi differs from its second build"

echo "check-msi: $msi: tables complete; Intel;1033; per machine, version $version, product" \
    "code $product_code; tollivar.exe and tollivarmsg.dll as built; message file without code," \
    "version $dll_version; reproducible"
