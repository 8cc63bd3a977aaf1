#!/usr/bin/env bash
# Builds the fuzz target (clang, ASan + UBSan), replays the kept corpus, then
# fuzzes for a bounded time. Usage: scripts/fuzz.sh [seconds]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

bash scripts/setup.sh
cmake --preset fuzz
cmake --build --preset fuzz
fuzzer=build/fuzz/fuzz/inbound_fuzzer

echo "Replaying $(ls fuzz/corpus | wc -l) kept inputs"
"$fuzzer" fuzz/corpus/*

# New finds go to a scratch corpus; anything that crashes is left as crash-* here.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$fuzzer" -max_len=4096 -max_total_time="$seconds" -print_final_stats=1 "$scratch" fuzz/corpus
