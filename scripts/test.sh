#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
# Usage: scripts/test.sh [preset]   (default, asan, tsan or windows; default: default)
# `windows` builds KS318.dll and runs its tests under Wine (scripts/windows.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
if [[ $preset == windows ]]; then exec bash scripts/windows.sh; fi

bash scripts/setup.sh
cmake --preset "$preset"
cmake --build --preset "$preset"
ctest --preset "$preset"
