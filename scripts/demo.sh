#!/usr/bin/env bash
# Installs what is missing, builds, and runs the demo: a short host session
# against three simulated terminals.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset default
cmake --build --preset default
./build/default/tools/ks318-demo
