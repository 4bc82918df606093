#!/usr/bin/env bash
# Builds the Debian packages, installs them on this machine with dpkg -i,
# tries the installed files as an integrator would, and purges the packages
# again (also on failure), so that the machine is left as it was. As root.
#   scripts/package-check.sh [BUILD_DIR]   BUILD_DIR: package that build
#                                          (configured for /usr), as
#                                          scripts/package.sh deb BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" != 0 ]; then
  echo "package-check: needs root for dpkg -i" >&2
  exit 2
fi

packages=(libvelk4000-1 libvelk4000-dev velk4000-tools)
for p in "${packages[@]}"; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'installed'; then
    echo "package-check: $p is already installed; not touching this machine's installation" >&2
    exit 2
  fi
done

bash scripts/package.sh deb "${1:-}"
work=$(mktemp -d /tmp/velk-package-check.XXXXXX)
cleanup() {
  dpkg --purge "${packages[@]}" > /dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "--- lintian: no errors in the three packages"
# Warnings and notes are shown; an error fails the check.
lintian --no-tag-display-limit build/packages/libvelk4000-1_*.deb build/packages/libvelk4000-dev_*.deb \
  build/packages/velk4000-tools_*.deb | tee "$work/lintian.txt" || true
if grep -q '^E: ' "$work/lintian.txt"; then
  echo "package-check: lintian reports errors" >&2
  exit 1
fi

echo "--- dpkg -i"
dpkg -i build/packages/libvelk4000-1_*.deb build/packages/libvelk4000-dev_*.deb build/packages/velk4000-tools_*.deb
for p in build/packages/*.deb; do
  echo "$(basename "$p"): $(dpkg-deb -f "$p" Depends)"
done

echo "--- the installed velkhost finds the installed driver and its message library"
velkhost library | tee "$work/library.txt"
grep -q "driver library: /usr/lib/" "$work/library.txt"
# (A bare "! grep" would never stop the script: set -e ignores it.)
if grep -q missing "$work/library.txt"; then
  echo "package-check: the installed velkhost misses a library" >&2
  exit 1
fi

echo "--- velkhost poll of the shipped example, simulated"
timeout 60 velkhost poll /etc/velk4000/line.toml --simulate --cycles 2 --interval-ms 0 --plain > "$work/poll.txt"
tail -n 5 "$work/poll.txt"
grep -q 'quality 192' "$work/poll.txt"

if command -v velkd > /dev/null; then
  echo "--- velkd --check of the shipped configuration, which the service runs"
  timeout 30 velkd --check /etc/velk4000/gateway.toml
  unit=/lib/systemd/system/velkd.service
  grep -q '^ExecStart=/usr/bin/velkd /etc/velk4000/gateway.toml$' "$unit"
  dpkg -S /etc/velk4000/gateway.toml > /dev/null
  systemd-analyze verify "$unit"
  echo "--- the unit: port 502 bindable, no restart loop on a wrong file, a state directory, hardened"
  grep -q '^AmbientCapabilities=CAP_NET_BIND_SERVICE$' "$unit"
  grep -q '^CapabilityBoundingSet=CAP_NET_BIND_SERVICE$' "$unit"
  grep -q '^RestartPreventExitStatus=2$' "$unit"
  grep -q '^StateDirectory=velkd$' "$unit"
  grep -q '^Type=notify$' "$unit" && grep -q '^WatchdogSec=' "$unit"
  for device in char-ttyS char-ttyUSB char-ttyACM char-usb_device; do
    grep -q "^DeviceAllow=$device rw$" "$unit"
  done
  grep -q '^SupplementaryGroups=dialout$' "$unit"
  systemd-analyze security --offline=yes "$unit" | tail -n 1 | tee "$work/security.txt"
  score=$(grep -oE 'level for velkd.service: [0-9.]+' "$work/security.txt" | grep -oE '[0-9.]+$')
  awk -v s="$score" 'BEGIN { exit !(s != "" && s <= 3.0) }' || {
    echo "package-check: systemd-analyze security rates the unit $score, above 3.0" >&2
    exit 1
  }
  echo "--- velkd tells systemd ready, feeds the watchdog, says stopping"
  python3 tests/tools/velkd_notify_check.py velkd velksim /etc/velk4000/line.toml /etc/velk4000/simulator.toml
  echo "--- systemd reads the unit again on install and on removal"
  for script in postinst postrm; do
    grep -q '^  systemctl --system daemon-reload' "/var/lib/dpkg/info/velk4000-tools.$script"
  done
fi

echo "--- no installed file names this build's tree; the Grafana provisioning files are there"
for p in "${packages[@]}"; do
  dpkg -L "$p" | while read -r file; do
    if [ ! -f "$file" ] || [ -L "$file" ]; then continue; fi
    # Manual pages and changelogs are compressed: their text is searched.
    if zgrep -qaF -e "$PWD/build" -e "$PWD/examples" -e "$PWD/tools" "$file"; then
      echo "package-check: $file ($p) names a path of the build tree $PWD" >&2
      exit 1
    fi
  done
done
docs=/usr/share/doc/velk4000-tools/docs
for file in grafana/velkd.json grafana/provisioning/datasources/prometheus.yaml \
  grafana/provisioning/dashboards/velkd.yaml; do
  [ -s "$docs/$file" ] || { echo "package-check: $docs/$file is not installed, though docs/velkd.md names it" >&2; exit 1; }
done

echo "--- the installed help names installed files only"
for tool in velkhost velksim velkd; do
  command -v "$tool" > /dev/null || continue
  help=$("$tool" --help)
  if grep -nE '(^|[ (])(examples|tools|build)/' <<< "$help"; then
    echo "$tool --help names files of the source tree" >&2
    exit 1
  fi
  for path in $(grep -oE '/etc/velk4000/[A-Za-z0-9_.-]+[A-Za-z0-9_-]' <<< "$help" | sort -u); do
    [ -f "$path" ] || { echo "$tool --help names $path, which is not installed" >&2; exit 1; }
  done
  man -w "$tool" > /dev/null
done

echo "--- a consumer built with pkg-config"
cat > "$work/atoms.c" <<'C'
#include <string.h>
#include <velk4000/velk4000.h>
int main(void) {
  char text[32];
  const uint16_t atom = GlobalAddAtomA("pkg-config");
  if (atom == 0 || GlobalGetAtomNameA(atom, text, (int)sizeof text) != 10 || strcmp(text, "pkg-config") != 0) return 1;
  return GlobalDeleteAtom(atom) == 0 ? 0 : 1;
}
C
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror "$work/atoms.c" -o "$work/atoms" $(pkg-config --cflags --libs velk4000)
"$work/atoms"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror examples/host/velk_host.c -o "$work/velk_host" \
  $(pkg-config --cflags --libs velk4000) -ldl
bash tests/tools/sample_host_check.sh velksim velkhost "$work/velk_host" \
  "$(pkg-config --variable=driver velk4000)" "$work/sample"

echo "--- a consumer built with find_package"
cmake -S tests/tools/consumer -B "$work/consumer" > /dev/null
cmake --build "$work/consumer" > /dev/null
"$work/consumer/consumer"

echo "--- velkhost through the registration record"
XDG_CONFIG_HOME=$work/config velkhost --library "$(pkg-config --variable=driver velk4000)" register
XDG_CONFIG_HOME=$work/config velkhost --progid Velk4000.Velk4000Pro tables Velk4017 | head -n 2

echo "package-check: the installed packages work"
