#!/usr/bin/env bash
# The package as a new user meets it, on a clean Debian 12: the .deb files made
# by cpack are installed with apt-get into a fresh minimal root (debootstrap),
# then examples/host.c is built there with pkg-config (with no more than
# libks318-dev brings) and with find_package and served to a simulated
# terminal, and the Python package is installed with pip and its example host
# run the same way. Last the services' programs are started as their units
# start them (the unit's command line and settings file, as its user) and
# checked to come up: ks318-web answering HTTP with the token made on
# installation, ks318-bridge online on a Mosquitto broker. Needs root, the
# Debian mirror and unshare/ip (the services run in a network namespace of their
# own); takes a few minutes, so it is not part of the test command.
# Usage: scripts/clean_install_check.sh [BUILD_DIR] [WORK_DIR]
#   BUILD_DIR: a configured and built tree (default build/default)
#   WORK_DIR:  where the roots and the packages go (default /tmp/ks318-clean-install);
#              the minimal root made there first is kept, and copied afresh for each run.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
build=$(realpath "${1:-build/default}")
work=${2:-/tmp/ks318-clean-install}
base=$work/base root=$work/root
mkdir -p "$work"

if [[ ! -x $base/usr/bin/apt-get ]]; then
  command -v debootstrap >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap
  rm -rf "$base"
  debootstrap --variant=minbase bookworm "$base" http://deb.debian.org/debian >"$work/debootstrap.log"
fi
command -v ip >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq iproute2
rm -rf "$root" && cp -a "$base" "$root"

rm -rf "$work/debs" && (cd "$build" && cpack -G DEB -B "$work/debs" >/dev/null)
rm -rf "$root/work" && mkdir -p "$root/work/debs"
cp "$work"/debs/*.deb "$root/work/debs/"
cp -r "$source_dir/examples" "$source_dir/python" "$root/work/"
cp "$source_dir/tests/package/clean_services.sh" "$root/work/"
rm -rf "$root/work/python/build" "$root"/work/python/*.egg-info

mounted=()
cleanup() { for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" || true; done; }
trap cleanup EXIT
for fs in proc sys dev dev/pts; do
  mount --bind "/$fs" "$root/$fs"
  mounted+=("$root/$fs")
done
cp /etc/resolv.conf "$root/etc/resolv.conf"
# debootstrap leaves out the hosts file an installed system has: localhost.
[[ -f $root/etc/hosts ]] || printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' >"$root/etc/hosts"

chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root bash -euo pipefail -c '
cd /work
export DEBIAN_FRONTEND=noninteractive
# As in any chroot: packages install their services without starting them.
printf "#!/bin/sh\nexit 101\n" >/usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d
apt-get update -qq
installed() { dpkg-query -W -f="\${Installed-Size}\n" | awk "{ n++; kb += \$1 } END { printf \"%d packages, %.0f MB\", n, kb / 1024 }"; }
echo "minimal root: $(installed)"
# The packages, with what apt finds they need (and recommends, as apt does).
apt-get install -y -qq ./debs/libks318-0_*.deb ./debs/libks318-dev_*.deb ./debs/ks318-tools_*.deb >/dev/null
echo "with the three packages: $(installed)"
echo "installed: $(dpkg-query -W -f="\${Package} \${Version}, " libks318-0 libks318-dev ks318-tools)"
# What a developer builds a shared host with: the compiler and pkg-config alone.
apt-get install -y -qq --no-install-recommends gcc libc6-dev pkg-config >/dev/null
echo "pkg-config --cflags --libs ks318: $(pkg-config --cflags --libs ks318)"

# Serves one terminal: the host must show it a picture and write its key back.
serve() {
  local label=$1 log=/tmp/$1.out term=/tmp/$1.term port=""
  shift
  "$@" -p 0 >"$log" 2>&1 &
  local host=$!
  for _ in $(seq 200); do port=$(sed -n "s/.*listening on 127\.0\.0\.1 port \([0-9]*\).*/\1/p" "$log"); [[ -n $port ]] && break; sleep 0.1; done
  [[ -n $port ]] || { cat "$log"; exit 1; }
  printf "wait frame 37\nkey 120\nwait frame 35\n" | ks318-term --port "$port" >"$term" 2>&1 &
  local terminal=$!
  for _ in $(seq 200); do grep -q "key .x. (120)" "$term" && break; sleep 0.1; done
  kill -TERM $host; wait $host
  wait $terminal || true
  grep -q "key .x. (120)" "$term" || { cat "$log" "$term"; exit 1; }
  echo "$label: the terminal got its picture and its key back; the host stopped with status 0"
}

cc -std=c11 -Wall -Wextra -Werror examples/host.c -o /tmp/host-pc $(pkg-config --cflags --libs ks318) -pthread
serve pkg-config /tmp/host-pc
# The static library links what the shared one does: their development files,
# which libks318-dev suggests; then CMake, and Python for the last part.
apt-get install -y -qq --no-install-recommends libcairo2-dev libjpeg-dev libpng-dev g++ cmake make \
  python3 python3-venv python3-setuptools python3-wheel >/dev/null
cmake -S examples -B /tmp/examples -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build /tmp/examples >/dev/null
serve find-package /tmp/examples/host
ldd /tmp/examples/hello_static | grep -q libks318 && { echo "hello_static loads libks318.so"; exit 1; }

python3 -m venv --system-site-packages /tmp/venv
# No package index needed: the build backend is Debian'"'"'s setuptools and wheel.
/tmp/venv/bin/pip install -q --no-build-isolation ./python
cd /tmp
serve python /tmp/venv/bin/python /work/python/examples/host.py
apt-get install -y -qq --no-install-recommends mosquitto mosquitto-clients >/dev/null
'
# The services, with a loopback of their own: no port of this machine is taken.
unshare --net -- bash -c "ip link set lo up && chroot '$root' /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
  HOME=/root bash -euo pipefail /work/clean_services.sh"
echo "clean Debian 12: every path works"
