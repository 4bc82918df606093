#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail
packages=(
  cmake ninja-build g++ g++-multilib g++-mingw-w64-i686 binutils-mingw-w64-i686
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev libtomlplusplus-dev nlohmann-json3-dev
  clang libclang-rt-14-dev
  ser2net
  wine wine32:i386 wine64 nsis python3
  mosquitto mosquitto-clients libmosquitto-dev
  dpkg-dev file pkgconf lintian systemd
  libmodbus-dev strace jq bsdextrautils
  mbpoll python3-pymodbus python3-serial-asyncio
  libcpp-httplib-dev libssl-dev openssl prometheus chromium chromium-driver python3-selenium
  clang-format libprotobuf-dev protobuf-compiler libsqlite3-dev libsystemd-dev python3-jinja2 nodejs
)
export DEBIAN_FRONTEND=noninteractive
# wine32 is an i386 package: the architecture must be known before apt-get
# update reads the package lists.
need_update=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need_update=1
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ $need_update = 1 ]; then
  apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# The Sparkplug test host's npm packages, exactly as its lock file pins them;
# skipped when the lock file is the one they were last installed from.
host_dir="$(cd "$(dirname "$0")/../tests/sparkplug" && pwd)"
if ! cmp -s "$host_dir/package-lock.json" "$host_dir/node_modules/.installed-lock.json"; then
  (cd "$host_dir" && npm ci --no-audit --no-fund --loglevel=error >/dev/null &&
    cp package-lock.json node_modules/.installed-lock.json)
fi
