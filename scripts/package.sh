#!/usr/bin/env bash
# Builds the installable packages into build/packages/:
#   scripts/package.sh          Debian packages of this machine's architecture
#                               (libvelk4000-1, libvelk4000-dev, velk4000-tools)
#   scripts/package.sh deb DIR  the same from an existing build folder that
#                               was configured for /usr (scripts/test.sh's
#                               linux64), without building a second time
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
    build=${2:-}
    if [ -z "$build" ]; then
      build=build/package
      cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
        -DVELK_BUILD_TESTS=OFF -DVELK_BUILD_BENCH=OFF -DVELK_BUILD_TREE_PATHS=OFF > /dev/null
    else
      # The paths the programs name are compiled in: a build for another
      # prefix would make packages that point elsewhere.
      grep -qx 'CMAKE_INSTALL_PREFIX:PATH=/usr' "$build/CMakeCache.txt" ||
        { echo "package: $build is not configured with CMAKE_INSTALL_PREFIX=/usr" >&2; exit 2; }
      grep -qx 'CMAKE_BUILD_TYPE:STRING=RelWithDebInfo' "$build/CMakeCache.txt" ||
        { echo "package: $build is not a RelWithDebInfo build" >&2; exit 2; }
      # A package's programs carry no path of the tree that built them; only
      # the one file that names those paths is built again.
      cmake "$build" -DVELK_BUILD_TREE_PATHS=OFF > /dev/null
    fi
    cmake --build "$build" -j "$jobs"
    rm -f "$out"/*.deb
    (cd "$build" && cpack -G DEB -B "$out" > /dev/null)
    rm -rf "$out/_CPack_Packages"
    if [ -n "${2:-}" ]; then
      # The tree's own programs find the tree again, for what runs after.
      cmake "$build" -DVELK_BUILD_TREE_PATHS=ON > /dev/null
      cmake --build "$build" -j "$jobs" > /dev/null
    fi
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
    echo "usage: $0 [deb [BUILD_DIR]|win32]" >&2
    exit 2
    ;;
esac
