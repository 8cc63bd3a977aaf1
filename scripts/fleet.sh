#!/usr/bin/env bash
# Two sites and their dashboard on one machine: a Mosquitto broker on loopback,
# a ks318-bridge for each of the sites "north" and "south" with simulated
# terminals (ks318-term), and ks318-web in fleet mode on HTTP port 8318 (or the
# port given, 0 for any free one). Installs what is missing, builds what it
# needs, prints the address to open and runs until Ctrl-C, then stops
# everything. Logs, queues and screens are kept in build/fleet/.
# Usage: scripts/fleet.sh [HTTP_PORT] [BROKER_PORT]
set -euo pipefail
cd "$(dirname "$0")/.."

http_port=${1:-8318}
broker_port=${2:-18830}

bash scripts/setup.sh
cmake --preset default
cmake --build --preset default --target ks318-web ks318-bridge ks318-term

tools=$PWD/build/default/tools
out=$PWD/build/fleet
rm -rf "$out"
mkdir -p "$out/broker"

pids=()
stop() {
  trap - INT TERM EXIT
  # Terminals first, then the dashboard and the bridges (they leave the broker
  # in good order), the broker last. SIGTERM: programs a script starts in the
  # background do not see the SIGINT of a Ctrl-C.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill -TERM "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  echo
  echo "Stopped. Logs, queues and screens are in $out/."
}
trap stop INT TERM EXIT

# Waits up to 10 s for a file to hold something; says which program failed otherwise.
wait_file() {
  local file=$1 log=$2 name=$3
  for _ in $(seq 100); do [[ -s $file ]] && return 0; sleep 0.1; done
  echo "$name did not start:" >&2
  cat "$log" >&2
  exit 1
}

# The broker: loopback only, anonymous, its persistence in build/fleet/broker.
cat > "$out/broker/mosquitto.conf" <<EOF
listener $broker_port 127.0.0.1
allow_anonymous true
persistence true
persistence_location $out/broker/
user $(id -un)
log_dest file $out/broker/mosquitto.log
EOF
/usr/sbin/mosquitto -c "$out/broker/mosquitto.conf" > "$out/broker/output.log" 2>&1 &
pids+=($!)
broker=mqtt://127.0.0.1:$broker_port
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$broker_port") 2>/dev/null && break
  sleep 0.1
done

# A bridge per site, its terminals on a free port, its queue in its own folder.
start_site() {
  local site=$1
  "$tools/bridge/ks318-bridge" --broker "$broker" --site "$site" --port 0 --bind 127.0.0.1 \
      --port-file "$out/$site.port" --queue-dir "$out/$site.queue" > "$out/$site-bridge.log" 2>&1 &
  pids+=($!)
  wait_file "$out/$site.port" "$out/$site-bridge.log" "ks318-bridge --site $site"
}
start_site north
start_site south

"$tools/web/ks318-web" --port 0 --bind 127.0.0.1 --http "127.0.0.1:$http_port" --fleet "$broker" \
    --port-file "$out/web-terminal.port" --http-file "$out/http.port" > "$out/web.log" 2>&1 &
web_pid=$!
pids+=("$web_pid")
wait_file "$out/http.port" "$out/web.log" ks318-web

start_terminals() {
  local site=$1 count=$2 models=$3 uid=$4
  "$tools/ks318-term" --port "$(cat "$out/$site.port")" --count "$count" --model "$models" --uid "$uid" \
      --files "$out/$site-terminals" --screen "$out/$site-screen.png" < /dev/null > "$out/$site-terminals.log" 2>&1 &
  pids+=($!)
}
start_terminals north 2 318,320 00:1A:2B:3C:4D:01
start_terminals south 3 320 00:1A:2B:3C:4E:01

echo
echo "Broker $broker; sites north (2 terminals, port $(cat "$out/north.port"))" \
     "and south (3 terminals, port $(cat "$out/south.port"))."
grep -m1 '^ks318-web: open ' "$out/web.log" | sed 's/^ks318-web: //'
echo "Open the Fleet view there. Watch the sites: mosquitto_sub -p $broker_port -t 'ks318/#' -v"
echo "Ctrl-C stops everything."
wait "$web_pid" || true
