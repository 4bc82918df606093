#!/usr/bin/env bash
# Builds the Windows installer from the win32 preset's build with NSIS:
#   scripts/windows-installer.sh                 build/win32/Velk4000-VERSION-setup.exe
#   scripts/windows-installer.sh --version 0.9.0 --output FILE [--fast]
#                                                the same files under another
#                                                version number (upgrade tests);
#                                                --fast: zlib, not solid lzma
# It installs the driver and its message library, velkhost.exe (velksim.exe
# where the build has one), the public headers, the C sample host, the
# example line files and the documentation. The version is the build's
# (CMake's project version) unless given. Prints the installer's path.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
win=$root/build/win32

version=
output=
compressor=()
while [ $# -gt 0 ]; do
  case "$1" in
    --version) version=$2; shift 2 ;;
    --output) output=$2; shift 2 ;;
    --fast) compressor=(-X"SetCompressor /FINAL zlib"); shift ;;
    *) echo "usage: $0 [--version X.Y.Z] [--output FILE] [--fast]" >&2; exit 2 ;;
  esac
done

defines=$win/installer-defines.nsh
for f in "$defines" "$win/Velk4000.dll" "$win/StringResource.dll" "$win/tools/velkhost/velkhost.exe"; do
  [ -e "$f" ] || { echo "windows-installer: $f is missing; build the win32 preset first" >&2; exit 2; }
done
built_version=$(sed -n 's/^!define VELK_BUILT_VERSION "\(.*\)"$/\1/p' "$defines")
version=${version:-$built_version}
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "windows-installer: version '$version' is not X.Y.Z" >&2; exit 2; }
output=${output:-$win/Velk4000-$version-setup.exe}

# The files as installed, under the folder they get there.
stage=$win/installer-stage
rm -rf "$stage"
mkdir -p "$stage/include/velk4000" "$stage/examples/host" "$stage/docs"
programs=("$win/Velk4000.dll" "$win/StringResource.dll" "$win/tools/velkhost/velkhost.exe")
[ -e "$win/tools/velksim/velksim.exe" ] && programs+=("$win/tools/velksim/velksim.exe")
cp "${programs[@]}" "$stage/"
# The build keeps debugging information, which an installation has no use for.
i686-w64-mingw32-strip --strip-debug "$stage"/*.dll "$stage"/*.exe
# Explorer and inventory tools read the version resource: every program has
# one, with the build's version (its strings are UTF-16).
for f in "$stage"/*.dll "$stage"/*.exe; do
  got=$(strings -el -n 3 "$f" | grep -x -A1 FileVersion | sed -n 2p)
  [ "$got" = "$built_version" ] ||
    { echo "windows-installer: $(basename "$f") has file version '$got', not $built_version" >&2; exit 1; }
done
cp include/velk4000/*.h "$stage/include/velk4000/"
cp examples/line.toml examples/simulator.toml "$stage/examples/"
cp examples/host/velk_host.c examples/host/CMakeLists.txt "$stage/examples/host/"
cp README.md "$stage/"
cp docs/*.md "$stage/docs/" 2>/dev/null || true

# What the installer writes and the uninstaller takes away: the same list,
# so that the uninstaller removes every file it installed and nothing else.
files=$win/installer-files.nsh
removals=$win/installer-removals.nsh
: > "$files"
: > "$removals"
while IFS= read -r dir; do
  rel=${dir#"$stage"}
  echo "SetOutPath \"\$INSTDIR${rel//\//\\}\"" >> "$files"
  find "$dir" -maxdepth 1 -type f -printf '%f\n' | sort | while IFS= read -r name; do
    echo "File \"$dir/$name\"" >> "$files"
    echo "Delete \"\$INSTDIR${rel//\//\\}\\$name\"" >> "$removals"
  done
done < <(find "$stage" -type d | sort)
# Folders deepest first; RMDir leaves one that still holds the user's files.
find "$stage" -mindepth 1 -type d | sort -r | while IFS= read -r dir; do
  rel=${dir#"$stage"}
  echo "RMDir \"\$INSTDIR${rel//\//\\}\"" >> "$removals"
done
size_kb=$(du -sk --apparent-size "$stage" | cut -f1)

makensis -V2 -NOCD "${compressor[@]}" -DVELK_DEFINES="$defines" -DVELK_VERSION="$version" -DVELK_FILES="$files" \
  -DVELK_REMOVALS="$removals" -DVELK_SIZE_KB="$size_kb" -DVELK_OUTFILE="$output" scripts/windows-installer.nsi >&2
echo "$output"
