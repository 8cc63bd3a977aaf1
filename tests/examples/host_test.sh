#!/usr/bin/env bash
# examples/host.c against simulated terminals: two terminals (models 318 and 320)
# connect, get the host's own picture at their screen sizes, press keys and see
# them written back; the host names each terminal with its model and identifier,
# stops on SIGINT with status 0 and the terminals see their connections closed.
# Then a host given a picture file shows it on a terminal.
# Usage: host_test.sh HOST KS318_TERM
set -euo pipefail
host=$1 term=$2
checker=$(dirname "$0")/screen_check.py
work=$(mktemp -d /tmp/ks318-example-host-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  for log in "$work"/*.out "$work"/*.log; do
    [[ -f $log ]] && { echo "---- $log" >&2; cat "$log" >&2; }
  done
  exit 1
}

# Waits until the fixed string $2 is in file $1, at most 20 s.
wait_for() {
  local deadline=$((SECONDS + 20))
  until grep -qF -- "$2" "$1" 2>/dev/null; do
    ((SECONDS < deadline)) || fail "no '$2' in $(basename "$1") after 20 s"
    sleep 0.05
  done
}

# Waits until process $1 has ended, at most 20 s; its exit status in $status.
wait_exit() {
  local deadline=$((SECONDS + 20))
  while kill -0 "$1" 2>/dev/null; do
    ((SECONDS < deadline)) || fail "$2 still running 20 s after it was told to stop"
    sleep 0.05
  done
  status=0
  wait "$1" || status=$?
}

# Starts the host (arguments after -p 0) as $1.out; its pid in $host_pid, port in $port.
start_host() {
  local name=$1
  shift
  "$host" -p 0 "$@" >"$work/$name.out" 2>&1 &
  host_pid=$!
  pids+=("$host_pid")
  wait_for "$work/$name.out" "host: listening on 127.0.0.1 port "
  port=$(sed -n 's/^host: listening on 127\.0\.0\.1 port \([1-9][0-9]*\)$/\1/p' "$work/$name.out")
  [[ -n $port ]] || fail "no port in: $(head -1 "$work/$name.out")"
}

# Starts ks318-term (its options as arguments) as $name.log, its input the lines written to file
# descriptor 3 (opened for reading too, so that opening never waits for ks318-term).
start_term() {
  local name=$1
  shift
  rm -f "$work/$name.in"
  mkfifo "$work/$name.in"
  exec 3<>"$work/$name.in"
  "$term" --port "$port" --files "$work/$name-files" "$@" <"$work/$name.in" >"$work/$name.log" 2>&1 3>&- &
  term_pid=$!
  pids+=("$term_pid")
}

# ---- Two terminals, the host's own picture, keys --------------------------------------
start_host host
# A second host on the same port says why it cannot listen and exits 1.
status=0
"$host" -p "$port" >"$work/second.out" 2>&1 || status=$?
((status == 1)) || fail "a second host on port $port exited with status $status"
grep -qx "host: cannot listen on 127\.0\.0\.1 port $port: .*in use" "$work/second.out" ||
  fail "a second host on port $port said: $(cat "$work/second.out")"
start_term term --count 2 --model 318,320 --screen "$work/screen.png"
# The host names terminals by id: a fresh library gives its first connection
# KQ_FIRST_TERMINAL_ID (65536) and counts up, and ks318-term's T1 connects first.
wait_for "$work/host.out" 'terminal 65536 identifier 00:1A:2B:3C:4D:5E "SIM TERMINAL 1"'
wait_for "$work/host.out" 'terminal 65537 identifier 00:1A:2B:3C:4D:5F "SIM TERMINAL 2"'
grep -qxF 'terminal 65536 connected from 127.0.0.1: model 318, terminal version 32' "$work/host.out" ||
  fail "terminal 1's connect line"
grep -qxF 'terminal 65537 connected from 127.0.0.1: model 320, terminal version 32' "$work/host.out" ||
  fail "terminal 2's connect line"
# The picture at each screen's size: the whole palette and one index per pixel.
wait_for "$work/term.log" 'T1 <-  37 image                   77568 B  palette and 320 x 240 pixels'
wait_for "$work/term.log" 'T2 <-  37 image                  131328 B  palette and 130,560 pixels (480 x 272)'

echo '@1 keys ab' >&3
echo '@2 key 13' >&3
echo '@2 keys Z' >&3
# Each key on its own terminal: the bottom line cleared, then the text in entry 15.
wait_for "$work/term.log" "T1 <-  35 text                      170 B  x 8 y 220 colour 15 height 16 font \"\" \"key 'a' (97)\""
wait_for "$work/term.log" "T1 <-  35 text                      170 B  x 8 y 220 colour 15 height 16 font \"\" \"key 'b' (98)\""
wait_for "$work/term.log" 'T2 <-  35 text                      170 B  x 8 y 252 colour 15 height 16 font "" "key 13"'
wait_for "$work/term.log" "T2 <-  35 text                      170 B  x 8 y 252 colour 15 height 16 font \"\" \"key 'Z' (90)\""
grep -qF 'T1 <- 131 image-block              7688 B  x 0 y 216 width 320 height 24' "$work/term.log" ||
  fail "terminal 1's line was not cleared"
grep -qF 'T2 <- 131 image-block             11528 B  x 0 y 248 width 480 height 24' "$work/term.log" ||
  fail "terminal 2's line was not cleared"
if grep -E '^ *[0-9.]+  T1 <-  35 .*(key 13|key .Z.)|^ *[0-9.]+  T2 <-  35 .*key .[ab].' "$work/term.log"; then
  fail "a key was written on the other terminal"
fi
for line in "terminal 65536 key 'a' (97)" "terminal 65536 key 'b' (98)" 'terminal 65537 key 13' "terminal 65537 key 'Z' (90)"; do
  grep -qxF "$line" "$work/host.out" || fail "host did not print: $line"
done
[[ -s $work/screen-1.png && -s $work/screen-2.png ]] || fail "no screen PNGs"

# SIGINT: the host stops the server, says so last and exits 0; both terminals are dropped.
kill -INT "$host_pid"
wait_exit "$host_pid" host
((status == 0)) || fail "host exited with status $status after SIGINT"
[[ $(tail -1 "$work/host.out") == 'host: stopped' ]] || fail "host's last line: $(tail -1 "$work/host.out")"
(($(grep -c '^terminal 6553[67] (127\.0\.0\.1) disconnected$' "$work/host.out") == 2)) ||
  fail "host did not print both disconnects"
exec 3>&-  # input ends: ks318-term ends once the server has dropped every terminal
wait_exit "$term_pid" ks318-term
((status == 0)) || fail "ks318-term exited with status $status"
grep -qF 'T1 connection closed' "$work/term.log" || fail "terminal 1 did not see its connection closed"
grep -qF 'T2 connection closed' "$work/term.log" || fail "terminal 2 did not see its connection closed"
# The screens as left: the host's colour bands, the bottom line black with the last key in white.
python3 "$checker" "$work/screen-1.png" 0,0=0,0,175 319,0=255,0,175 0,215=0,255,175 316,236=0,0,0 8,216,200,240=white ||
  fail "terminal 1's screen"
python3 "$checker" "$work/screen-2.png" 0,0=0,0,175 479,0=255,0,175 0,247=0,255,175 476,268=0,0,0 8,248,200,272=white ||
  fail "terminal 2's screen"
echo "two terminals: pictures at 320 x 240 and 480 x 272, keys echoed, stopped on SIGINT with status 0"

# ---- A picture file ----------------------------------------------------------------------
# A 40 x 30 24-bit BMP: red left half, blue right half.
python3 - "$work/picture.bmp" <<'EOF'
import struct, sys
width, height = 40, 30
row = b"".join(b"\x00\x00\xff" if x < width // 2 else b"\xff\x00\x00" for x in range(width))
row += b"\x00" * (-len(row) % 4)
pixels = row * height
header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
open(sys.argv[1], "wb").write(header + info + pixels)
EOF
start_host picture "$work/picture.bmp"
start_term pictureterm --model 320 --screen "$work/picture.png"
wait_for "$work/picture.out" 'terminal 65536 identifier 00:1A:2B:3C:4D:5E "SIM TERMINAL"'
wait_for "$work/pictureterm.log" 'T1 <-  37 image                  131328 B  palette and 130,560 pixels (480 x 272)'
if grep -q 'no picture shown' "$work/picture.out"; then fail "the picture file was not shown"; fi
kill -TERM "$host_pid"
wait_exit "$host_pid" host
((status == 0)) || fail "host exited with status $status after SIGTERM"
exec 3>&-
wait_exit "$term_pid" ks318-term
# 40 x 30 is less than twice as wide as high: the full height, 363 pixels wide, centred on white.
python3 "$checker" "$work/picture.png" 10,136=255,255,255~24 120,136=255,0,0~48 360,136=0,0,255~48 ||
  fail "the picture on the screen"
echo "picture file: shown at 480 x 272, stopped on SIGTERM with status 0"

# ---- A picture file that is not there: the host says why and goes on ------------------
start_host missing "$work/missing.bmp"
start_term missingterm --model 318
wait_for "$work/missing.out" 'terminal 65536: no picture shown (0): '
echo 'key 65' >&3
wait_for "$work/missingterm.log" "T1 <-  35 text                      170 B  x 8 y 220 colour 15 height 16 font \"\" \"key 'A' (65)\""
kill -INT "$host_pid"
wait_exit "$host_pid" host
((status == 0)) || fail "host exited with status $status after SIGINT"
exec 3>&-
wait_exit "$term_pid" ks318-term
if grep -qF 'T1 <-  37' "$work/missingterm.log"; then fail "an image went out for a missing file"; fi
echo "missing picture file: $(grep -F 'no picture shown' "$work/missing.out")"
