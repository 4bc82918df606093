#!/usr/bin/env bash
# The Windows build proven under Wine, in a fresh 32-bit prefix under build/:
#   1. the unit and binary-interface tests (velk_*_tests.exe);
#   2. regsvr32, CoCreateInstance through the program identifier, regsvr32 /u
#      and the class gone again;
#   3. velkhost.exe polling examples/line.toml on COM5, a pseudo-terminal
#      served by the Linux velksim, compared value by value with the Linux
#      velkhost polling the same simulator.
# Needs the win32 and linux64 presets built. Every step is bounded; the
# prefix's wineserver and the simulator are stopped on every exit.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
win=$root/build/win32
linux=$root/build/linux64

for f in "$win/Velk4000.dll" "$win/StringResource.dll" "$win/tools/velkhost/velkhost.exe" \
         "$win/tests/velk_unit_tests.exe" "$win/tests/velk_abi_tests.exe" "$win/tests/velk_cocreate.exe" \
         "$linux/tools/velkhost/velkhost" "$linux/tools/velksim/velksim"; do
  [ -e "$f" ] || { echo "wine-check: $f is missing; build the win32 and linux64 presets first" >&2; exit 2; }
done

export WINEPREFIX=$root/build/wine-prefix WINEARCH=win32 WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY
work=$(mktemp -d "$root/build/wine-check.XXXXXX")
sim_pid=

cleanup() {
  # The wineserver holds the pseudo-terminal as its controlling terminal: it
  # goes before the simulator closes the master side, or it hangs.
  timeout 30 wineserver -k 2>/dev/null || true
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
# Ended from outside (a timeout): still stop what was started.
trap "exit 143" TERM INT

step() { echo "--- wine: $*"; }
winpath() { echo "Z:${1//\//\\}"; }

step "fresh prefix $WINEPREFIX"
rm -rf "$WINEPREFIX"
timeout 180 wineboot -i > /dev/null 2>&1
timeout 60 wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f > /dev/null 2>&1
# A program started before the prefix has settled can stall for seconds.
timeout 60 wineserver -w

step "unit and binary-interface tests"
for t in velk_unit_tests velk_abi_tests; do
  if ! (cd "$win/tests" && timeout 300 wine "./$t.exe" --gtest_brief=1 > "$work/$t.log" 2>&1); then
    cat "$work/$t.log" >&2
    echo "wine-check: $t.exe failed" >&2
    exit 1
  fi
  tail -n 2 "$work/$t.log"
done

step "regsvr32, CoCreateInstance, regsvr32 /u"
dll=$(winpath "$win/Velk4000.dll")
timeout 60 wine regsvr32 /s "$dll"
timeout 60 wine "$win/tests/velk_cocreate.exe"
timeout 60 wine regsvr32 /u /s "$dll"
timeout 60 wine "$win/tests/velk_cocreate.exe" --absent
if timeout 60 wine reg query 'HKLM\Software\Classes\CLSID\{F1C9CCD5-B1EF-11D2-8213-00400565D27C}' > /dev/null 2>&1; then
  echo "wine-check: the class key is still there after regsvr32 /u" >&2
  exit 1
fi

step "velkhost.exe on COM5 against velksim, compared with the Linux velkhost"
timeout 300 "$linux/tools/velksim/velksim" tests/wine/line-bus.toml --plain --duration 240 \
  --path-file "$work/pty" > "$work/velksim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -s "$work/pty" ] && break; sleep 0.1; done
[ -s "$work/pty" ] || { echo "wine-check: velksim did not start" >&2; cat "$work/velksim.log" >&2; exit 1; }
pty=$(cat "$work/pty")
ln -sfn "$pty" "$WINEPREFIX/dosdevices/com5"

# A module that fails must fail on both sides alike: the statuses are
# compared, not required to be 0. Windows goes first: the Linux driver marks
# the terminal exclusive (TIOCEXCL), and the mark outlives its closing while
# the simulator keeps the slave side open.
wine_status=0
(cd "$work" && timeout 120 wine "$win/tools/velkhost/velkhost.exe" poll "$(winpath "$root/examples/line.toml")" \
  --port COM5 --json --cycles 2 > "$work/wine.json") || wine_status=$?
linux_status=0
timeout 60 "$linux/tools/velkhost/velkhost" poll examples/line.toml --port "$pty" --json --cycles 2 \
  > "$work/linux.json" || linux_status=$?
if [ "$linux_status" != "$wine_status" ]; then
  echo "wine-check: velkhost ended with $linux_status on Linux, $wine_status under Wine" >&2
  exit 1
fi
python3 scripts/compare-poll.py "$work/linux.json" "$work/wine.json"
