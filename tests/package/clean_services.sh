#!/usr/bin/env bash
# Run by scripts/clean_install_check.sh inside the clean root, in a network
# namespace of its own: the package's set-up of its services (user, secrets,
# conffiles), then ks318-web and ks318-bridge started as their units start
# them and checked to come up and stop cleanly.
set -euo pipefail

# What the package's postinst set up.
getent passwd ks318 >/dev/null || { echo "no user ks318"; exit 1; }
[[ $(stat -c '%a %U:%G' /etc/ks318/web.token) == '640 root:ks318' ]] ||
  { echo "web.token: $(stat -c '%a %U:%G' /etc/ks318/web.token)"; exit 1; }
for conffile in /etc/ks318/web.env /etc/ks318/bridge.env; do
  dpkg-query -W -f='${Conffiles}\n' ks318-tools | grep -q "^ $conffile " || { echo "$conffile is no conffile"; exit 1; }
done
echo "services' set-up: user ks318, /etc/ks318/web.token 0640 root:ks318, settings as conffiles"

# Whatever this started is stopped when it ends, also on a failed check.
started_pids=()
trap 'for pid in "${started_pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done' EXIT

wait_for() {  # waits at most 20 s for "$@" to succeed
  local deadline=$((SECONDS + 20))
  until "$@"; do
    ((SECONDS < deadline)) || { echo "timed out: $*"; cat /tmp/*.log; exit 1; }
    sleep 0.1
  done
}

# Starts the program of unit $1 as systemd would: its settings file read, the
# command line expanded (${VAR} one argument, $VAR split at blanks, %S the
# state folder), its state folder made, as its user; the log in /tmp/$1.log.
start_unit() {
  local unit=/usr/lib/systemd/system/$1.service word name
  local command=$(sed -n 's/^ExecStart=//p' "$unit") user=$(sed -n 's/^User=//p' "$unit")
  local state=$(sed -n 's/^StateDirectory=//p' "$unit")
  [[ -z $state ]] || install -d -o "$user" -g "$user" -m 0750 "/var/lib/$state"
  set -a && . "$(sed -n 's/^EnvironmentFile=//p' "$unit")" && set +a
  local arguments=()
  for word in ${command//%S//var/lib}; do
    if [[ $word =~ ^\$\{([A-Z0-9_]+)\}$ ]]; then name=${BASH_REMATCH[1]}; arguments+=("${!name:-}")
    elif [[ $word =~ ^\$([A-Z0-9_]+)$ ]]; then name=${BASH_REMATCH[1]}; arguments+=(${!name:-})
    else arguments+=("$word"); fi
  done
  echo "$1: ${arguments[*]}"
  (cd / && exec setpriv --reuid="$user" --regid="$user" --init-groups -- "${arguments[@]}") >"/tmp/$1.log" 2>&1 &
  started=$!
  started_pids+=("$started")
}
stop_unit() {  # $1 the unit, $2 the pid: SIGTERM, as systemctl stop sends, and a clean stop
  kill -TERM "$2"
  local status=0
  wait "$2" || status=$?
  ((status == 0)) && [[ $(tail -1 "/tmp/$1.log") == *': stopped' ]] || { echo "$1 stopped with $status"; cat "/tmp/$1.log"; exit 1; }
}
http_status() {  # method, path, token: the status ks318-web answers
  python3 - "$@" <<'PY'
import sys, urllib.request, urllib.error
method, path, token = sys.argv[1:]
request = urllib.request.Request("http://127.0.0.1:8318" + path, method=method, data=b"{}" if method == "POST" else None,
                                 headers={"Authorization": "Bearer " + token, "Content-Type": "application/json"})
try:
    print(urllib.request.urlopen(request, timeout=20).status)
except urllib.error.HTTPError as failure:
    print(failure.code)
PY
}

start_unit ks318-web
web=$started
wait_for grep -q '^ks318-web: terminals on port 16510$' /tmp/ks318-web.log
# The token the service read from its file is taken; another is not.
token=$(head -1 /etc/ks318/web.token)
[[ $(http_status GET /api/info "$token") == 200 ]] || { echo "GET /api/info with the token failed"; exit 1; }
[[ $(http_status POST /api/actions wrong-token) == 403 ]] || { echo "a wrong token was not refused"; exit 1; }
stop_unit ks318-web "$web"
echo "ks318-web: up as ks318 on 16510 and 127.0.0.1:8318, took the token of /etc/ks318/web.token, stopped cleanly"

# The bridge needs its site, as an operator sets it, and a broker.
sed -i 's/^KS318_SITE=$/KS318_SITE=clean-check/' /etc/ks318/bridge.env
printf 'listener 1883 127.0.0.1\nallow_anonymous true\npid_file /tmp/mosquitto.pid\n' >/tmp/mosquitto.conf
mosquitto -c /tmp/mosquitto.conf -d
wait_for test -s /tmp/mosquitto.pid
started_pids+=("$(cat /tmp/mosquitto.pid)")
start_unit ks318-bridge
bridge=$started
wait_for grep -q '^ks318-bridge: site clean-check, terminals on port 16510' /tmp/ks318-bridge.log
online=$(mosquitto_sub -h 127.0.0.1 -t ks318/clean-check/online -C 1 -W 20)
[[ $online == true ]] || { echo "online flag: '$online'"; cat /tmp/ks318-bridge.log; exit 1; }
[[ $(stat -c %U /var/lib/ks318/bridge.queue) == ks318 ]] || { echo "no queue of ks318's in /var/lib/ks318"; exit 1; }
stop_unit ks318-bridge "$bridge"
echo "ks318-bridge: up as ks318, online on the broker, queue in /var/lib/ks318/bridge.queue, stopped cleanly"
