#!/usr/bin/env bash
# Measures the Windows idle wait under Wine (velk_idle_wait.exe) against the
# Linux velksim on a pseudo-terminal mapped as COM6. Needs the win32 and
# linux64 presets built; uses the prefix build/wine-prefix (made if missing).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
export WINEPREFIX=$root/build/wine-prefix WINEARCH=win32 WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY
work=$(mktemp -d "$root/build/wine-idle.XXXXXX")
sim_pid=
cleanup() {
  timeout 30 wineserver -k 2>/dev/null || true  # before the pseudo-terminal's master closes
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap "exit 143" TERM INT
if [ ! -d "$WINEPREFIX/drive_c" ]; then
  timeout 180 wineboot -i > /dev/null 2>&1
  timeout 60 wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f > /dev/null 2>&1
fi
timeout 60 wineserver -w
timeout 300 build/linux64/tools/velksim/velksim tests/wine/idle_wait_bus.toml --plain --duration 240 \
  --path-file "$work/pty" > "$work/velksim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -s "$work/pty" ] && break; sleep 0.1; done
[ -s "$work/pty" ] || { echo "velksim did not start" >&2; cat "$work/velksim.log" >&2; exit 1; }
ln -sfn "$(cat "$work/pty")" "$WINEPREFIX/dosdevices/com6"
timeout 200 wine build/win32/tests/velk_idle_wait.exe COM6 "${1:-200}"
