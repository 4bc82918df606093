#!/usr/bin/env bash
# Builds the driver for every target and runs every test:
#   Linux x86-64, Linux i386 (-m32), ASan+UBSan (x86-64): build and test;
#   Windows 32-bit (MinGW-w64): build, the installer (NSIS), then under Wine:
#     the tests, install, upgrade and uninstall with CoCreateInstance, the
#     installed velkhost.exe on a simulated COM port, a 64-bit prefix;
#   libFuzzer targets (clang): a bounded number of inputs each.
# Installs the Debian packages it needs first. Run from anywhere.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

echo "=== format (clang-format, .clang-format)"
git ls-files '*.cpp' '*.h' '*.c' | xargs clang-format --dry-run --Werror

jobs=$(nproc)
for preset in linux64 linux32 win32 asan fuzz; do
  echo "=== build $preset"
  cmake --preset "$preset" > /dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

status=0
for preset in linux64 linux32 asan fuzz; do
  echo "=== test $preset"
  ctest --preset "$preset" || status=1
done
echo "=== Windows installer (scripts/windows-installer.sh)"
bash scripts/windows-installer.sh || status=1
echo "=== test win32 under Wine (scripts/wine-check.sh)"
wine_start=$SECONDS
timeout 600 bash scripts/wine-check.sh || status=1
echo "=== Wine step took $((SECONDS - wine_start)) s"
echo "=== packages: build, install with dpkg -i, try the installed files, purge"
bash scripts/package-check.sh || status=1
echo "=== main job (README): a bounded number of poll cycles on the simulated bus"
bash scripts/demo.sh --cycles 2 || status=1
exit $status
