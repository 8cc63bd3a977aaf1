#!/usr/bin/env bash
# Builds the fuzz targets (clang, ASan + UBSan), replays the kept corpora, then
# fuzzes for a bounded time: the inbound path for [seconds], then the picture
# path of each format (bmp, jpg, ico, wmf, emf) for max(10, seconds / 4) each.
#
# Usage: scripts/fuzz.sh [seconds]   (default 60)
#        scripts/fuzz.sh --picture-minutes N [--parallel J] [format...]
#          long runs of the picture targets only (all five unless named), J at a
#          time (default 2); each run's log and the inputs it found are kept
#          under build/fuzz/picture_runs/, and its final stats are printed.
#
# A crash, a hang past the per-input timeout or memory past the limit fails the
# script and leaves the input as crash-*, timeout-* or oom-* here (picture-<format>-*
# for the picture targets).
set -euo pipefail
cd "$(dirname "$0")/.."

formats=(bmp jpg ico wmf emf)
seconds=60
minutes=
parallel=2
chosen=()
while (($#)); do
  case $1 in
    --picture-minutes) minutes=$2; shift 2 ;;
    --parallel) parallel=$2; shift 2 ;;
    bmp | jpg | ico | wmf | emf) chosen+=("$1"); shift ;;
    *[!0-9]* | '') echo "usage: $0 [seconds] | --picture-minutes N [--parallel J] [format...]" >&2; exit 2 ;;
    *) seconds=$1; shift ;;
  esac
done
((${#chosen[@]})) || chosen=("${formats[@]}")

bash scripts/setup.sh
cmake --preset fuzz
cmake --build --preset fuzz
bin=build/fuzz/fuzz

# The picture libraries load fontconfig once per process and keep it (see the file).
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}
# A hang or a memory blow-up on one input is a failure. The slowest valid input
# measured, a 65,000 × 32,000 JPEG decoded at 1/8, takes about 7 s under ASan.
limits=(-rss_limit_mb=2048 -timeout=20)

# Fuzzes one picture format for $2 seconds, new inputs going to $3.
fuzz_picture() {
  local format=$1 time=$2 found=$3 dict=()
  [[ -f fuzz/$format.dict ]] && dict=(-dict="fuzz/$format.dict")
  "$bin/picture_fuzzer_$format" "${limits[@]}" "${dict[@]}" -max_len=16384 -max_total_time="$time" \
    -print_final_stats=1 -artifact_prefix="picture-$format-" "$found" "fuzz/corpus_$format"
}

if [[ -n $minutes ]]; then
  runs=build/fuzz/picture_runs
  mkdir -p "$runs"
  running=0
  for format in "${chosen[@]}"; do
    if ((running >= parallel)); then
      wait -n || true
      running=$((running - 1))
    fi
    mkdir -p "$runs/corpus_$format"
    echo "Fuzzing $format for $minutes min (log: $runs/$format.log)"
    (
      status=0
      fuzz_picture "$format" $((minutes * 60)) "$runs/corpus_$format" >"$runs/$format.log" 2>&1 || status=$?
      echo "$status" >"$runs/$format.status"
    ) &
    running=$((running + 1))
  done
  wait
  failed=0
  for format in "${chosen[@]}"; do
    status=$(cat "$runs/$format.status")
    echo "== $format: exit status $status"
    grep -E '^(stat::|==[0-9]+== ERROR|SUMMARY|artifact_prefix|Test unit written)' "$runs/$format.log" || true
    ((status == 0)) || failed=1
  done
  exit "$failed"
fi

((${#chosen[@]} == ${#formats[@]})) || { echo "formats are chosen for --picture-minutes runs only" >&2; exit 2; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

echo "Replaying $(ls fuzz/corpus | wc -l) kept inputs"
"$bin/inbound_fuzzer" fuzz/corpus/*

# Seeds first, then found inputs: some of those failed only after a seed had
# run in the same process. The seeds are valid files and must still convert and
# draw, not merely not crash (a decoder that rejected them all would fuzz only
# its rejections).
for format in "${formats[@]}"; do
  kept=("fuzz/corpus_$format"/seed-*)
  for file in "fuzz/corpus_$format"/*; do [[ $file == */seed-* ]] || kept+=("$file"); done
  echo "Replaying ${#kept[@]} kept $format inputs"
  "$bin/picture_fuzzer_$format" "${limits[@]}" "${kept[@]}"
  if ! KS318_FUZZ_MUST_DRAW=1 "$bin/picture_fuzzer_$format" "${limits[@]}" "fuzz/corpus_$format"/seed-* \
    >"$scratch/seeds.log" 2>&1; then
    echo "A kept $format seed no longer converts or draws:" >&2
    grep -E '^(Running:|picture_fuzzer:|SUMMARY)' "$scratch/seeds.log" | tail -n 3 >&2
    exit 1
  fi
done

# New finds go to a scratch corpus; anything that crashes is left as crash-* here.
mkdir "$scratch/inbound"
"$bin/inbound_fuzzer" -max_len=4096 -max_total_time="$seconds" -print_final_stats=1 "$scratch/inbound" fuzz/corpus

picture_seconds=$((seconds / 4 > 10 ? seconds / 4 : 10))
for format in "${formats[@]}"; do
  mkdir "$scratch/$format"
  echo "Fuzzing $format for $picture_seconds s"
  fuzz_picture "$format" "$picture_seconds" "$scratch/$format"
done
