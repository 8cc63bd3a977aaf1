#!/usr/bin/env bash
# Installs what is missing, builds the dashboard (ks318-web) and the simulated
# terminal, and runs them: ks318-web on HTTP port 8318 (or the port given, 0 for
# any free one) with four simulated terminals (models 318 and 320 in turn) whose
# screens are written to build/dashboard/. Prints the address to open and runs
# until Ctrl-C, then stops everything.
# Usage: scripts/dashboard.sh [HTTP_PORT] [TERMINALS]
# The access token is made here and kept in build/dashboard/token (mode 0600);
# the address with the token is printed only to a terminal, never to a log.
# KS318_WEB and KS318_TERM name built programs to run instead of building them;
# KS318_DASHBOARD_OUT another folder for the logs, the token and the screens.
set -euo pipefail
cd "$(dirname "$0")/.."

http_port=${1:-8318}
count=${2:-4}

if [[ -n ${KS318_WEB:-} && -n ${KS318_TERM:-} ]]; then
  web=$KS318_WEB
  term=$KS318_TERM
else
  bash scripts/setup.sh
  cmake --preset default
  cmake --build --preset default --target ks318-web ks318-term
  web=$PWD/build/default/tools/web/ks318-web
  term=$PWD/build/default/tools/ks318-term
fi

out=${KS318_DASHBOARD_OUT:-build/dashboard}
# Everything written below (logs, the token, screens) is for this user alone.
umask 077
rm -rf "$out"
mkdir -p "$out"
od -An -N16 -tx1 /dev/urandom | tr -d ' \n' > "$out/token"

web_pid=
term_pid=
stop() {
  trap - INT TERM EXIT
  # The dashboard stops first; the terminals end once it has dropped them.
  [[ -n $web_pid ]] && kill -TERM "$web_pid" 2>/dev/null && wait "$web_pid" 2>/dev/null || true
  if [[ -n $term_pid ]]; then
    for _ in $(seq 100); do kill -0 "$term_pid" 2>/dev/null || break; sleep 0.1; done
    kill "$term_pid" 2>/dev/null || true
    wait "$term_pid" 2>/dev/null || true
  fi
  echo
  echo "Stopped. Logs and screens are in $out/."
}
trap stop INT TERM EXIT

"$web" --port 0 --http "127.0.0.1:$http_port" --port-file "$out/terminal.port" \
    --http-file "$out/http.port" --token-file "$out/token" > "$out/web.log" 2>&1 &
web_pid=$!
for _ in $(seq 100); do [[ -s $out/http.port && -s $out/terminal.port ]] && break; sleep 0.1; done
if [[ ! -s $out/http.port ]]; then
  echo "ks318-web did not start:" >&2
  cat "$out/web.log" >&2
  exit 1
fi

"$term" --port "$(cat "$out/terminal.port")" --count "$count" --model 318,320 \
    --files "$out/terminals" --screen "$out/screen.png" < /dev/null > "$out/terminals.log" 2>&1 &
term_pid=$!

echo
address="http://127.0.0.1:$(cat "$out/http.port")/"
if [[ -t 1 ]]; then
  echo "open $address#token=$(cat "$out/token")"
else
  echo "open $address with the access token in $out/token"
fi
echo "$count simulated terminals (models 318 and 320) on port $(cat "$out/terminal.port");" \
     "their screens: $out/screen-N.png, their frames: $out/terminals.log"
echo "Ctrl-C stops everything."
wait "$web_pid" || true
web_pid=
