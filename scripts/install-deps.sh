#!/usr/bin/env bash
# Installs what building and testing tollivar needs on Debian (run as root). Packages that are
# already installed are left alone, so a second run costs nothing.
set -euo pipefail

packages=(
    cmake ninja-build g++
    g++-mingw-w64-i686-win32 mingw-w64-tools binutils-mingw-w64-i686
    libgtest-dev libgmock-dev libsqlite3-dev nlohmann-json3-dev libutfcpp-dev
    clang-14 libclang-rt-14-dev libbenchmark-dev
    wixl msitools faketime
    python3
    ccache mold
    stress-ng # scripts/loaded-suite.sh only
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done

if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
