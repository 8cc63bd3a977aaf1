#!/usr/bin/env bash
# Runs a command (niced) and samples its resident memory, to tell a leak per
# input from memory that settles (docs/RELIABILITY.md, the inbound fuzzer's memory).
#
# Usage: fuzz/rss_watch.sh OUT INTERVAL command [args...]
#   OUT.log: the command's output; OUT.rss: "seconds rss_kb" every INTERVAL
#   seconds, then the exit status.
# Example: ASAN_OPTIONS=quarantine_size_mb=0 fuzz/rss_watch.sh /tmp/replay 5 \
#            build/fuzz/fuzz/inbound_fuzzer -runs=100000 fuzz/corpus/card69
set -uo pipefail
(($# >= 3)) || { echo "usage: $0 OUT INTERVAL command [args...]" >&2; exit 2; }
out=$1 interval=$2
shift 2
nice -n 10 "$@" >"$out.log" 2>&1 &
pid=$!
elapsed=0
echo "seconds rss_kb" >"$out.rss"
while kill -0 "$pid" 2>/dev/null; do
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null)
  [[ -n $rss ]] && echo "$elapsed $rss" >>"$out.rss"
  sleep "$interval"
  elapsed=$((elapsed + interval))
done
wait "$pid"
status=$?
echo "exit $status" >>"$out.rss"
exit "$status"
