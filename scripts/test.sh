#!/usr/bin/env bash
# Builds the driver for every target and runs every test:
#   Linux x86-64, Linux i386 (-m32), ASan+UBSan (x86-64): build and test;
#   ThreadSanitizer (x86-64): velkd and the tests where threads meet;
#   Windows 32-bit (MinGW-w64): build, the installer (NSIS), then under Wine:
#     the tests, install, upgrade and uninstall with CoCreateInstance, the
#     installed velkhost.exe on a simulated COM port, a 64-bit prefix;
#   libFuzzer targets (clang): a bounded number of inputs each;
#   the Debian packages of the linux64 build, installed and tried;
#   the README's main job.
# Installs the Debian packages it needs first. Run from anywhere.
#
# linux64 is built first; the other presets are then built one after the
# other in the background, on the processor's idle time only, while the tests of those
# already built run: most test time is spent waiting on pseudo-terminals,
# sockets and time-outs, which leaves the processor to the compiler. Each
# step prints how long it took (docs/testing.md).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

echo "=== format (clang-format, .clang-format)"
git ls-files '*.cpp' '*.h' '*.c' | xargs clang-format --dry-run --Werror

jobs=$(nproc)
run_start=$SECONDS
steps=build/steps
rm -rf "$steps"
mkdir -p "$steps"

# One preset configured and built; its output and time go to
# build/steps/PRESET.log, its exit status to build/steps/PRESET.status.
build_preset() {
  local preset=$1 start=$SECONDS rc=0
  shift
  {
    cmake --preset "$preset" "$@" > /dev/null && cmake --build --preset "$preset" -j "$jobs"
  } > "$steps/$preset.log" 2>&1 || rc=$?
  echo "=== build $preset took $((SECONDS - start)) s" >> "$steps/$preset.log"
  echo "$rc" > "$steps/$preset.status"
}

# Waits for a preset's build from the background and reports it; fails
# when the build failed.
built() {
  while [ ! -e "$steps/$1.status" ]; do
    kill -0 "$builder" 2> /dev/null || break
    sleep 1
  done
  if [ "$(cat "$steps/$1.status" 2> /dev/null)" != 0 ]; then
    tail -n 40 "$steps/$1.log"
    echo "=== build $1 failed"
    return 1
  fi
  tail -n 1 "$steps/$1.log"
}

timed() {
  local name=$1 start=$SECONDS rc=0
  shift
  "$@" || rc=$?
  echo "=== $name took $((SECONDS - start)) s"
  return $rc
}

# A step whose tests are bound by time runs with the background builds
# paused: even on idle time, a compiler on the same two cores takes enough
# of the memory and caches to cost such tests their margins.
paused() {
  local rc=0
  kill -STOP -- -"$builder" 2> /dev/null || true
  timed "$@" || rc=$?
  kill -CONT -- -"$builder" 2> /dev/null || true
  return $rc
}

echo "=== build linux64"
# Configured for /usr, so that the package check packages this build
# rather than compiling the same programs a second time.
build_preset linux64 -DCMAKE_INSTALL_PREFIX=/usr
built linux64 || { cat "$steps/linux64.log"; exit 1; }

# In a process group of their own, so that the test steps can pause them.
set -m
(
  # Without job control inside: a compiler stopped with the group must not
  # be taken for a stopped job that this shell then waits on for ever.
  set +m
  # Idle-time scheduling, not a nice level: a compiler at any nice level
  # still delays a test's wake-up enough to cost it a time-out on 2 cores.
  chrt --idle -p 0 "$BASHPID" > /dev/null
  for preset in asan tsan win32 linux32 fuzz; do
    build_preset "$preset"
  done
) &
builder=$!
set +m
# The builds stop with this script, whichever way it ends.
trap 'kill -CONT -- -"$builder" 2> /dev/null || true; kill -- -"$builder" 2> /dev/null || true' EXIT

status=0
echo "=== test linux64"
paused "test linux64" ctest --preset linux64 || status=1
echo "=== packages of the linux64 build: install with dpkg -i, try the installed files, purge"
timed "package check" bash scripts/package-check.sh build/linux64 || status=1
echo "=== main job (README): a bounded number of poll cycles on the simulated bus"
paused "main job" bash scripts/demo.sh --cycles 2 || status=1

echo "=== test asan"
if built asan; then paused "test asan" ctest --preset asan || status=1; else status=1; fi

echo "=== test tsan (velkd and the tests where threads meet)"
if built tsan; then
  # Every process writes its reports here (the tsan test preset), so that
  # one from a program a test killed is counted too.
  rm -rf build/tsan/reports
  mkdir -p build/tsan/reports
  paused "test tsan" ctest --preset tsan || status=1
  reports=$(find build/tsan/reports -type f | wc -l)
  echo "=== ThreadSanitizer: $reports reports"
  if [ "$reports" != 0 ]; then
    find build/tsan/reports -type f -exec cat {} +
    status=1
  fi
else
  status=1
fi

echo "=== win32: the installer (scripts/windows-installer.sh), then under Wine (scripts/wine-check.sh)"
if built win32; then
  timed "Windows installer" bash scripts/windows-installer.sh || status=1
  paused "Wine step" timeout 600 bash scripts/wine-check.sh || status=1
else
  status=1
fi

echo "=== test linux32"
if built linux32; then paused "test linux32" ctest --preset linux32 || status=1; else status=1; fi

echo "=== test fuzz"
if built fuzz; then timed "test fuzz" ctest --preset fuzz || status=1; else status=1; fi

wait "$builder" || true
echo "=== whole run took $((SECONDS - run_start)) s after the format check"
exit $status
