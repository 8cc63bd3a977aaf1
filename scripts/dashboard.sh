#!/usr/bin/env bash
# Installs what is missing, builds the dashboard (ks318-web) and the simulated
# terminal, and runs them: ks318-web on HTTP port 8318 (or the port given, 0 for
# any free one) with four simulated terminals (models 318 and 320 in turn) whose
# screens are written to build/dashboard/. Prints the address to open and runs
# until Ctrl-C, then stops everything.
# Usage: scripts/dashboard.sh [HTTP_PORT] [TERMINALS]
set -euo pipefail
cd "$(dirname "$0")/.."

http_port=${1:-8318}
count=${2:-4}

bash scripts/setup.sh
cmake --preset default
cmake --build --preset default --target ks318-web ks318-term

tools=$PWD/build/default/tools
out=build/dashboard
rm -rf "$out"
mkdir -p "$out"

web_pid=
term_pid=
stop() {
  trap - INT TERM EXIT
  # The dashboard stops first; the terminals end once it has dropped them.
  [[ -n $web_pid ]] && kill -INT "$web_pid" 2>/dev/null && wait "$web_pid" 2>/dev/null || true
  if [[ -n $term_pid ]]; then
    for _ in $(seq 100); do kill -0 "$term_pid" 2>/dev/null || break; sleep 0.1; done
    kill "$term_pid" 2>/dev/null || true
    wait "$term_pid" 2>/dev/null || true
  fi
  echo
  echo "Stopped. Logs and screens are in $out/."
}
trap stop INT TERM EXIT

"$tools/web/ks318-web" --port 0 --http "127.0.0.1:$http_port" --port-file "$out/terminal.port" \
    --http-file "$out/http.port" > "$out/web.log" 2>&1 &
web_pid=$!
for _ in $(seq 100); do [[ -s $out/http.port && -s $out/terminal.port ]] && break; sleep 0.1; done
if [[ ! -s $out/http.port ]]; then
  echo "ks318-web did not start:" >&2
  cat "$out/web.log" >&2
  exit 1
fi

"$tools/ks318-term" --port "$(cat "$out/terminal.port")" --count "$count" --model 318,320 \
    --files "$out/terminals" --screen "$out/screen.png" < /dev/null > "$out/terminals.log" 2>&1 &
term_pid=$!

echo
grep -m1 '^ks318-web: open ' "$out/web.log" | sed 's/^ks318-web: //'
echo "$count simulated terminals (models 318 and 320) on port $(cat "$out/terminal.port");" \
     "their screens: $out/screen-N.png, their frames: $out/terminals.log"
echo "Ctrl-C stops everything."
wait "$web_pid" || true
web_pid=
