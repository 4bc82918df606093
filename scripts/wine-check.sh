#!/usr/bin/env bash
# The Windows build proven under Wine, in a fresh 32-bit prefix under build/:
#   1. the unit and binary-interface tests (velk_*_tests.exe);
#   2. the installer (scripts/windows-installer.sh): an older version installed
#      silently into a folder given with /D, this version over it (one entry
#      in Add/Remove Programs, the user's files kept), CoCreateInstance
#      through the program identifier;
#   3. the installed velkhost.exe polling the installed examples/line.toml on
#      COM5, a pseudo-terminal served by the Linux velksim, compared value by
#      value with the Linux velkhost polling the same simulator;
#   4. the silent uninstall: the class, the entry and every installed file
#      gone, the user's files kept;
#   5. in a 64-bit (WoW64) prefix, made while 1 to 4 run: the installer into
#      Program Files (x86), the class in the 32-bit registry view only, and
#      created from a 32-bit process.
# Needs the win32 and linux64 presets built and the installer made. Every
# step is bounded; the prefixes' wineservers and the simulator are stopped on
# every exit.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
win=$root/build/win32
linux=$root/build/linux64

version=$(sed -n 's/^!define VELK_BUILT_VERSION "\(.*\)"$/\1/p' "$win/installer-defines.nsh" 2>/dev/null || true)
setup=$win/Velk4000-$version-setup.exe
for f in "$setup" "$win/tests/velk_unit_tests.exe" "$win/tests/velk_abi_tests.exe" "$win/tests/velk_cocreate.exe" \
         "$linux/tools/velkhost/velkhost" "$linux/tools/velksim/velksim"; do
  [ -e "$f" ] || { echo "wine-check: $f is missing; build the win32 and linux64 presets and run scripts/windows-installer.sh first" >&2; exit 2; }
done

prefix32=$root/build/wine-prefix
export WINEPREFIX=$prefix32 WINEARCH=win32 WINEDEBUG=-all
prefix64=$root/build/wine-prefix64
unset DISPLAY WAYLAND_DISPLAY
work=$(mktemp -d "$root/build/wine-check.XXXXXX")
sim_pid=
boot64_pid=

