#!/usr/bin/env bash
# The cross-platform metafile comparison: the built-in test metafiles and the
# real ones of scripts/fetch_test_pictures.sh are converted for a 320 × 240
# screen by the Linux build and by the Windows build under Wine (whose GDI
# plays metafiles as Windows does: the reference), and each pair of terminal
# images must agree on at least 98 % of its pixels, each channel within 48.
# Prints a table; fails when any file is below the mark or refused on a side.
#
# Usage: scripts/compare_metafiles.sh [--sheet PNG] [--keep DIR] [--exports]
#          [--linux-build DIR] [--windows-build DIR] [--mutants N]
#   --sheet PNG          also draw a contact sheet: per file the Linux and the
#                        Windows image side by side (e.g. docs/metafile-contact-sheet.png)
#   --keep DIR           leave the files and the images in DIR (default: removed)
#   --linux-build DIR    a configured Linux build tree (default: the `default`
#                        preset's build/default, configured when it is not)
#   --windows-build DIR  a configured Windows build tree (default: build/windows)
#   --exports            also the drawings exported by LibreOffice and Inkscape
#                        (scripts/fetch_test_pictures.sh --exports; installs them)
#   --mutants N          then replays N damaged metafiles (default 300; 0: none)
#                        made from the same files and the fuzzers' seeds through
#                        the Windows build under Wine
#                        (scripts/replay_metafile_mutants.py): none may crash or hang
# Runs in the Wine prefix of WINEPREFIX when it is set (scripts/windows.sh sets
# one up), otherwise in a fresh one of its own.
set -euo pipefail

sheet='' keep='' linux_build='' windows_build='' exports='' mutants=300
while (($#)); do
  case $1 in
    --sheet) sheet=$(realpath -m -- "$2"); shift 2 ;;
    --keep) keep=$(realpath -m -- "$2"); shift 2 ;;
    --linux-build) linux_build=$(realpath -m -- "$2"); shift 2 ;;
    --windows-build) windows_build=$(realpath -m -- "$2"); shift 2 ;;
    --exports) exports=--exports; shift ;;
    --mutants) mutants=$2; shift 2 ;;
    *) sed -n '/^# Usage/,/^# Runs/p' "$0" >&2; exit 2 ;;
  esac
done
cd "$(dirname "$0")/.."

# The Linux renderer and the comparison.
bash scripts/setup.sh
if [[ -z $linux_build ]]; then
  [[ -f build/default/build.ninja ]] || cmake --preset default >/dev/null
  cmake --build --preset default --target metafile_render metafile_compare
  linux_build=build/default
else
  cmake --build "$linux_build" --target metafile_render metafile_compare
fi
# The Windows renderer.
if [[ -z $windows_build ]]; then
  bash scripts/windows_setup.sh
  bash scripts/windows_deps.sh
  [[ -f build/windows/build.ninja ]] || cmake --preset windows >/dev/null
  cmake --build --preset windows --target metafile_render metafile_mutants
  windows_build=build/windows
else
  cmake --build "$windows_build" --target metafile_render metafile_mutants
fi
render_linux=$(realpath "$linux_build/tests/metafile_render")
compare=$(realpath "$linux_build/tests/metafile_compare")
render_windows=$(realpath "$windows_build/tests/metafile_render.exe")

export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
cleanup=()
if [[ -n $keep ]]; then
  work=$keep
  rm -rf "$work/set" "$work/linux" "$work/windows"
  mkdir -p "$work"
else
  work=$(mktemp -d /tmp/ks318-metafiles-XXXXXX)
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

# The very same bytes for both sides: the set as the Linux build writes it, and
# the real files.
mapfile -t names < <("$render_linux" --write-set "$work/set")
mapfile -t real < <(bash scripts/fetch_test_pictures.sh $exports)
files=()
for name in "${names[@]}"; do files+=("$work/set/$name"); done
for file in "${real[@]}"; do
  files+=("$file")
  names+=("$(basename "$file")")
done

# A refused file is listed by the renderer (status 1) and fails in the table.
windowsPath() { local path=$1; echo "Z:${path//\//\\}"; }
status=0
"$render_linux" "$work/linux" "${files[@]}" >"$work/linux.log" || status=$?
if ((status > 1)); then cat "$work/linux.log"; exit "$status"; fi
grep '^refused' "$work/linux.log" | sed 's/^/Linux: /' || true
windows_files=()
for file in "${files[@]}"; do windows_files+=("$(windowsPath "$file")"); done
status=0
wine "$render_windows" "$(windowsPath "$work/windows")" "${windows_files[@]}" >"$work/windows.log" 2>&1 || status=$?
if ((status > 1)); then cat "$work/windows.log"; exit "$status"; fi
tr -d '\r' <"$work/windows.log" | grep '^refused' | sed 's/^/Windows: /' || true

compared=0
"$compare" ${sheet:+--sheet "$sheet"} "$work/linux" "$work/windows" "${names[@]}" || compared=$?

# Damaged files made from the same ones: GDI must never see a record that
# claims more than it holds (the framing walk both builds share refuses them).
replayed=0
if ((mutants > 0)); then
  python3 scripts/replay_metafile_mutants.py --wine --program "$windows_build/tests/metafile_mutants.exe" \
    --count "$mutants" "${real[@]}" fuzz/corpus_wmf/seed-* fuzz/corpus_emf/seed-* || replayed=$?
fi
if ((compared != 0)); then exit "$compared"; fi
exit "$replayed"
