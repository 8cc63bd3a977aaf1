#!/usr/bin/env bash
# Installs what is missing, builds the two programs it runs, and runs the demo: the host
# console runs a scripted session (scripts/demo/session.ks) against two
# simulated terminals, a model 318 and a model 320, played by one ks318-term.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset default
# Only what the demo runs (the tests are built by scripts/test.sh).
cmake --build --preset default --target ks318-console ks318-term

tools=$PWD/build/default/tools
out=build/demo
rm -rf "$out"
mkdir -p "$out"
cp scripts/demo/session.ks "$out/"
head -c 12000000 /dev/urandom > "$out/clip.bin"  # sent with a progress bar
# Sent and fetched back: a terminal's answer holds at most 2,400,000 bytes.
head -c 1000000 /dev/urandom > "$out/notes.bin"

echo
echo "Demo: ks318-console runs $out/session.ks; ks318-term plays two terminals (log: $out/terminals.log)"
echo
started=$SECONDS
# The console listens on a free loopback port and tells which in a file.
(cd "$out" && exec timeout 120 "$tools/ks318-console" --port 0 --bind 127.0.0.1 --port-file port \
    --script session.ks) &
console=$!
for _ in $(seq 100); do [[ -s $out/port ]] && break; sleep 0.1; done
if [[ ! -s $out/port ]]; then
  echo "the console did not start" >&2
  exit 1
fi
# The terminals read no faster than 4 MiB/s, like a device on a network, so
# that the transfer's progress can be watched.
term_status=0
timeout 120 "$tools/ks318-term" --port "$(cat "$out/port")" --count 2 --model 318,320 \
    --files "$out/terminals" --screen "$out/screen.png" --read-rate 4096 \
    < scripts/demo/terminals.in > "$out/terminals.log" 2>&1 || term_status=$?
console_status=0
wait "$console" || console_status=$?

echo
echo "Demo finished in $((SECONDS - started)) s (console status $console_status, terminals status $term_status)."
if cmp -s "$out/notes.bin" "$out/fetched.bin"; then
  echo "The file fetched back from terminal 2 is identical to the one sent."
fi
echo "The terminals logged $(grep -c -E ' (<-|->) ' "$out/terminals.log") frames: $out/terminals.log"
echo "Their screens:"
echo "  $out/screen-1.png   terminal 1, model 318, 320 x 240"
echo "  $out/screen-2.png   terminal 2, model 320, 480 x 272"
exit $((console_status || term_status))
