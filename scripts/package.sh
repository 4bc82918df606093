#!/usr/bin/env bash
# Builds the installable packages into build/packages/:
#   scripts/package.sh          Debian packages of this machine's architecture
#                               (libvelk4000-1, libvelk4000-dev, velk4000-tools)
#   scripts/package.sh win32    a zip of the 32-bit Windows build
# The Debian build is configured for /usr in a build folder of its own
# (build/package), so it does not disturb the presets' folders.
set -euo pipefail
cd "$(dirname "$0")/.."

out=$PWD/build/packages
mkdir -p "$out"
jobs=$(nproc)
case "${1:-deb}" in
  deb)
    cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
      -DVELK_BUILD_TESTS=OFF -DVELK_BUILD_BENCH=OFF -DVELK_BUILD_TREE_PATHS=OFF > /dev/null
    cmake --build build/package -j "$jobs"
    rm -f "$out"/*.deb
    (cd build/package && cpack -G DEB -B "$out" > /dev/null)
    rm -rf "$out/_CPack_Packages"
    ls -1 "$out"/*.deb
    ;;
  win32)
    cmake --preset win32 > /dev/null
    cmake --build --preset win32 -j "$jobs"
    rm -f "$out"/*.zip
    (cd build/win32 && cpack -G ZIP -B "$out" > /dev/null)
    rm -rf "$out/_CPack_Packages"
    ls -1 "$out"/*.zip
    ;;
  *)
    echo "usage: $0 [deb|win32]" >&2
    exit 2
    ;;
esac
