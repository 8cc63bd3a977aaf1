#!/usr/bin/env bash
# Builds KS318.dll (32-bit Windows, MinGW-w64 cross build) and runs its tests
# under Wine: the test suites that do not need Linux-only tools, and the window
# host test that loads the DLL as a Windows host does; then compares metafiles
# converted under Wine with the same files converted on Linux
# (scripts/compare_metafiles.sh), and bmp, jpg and ico files byte for byte
# (scripts/compare_pictures.sh).
# Installs what is missing and cross-builds the libraries first (kept under
# build/windows-deps between runs).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/windows_setup.sh
bash scripts/windows_deps.sh
cmake --preset windows
cmake --build --preset windows

# The export table: exactly the header's names, undecorated.
cmake -DOBJDUMP=i686-w64-mingw32-objdump -DLIBRARY=build/windows/KS318.dll -DHEADER=include/ks318.h \
  -P cmake/CheckDllExports.cmake

# A fresh 32-bit Wine prefix of this run's own, without a display.
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
WINEPREFIX=$(mktemp -d /tmp/ks318-wine-XXXXXX)
export WINEPREFIX
log=$(mktemp /tmp/ks318-wine-tests-XXXXXX.log)
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX" "$log"' EXIT
wineboot -i >/dev/null 2>&1
wineserver -w

status=0
ctest --preset windows --verbose >"$log" 2>&1 || status=$?
if ((status)); then cat "$log"; fi

# Metafiles converted here and on Linux must look alike (the Linux build is
# made or brought up to date for it); the contact sheet stays in the build tree.
compared=0
bash scripts/compare_metafiles.sh --windows-build build/windows --sheet build/windows/metafile-contact-sheet.png ||
  compared=$?
# bmp, jpg and ico files give the same terminal images, byte for byte, on both.
bash scripts/compare_pictures.sh --windows-build build/windows || compared=$?

# Each test program is one ctest entry; its own closing lines give the counts.
grep -E '^ *[0-9]+/[0-9]+ Test|tests passed' "$log" || true
passed=$( (grep -oE '\[  PASSED  \] [0-9]+' "$log" || true) | awk '{s += $NF} END {print s + 0}')
failed=$( (grep -oE '\[  FAILED  \] [0-9]+ tests?,' "$log" || true) | awk '{s += $(NF-1)} END {print s + 0}')
echo "Wine: $passed passed, $failed failed"
if ((status == 0 && compared != 0)); then status=$compared; fi
exit "$status"