cleanup() {
  # The wineserver holds the pseudo-terminal as its controlling terminal: it
  # goes before the simulator closes the master side, or it hangs.
  WINEPREFIX=$prefix32 timeout 30 wineserver -k 2>/dev/null || true
  if [ -n "$boot64_pid" ]; then
    kill "$boot64_pid" 2>/dev/null || true
    wait "$boot64_pid" 2>/dev/null || true
  fi
  WINEPREFIX=$prefix64 timeout 30 wineserver -k 2>/dev/null || true
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
# Ended from outside (a timeout): still stop what was started.
trap "exit 143" TERM INT

step() { echo "--- wine: $* (at ${SECONDS} s)"; }
fail() { echo "wine-check: $*" >&2; exit 1; }
# One value of a registry key ("" for the default value), empty when absent;
# further arguments go to reg (a registry view: /reg:32, /reg:64).
reg_value() {
  local key=$1 name=$2 how=(/v "$2")
  shift 2
  [ -z "$name" ] && { how=(/ve); name='(Default)'; }
  timeout 60 wine reg query "$key" "${how[@]}" "$@" 2>/dev/null | tr -d '\r' |
    sed -n "s/^ *${name//[()]/.} *REG_[A-Z_]* *//p" || true
}
# A silent uninstall: the uninstaller runs on from a copy of itself, and
# deletes the original last of the files, after the registry.
uninstall() {
  timeout 60 wine "$1\uninstall.exe" /S || fail "the silent uninstall from $1 ended with $?"
  for _ in $(seq 300); do [ -e "$2/uninstall.exe" ] || return 0; sleep 0.2; done
  fail "the uninstaller in $1 did not finish"
}
clsid_key='HKLM\Software\Classes\CLSID\{F1C9CCD5-B1EF-11D2-8213-00400565D27C}'
uninstall_root='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
# Entries in Add/Remove Programs that name the product, whatever their key.
entry_count() {
  timeout 60 wine reg query "$uninstall_root" /s 2>/dev/null | tr -d '\r' | grep -c 'DisplayName *REG_SZ *Velk4000' || true
}

# The 64-bit prefix boots beside the 32-bit steps; it is checked at the end.
(
  export WINEPREFIX=$prefix64 WINEARCH=win64
  rm -rf "$WINEPREFIX"
  timeout 240 wineboot -i
  timeout 60 wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
  timeout 60 wineserver -w
) > "$work/wineboot64.log" 2>&1 &
boot64_pid=$!

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

step "installer: an older version into /D, then $version over it"
# The same files under a lower version number stand for the older release.
old_setup=$(bash scripts/windows-installer.sh --version 0.0.0 --output "$work/Velk4000-0.0.0-setup.exe" --fast 2>"$work/makensis.log") ||
  { cat "$work/makensis.log" >&2; fail "the older installer was not built"; }
dir_win='C:\Velk4000-check'
dir=$WINEPREFIX/drive_c/Velk4000-check
timeout 120 wine "$old_setup" /S "/D=$dir_win" || fail "the silent install of 0.0.0 ended with $?"
[ "$(reg_value "$uninstall_root\Velk4000" DisplayVersion)" = 0.0.0 ] || fail "no Add/Remove Programs entry for 0.0.0"
# The user's own line files: one beside the program, one in an installed folder.
echo 'user = "plant"' > "$dir/plant-line.toml"
echo 'user = "hall 2"' > "$dir/examples/hall-2.toml"
# No /D: an upgrade goes where the installed version is.
timeout 120 wine "$setup" /S || fail "the silent upgrade to $version ended with $?"
[ "$(entry_count)" = 1 ] || fail "$(entry_count) Add/Remove Programs entries after the upgrade, not 1"
for pair in "DisplayVersion=$version" "Publisher=$(sed -n 's/^!define VELK_PUBLISHER "\(.*\)"$/\1/p' "$win/installer-defines.nsh")" \
            "InstallLocation=$dir_win"; do
  got=$(reg_value "$uninstall_root\Velk4000" "${pair%%=*}")
  [ "$got" = "${pair#*=}" ] || fail "the entry's ${pair%%=*} is '$got', not '${pair#*=}'"
done
size=$(reg_value "$uninstall_root\Velk4000" EstimatedSize)
[ $((size)) -gt 0 ] || fail "the entry has no size"
server=$(reg_value "$clsid_key\InprocServer32" "")
[ "${server,,}" = "${dir_win,,}\velk4000.dll" ] || fail "the class's server is '$server', not the installed library"
for f in plant-line.toml examples/hall-2.toml; do [ -f "$dir/$f" ] || fail "the upgrade removed the user's $f"; done
timeout 60 wine "$win/tests/velk_cocreate.exe"

step "the installed velkhost.exe on COM5 against velksim, compared with the Linux velkhost"
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
(cd "$work" && timeout 120 wine "$dir_win\velkhost.exe" poll "$dir_win\examples\line.toml" \
  --port COM5 --json --cycles 2 > "$work/wine.json") || wine_status=$?
linux_status=0
timeout 60 "$linux/tools/velkhost/velkhost" poll examples/line.toml --port "$pty" --json --cycles 2 \
  > "$work/linux.json" || linux_status=$?
if [ "$linux_status" != "$wine_status" ]; then
  echo "wine-check: velkhost ended with $linux_status on Linux, $wine_status under Wine" >&2
  exit 1
fi
python3 scripts/compare-poll.py "$work/linux.json" "$work/wine.json"

step "silent uninstall"
uninstall "$dir_win" "$dir"
timeout 60 wine "$win/tests/velk_cocreate.exe" --absent
timeout 60 wine reg query "$clsid_key" > /dev/null 2>&1 && fail "the class key is still there after the uninstall"
[ "$(entry_count)" = 0 ] || fail "the Add/Remove Programs entry is still there after the uninstall"
left=$(cd "$dir" && find . -type f | sort | tr '\n' ' ')
[ "$left" = "./examples/hall-2.toml ./plant-line.toml " ] || fail "after the uninstall the folder holds: $left"

step "64-bit prefix $prefix64: the class where a 32-bit host looks"
wait "$boot64_pid" || { cat "$work/wineboot64.log" >&2; fail "the 64-bit prefix was not made"; }
boot64_pid=
WINEPREFIX=$prefix32 timeout 30 wineserver -k 2>/dev/null || true
export WINEPREFIX=$prefix64 WINEARCH=win64
timeout 120 wine "$setup" /S || fail "the silent install in the 64-bit prefix ended with $?"
installed_win='C:\Program Files (x86)\Velk4000'
[ -f "$WINEPREFIX/drive_c/Program Files (x86)/Velk4000/Velk4000.dll" ] || fail "the library is not in Program Files (x86)"
server=$(reg_value "$clsid_key\InprocServer32" "" /reg:32)
[ "${server,,}" = "${installed_win,,}\velk4000.dll" ] || fail "the 32-bit view's server is '$server'"
# A 64-bit process could not load the 32-bit library: its view has no class.
[ -z "$(reg_value "$clsid_key\InprocServer32" "" /reg:64)" ] || fail "the class is in the 64-bit view"
[ "$(reg_value "$uninstall_root\Velk4000" DisplayVersion /reg:32)" = "$version" ] || fail "no entry in the 32-bit view"
timeout 60 wine "$win/tests/velk_cocreate.exe"
# The uninstaller's regsvr32 /u must reach the same view.
uninstall "$installed_win" "$WINEPREFIX/drive_c/Program Files (x86)/Velk4000"
[ -z "$(reg_value "$clsid_key\InprocServer32" "" /reg:32)" ] || fail "the class stays in the 32-bit view after the uninstall"
step "done"
