#!/usr/bin/env bash
# Installs what is missing, builds (RelWithDebInfo), runs the benchmark suite and
# writes the figures into docs/PERFORMANCE.md, docs/performance.dat and the plot
# docs/performance.png. Every figure is a ratio against a baseline measured in
# the same run. Usage: scripts/bench.sh [repetitions]   (default 5)
set -euo pipefail
cd "$(dirname "$0")/.."
reps=${1:-5}

bash scripts/setup.sh bench
cmake --preset default
cmake --build --preset default --target send_bench inbound_bench convert_bench load_driver

bin=build/default/bench
out=build/default/bench-results
mkdir -p "$out"
common=(--benchmark_repetitions="$reps" --benchmark_enable_random_interleaving=true
        --benchmark_report_aggregates_only=true --benchmark_out_format=json)

echo "== P1, P6: images and export calls"
"$bin/send_bench" "${common[@]}" --benchmark_out="$out/send.json"
echo "== P5: inbound serial frames"
"$bin/inbound_bench" "${common[@]}" --benchmark_out="$out/inbound.json"
echo "== P3: pictures from files"
"$bin/convert_bench" "${common[@]}" --benchmark_out="$out/convert.json"
echo "== P2, P4, P7, P8: 1,024 terminals"
"$bin/load_driver" "$reps" | tee "$out/load.json"

{ nproc; uptime; } > "$out/machine.txt"
python3 bench/report.py "$out" docs "$reps"
gnuplot -e "datafile='docs/performance.dat'; outfile='docs/performance.png'" bench/performance.gp
echo "Figures written to docs/PERFORMANCE.md and docs/performance.png"
