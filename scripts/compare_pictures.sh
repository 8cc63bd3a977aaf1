#!/usr/bin/env bash
# The cross-platform picture check: the test set of bmp, jpg and ico files
# (written by the Linux build's picture_render) is converted for both screen
# sizes by the Linux build and by the Windows build under Wine, and each
# terminal image must be the same, byte for byte. Prints per file the bytes
# that differ; fails when any do, or when a side refuses a file.
#
# Usage: scripts/compare_pictures.sh [--linux-build DIR] [--windows-build DIR] [--keep DIR] [FILE...]
#   --linux-build DIR    a configured Linux build tree (default: build/default)
#   --windows-build DIR  a configured Windows build tree (default: build/windows)
#   --keep DIR           leave the set and the images in DIR (default: removed)
#   FILE...              more bmp, jpg or ico files to compare besides the set
# Runs in the Wine prefix of WINEPREFIX when it is set (scripts/windows.sh sets
# one up), otherwise in a fresh one of its own.
set -euo pipefail

linux_build=build/default windows_build=build/windows keep=''
extra=()
while (($#)); do
  case $1 in
    --linux-build) linux_build=$2; shift 2 ;;
    --windows-build) windows_build=$2; shift 2 ;;
    --keep) keep=$(realpath -m -- "$2"); shift 2 ;;
    -*) sed -n '/^# Usage/,/^# Runs/p' "$0" >&2; exit 2 ;;
    *) extra+=("$(realpath -- "$1")"); shift ;;
  esac
done
cd "$(dirname "$0")/.."
linux_build=$(realpath -- "$linux_build")
windows_build=$(realpath -- "$windows_build")
cmake --build "$linux_build" --target picture_render
cmake --build "$windows_build" --target picture_render

export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
cleanup=()
if [[ -n $keep ]]; then
  work=$keep
  rm -rf "$work/set" "$work/linux" "$work/windows"
  mkdir -p "$work"
else
  work=$(mktemp -d /tmp/ks318-pictures-XXXXXX)
  cleanup+=("$work")
fi
if [[ -z ${WINEPREFIX:-} ]]; then
  WINEPREFIX=$(mktemp -d /tmp/ks318-wine-XXXXXX)
  export WINEPREFIX
  cleanup+=("$WINEPREFIX")
  trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "${cleanup[@]}"' EXIT
  wineboot -i >/dev/null 2>&1
  wineserver -w
else
  trap 'rm -rf "${cleanup[@]}"' EXIT
fi

windowsPath() { local path=$1; echo "Z:${path//\//\\}"; }
mapfile -t names < <("$linux_build/tests/picture_render" --write-set "$work/set")
files=()
for name in "${names[@]}"; do files+=("$work/set/$name"); done
files+=("${extra[@]}")
windows_files=()
for file in "${files[@]}"; do windows_files+=("$(windowsPath "$file")"); done

status=0
"$linux_build/tests/picture_render" "$work/linux" "${files[@]}" | sed 's/^/Linux: /' || status=1
# KS318.dll is found beside the test program's folder through WINEPATH.
WINEPATH=$(windowsPath "$windows_build") wine "$windows_build/tests/picture_render.exe" \
  "$(windowsPath "$work/windows")" "${windows_files[@]}" 2>&1 | tr -d '\r' | sed 's/^/Windows: /' || status=1

printf '%-22s %12s %12s\n' file "318 differ" "480 differ"
for file in "${files[@]}"; do
  name=$(basename "$file")
  row=()
  for size in 318 480; do
    a=$work/linux/$name.$size b=$work/windows/$name.$size
    if [[ ! -f $a || ! -f $b ]]; then
      row+=(refused)
      status=1
    else
      differ=$(cmp -l "$a" "$b" | wc -l || true)
      row+=("$differ")
      ((differ == 0)) || status=1
    fi
  done
  printf '%-22s %12s %12s\n' "$name" "${row[@]}"
done
if ((status)); then echo "pictures differ between Linux and Windows"; else echo "${#files[@]} files: the same bytes on Linux and Windows"; fi
exit "$status"
