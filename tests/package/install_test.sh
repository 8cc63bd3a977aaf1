#!/usr/bin/env bash
# A host developer's three ways in, tried on this build: `cmake --install` into a
# temporary prefix, then the examples built against it with find_package(KS318)
# (shared and static) and with pkg-config, and run; the Debian packages made by
# cpack, unpacked into a root of their own, and the example built against that.
# The complete example host (examples/host.c) is built both ways too, and the
# find_package one is run once against a simulated terminal. The packages are
# checked as Debian takes them: stripped, with their symbols in -dbgsym
# packages, their documents and man pages, and no error or warning from lintian.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 source=$2
work=$(mktemp -d /tmp/ks318-install-XXXXXX)
trap 'rm -rf "$work"' EXIT

expect_hello() {  # runs "$@" and checks what a working hello prints
  local out
  out=$("$@")
  [[ $out =~ ^KS318\ version\ 32\ listening\ on\ 127\.0\.0\.1:[1-9][0-9]*$ ]] || { echo "unexpected: $out" >&2; exit 1; }
}

cmake --install "$build" --prefix "$work/prefix" >/dev/null
libdir=$(dirname "$(find "$work/prefix" -name 'libks318.so.*.*.*' -print -quit)")
soname=$(objdump -p "$libdir"/libks318.so.*.*.* | awk '/SONAME/ {print $2}')
[[ $soname =~ ^libks318\.so\.[0-9]+$ ]] || { echo "soname: $soname" >&2; exit 1; }
[[ -L $libdir/$soname && -L $libdir/libks318.so && -f $libdir/libks318.a ]]
[[ -f $work/prefix/include/ks318.h ]]
echo "installed: $soname, libks318.a, ks318.h, CMake and pkg-config files"

# find_package: the shared library, then the static one (no libks318.so needed).
cmake -S "$source/examples" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
LD_LIBRARY_PATH=$libdir expect_hello "$work/cmake/hello"
if ldd "$work/cmake/hello_static" | grep -q libks318; then echo "hello_static loads libks318.so" >&2; exit 1; fi
expect_hello "$work/cmake/hello_static"
echo "find_package(KS318): hello and hello_static run"

# The complete host, built by the same project: one terminal connects, gets a
# picture and the key it sends written back, and the host stops on SIGTERM with
# status 0. Every wait ends within 20 s.
[[ -x $work/cmake/host ]] || { echo "find_package(KS318) did not build host" >&2; exit 1; }
wait_until() {  # waits at most 20 s for "$@" to succeed
  local deadline=$((SECONDS + 20))
  until "$@"; do
    ((SECONDS < deadline)) || { echo "timed out: $*" >&2; cat "$work"/host.out "$work"/term.log >&2; exit 1; }
    sleep 0.05
  done
}
ended() { ! kill -0 "$1" 2>/dev/null; }
LD_LIBRARY_PATH=$libdir "$work/cmake/host" -p 0 >"$work/host.out" 2>&1 &
host_pid=$!
: >"$work/term.log"
wait_until grep -qF "host: listening on 127.0.0.1 port " "$work/host.out"
port=$(sed -n 's/^host: listening on 127\.0\.0\.1 port \([1-9][0-9]*\)$/\1/p' "$work/host.out")
printf 'wait frame 37\nkey 120\nwait frame 35\n' |
  LD_LIBRARY_PATH=$libdir "$work/prefix/bin/ks318-term" --port "$port" --files "$work/term-files" >"$work/term.log" 2>&1 &
term_pid=$!
# A fresh host gives its first terminal the first id.
wait_until grep -qF "terminal 65536 key 'x' (120)" "$work/host.out"
wait_until grep -qF "key 'x' (120)" "$work/term.log"
kill -TERM "$host_pid"
wait_until ended "$host_pid"
wait "$host_pid" || { echo "host exited with status $?" >&2; cat "$work/host.out" >&2; exit 1; }
[[ $(tail -1 "$work/host.out") == 'host: stopped' ]] || { cat "$work/host.out" >&2; exit 1; }
wait_until ended "$term_pid"
wait "$term_pid" || { echo "ks318-term exited with status $?" >&2; cat "$work/term.log" >&2; exit 1; }
echo "find_package(KS318): host serves a terminal and stops on SIGTERM"

# pkg-config
PKG_CONFIG_PATH=$libdir/pkgconfig
export PKG_CONFIG_PATH
# The header needs no other package's flags; a static link needs what the archive links.
only_include() {  # checks that pkg-config --cflags ks318 gives the include folder $1 alone
  local cflags
  cflags=$(pkg-config --cflags ks318)
  [[ $cflags =~ ^-I([^\ ]+)\ *$ && $(realpath "${BASH_REMATCH[1]}") == "$1" ]] || { echo "cflags: $cflags" >&2; exit 1; }
}
only_include "$work/prefix/include"
static_libs=" $(pkg-config --static --libs ks318) "
[[ $static_libs == *" -lcairo "* && $static_libs == *" -ljpeg "* && $static_libs == *" -lstdc++ "* ]] ||
  { echo "static libs: $(pkg-config --static --libs ks318)" >&2; exit 1; }
cc "$source/examples/hello.c" -o "$work/hello-pc" $(pkg-config --cflags --libs ks318)
LD_LIBRARY_PATH=$libdir expect_hello "$work/hello-pc"
cc -std=c11 -Wall -Wextra -Werror "$source/examples/host.c" -o "$work/host-pc" $(pkg-config --cflags --libs ks318) -pthread
# An address that is not this machine's: the host says why it cannot listen and exits 1.
status=0
LD_LIBRARY_PATH=$libdir "$work/host-pc" -b 203.0.113.1 -p 0 >/dev/null 2>"$work/host-pc.err" || status=$?
grep -q '^host: cannot listen on 203\.0\.113\.1 port 0: ..*' "$work/host-pc.err" && ((status == 1)) ||
  { echo "host-pc on a foreign address: status $status, $(cat "$work/host-pc.err")" >&2; exit 1; }
echo "pkg-config ks318 $(pkg-config --modversion ks318): hello runs, host builds and reports a failed start"

# The Debian packages, unpacked into a root of their own.
(cd "$build" && cpack -G DEB -B "$work/debs" >/dev/null)
version=$(dpkg-deb -f "$(find "$work/debs" -maxdepth 1 -name 'libks318-0_*.deb' -print -quit)" Version)
[[ -n $version ]] || { echo "no libks318-0 package" >&2; exit 1; }
for package in libks318-0 libks318-dev ks318-tools; do
  deb=$(find "$work/debs" -maxdepth 1 -name "${package}_${version}_*.deb" -print -quit)
  [[ -n $deb ]] || { echo "no $package package" >&2; exit 1; }
  echo "$package: $(dpkg-deb -f "$deb" Depends)"
  contents=$(dpkg-deb -c "$deb")
  for doc in copyright changelog.Debian.gz README.md; do
    grep -q " \./usr/share/doc/$package/$doc$" <<<"$contents" || { echo "$package has no $doc" >&2; exit 1; }
  done
  # Every program and library stripped, its debug symbols under its build id
  # in the package's -dbgsym.
  rm -rf "$work/unpacked" && dpkg-deb -x "$deb" "$work/unpacked"
  debug=$(find "$work/debs" -maxdepth 1 -name "${package}-dbgsym_${version}_*.ddeb" -print -quit)
  debug_contents=$([[ -z $debug ]] || dpkg-deb -c "$debug")
  elves=0
  while IFS= read -r -d '' file; do
    description=$(file -b "$file")
    [[ $description == ELF* ]] || continue
    elves=$((elves + 1))
    [[ $description == *", stripped"* ]] || { echo "not stripped: ${file#"$work/unpacked"}" >&2; exit 1; }
    id=$(readelf -n "$file" | awk '/Build ID:/ {print $3}')
    [[ -n $id ]] && grep -q " \./usr/lib/debug/\.build-id/${id:0:2}/${id:2}\.debug$" <<<"$debug_contents" ||
      { echo "no debug symbols for ${file#"$work/unpacked"} in ${package}-dbgsym" >&2; exit 1; }
  done < <(find "$work/unpacked" -type f \( -perm -u+x -o -name '*.so.*' \) -print0)
  [[ $package == libks318-dev ]] || ((elves > 0)) || { echo "$package: no program or library found" >&2; exit 1; }
  dpkg-deb -x "$deb" "$work/root"
done
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
[[ -f $(echo "$work/root/usr/lib/$multiarch"/libks318.so.*.*.*) ]] || { echo "libks318.so not in /usr/lib/$multiarch" >&2; exit 1; }
debdeps=$(dpkg-deb -f "$(find "$work/debs" -name 'libks318-0_*.deb' -print -quit)" Depends)
[[ $debdeps == *libcairo2* && $debdeps == *libjpeg62-turbo* && $debdeps == *libpng16* ]] || { echo "libks318-0 depends on: $debdeps" >&2; exit 1; }
# A shared link needs the header and the library alone.
devdeps=$(dpkg-deb -f "$(find "$work/debs" -name 'libks318-dev_*.deb' -print -quit)" Depends)
[[ $devdeps == "libks318-0 (= $version)" ]] || { echo "libks318-dev depends on: $devdeps" >&2; exit 1; }
for program in ks318-term ks318-console ks318-web ks318-bridge; do
  [[ -x $work/root/usr/bin/$program ]] || { echo "no $program" >&2; exit 1; }
  zgrep -q -- '^\\fB\\-h\\fR,\\-\\-help$' "$work/root/usr/share/man/man1/$program.1.gz" ||
    { echo "no man page of $program listing its options" >&2; exit 1; }
done
echo "Debian packages $version: stripped, symbols in -dbgsym, documents, man pages, /usr/lib/$multiarch"
# Lintian, as Debian's archive would run it on them: no error, no warning.
lintian --fail-on error,warning --display-info \
  "$work"/debs/libks318-0_*.deb "$work"/debs/libks318-dev_*.deb "$work"/debs/ks318-tools_*.deb >"$work/lintian.out" ||
  { cat "$work/lintian.out" >&2; echo "lintian found errors or warnings" >&2; exit 1; }
echo "lintian: $(grep -c '^E: ' "$work/lintian.out") errors, $(grep -c '^W: ' "$work/lintian.out") warnings," \
  "$(grep -c '^[IPX]: ' "$work/lintian.out") informational tags"
PKG_CONFIG_PATH=$(dirname "$(find "$work/root" -name ks318.pc -print -quit)")
only_include "$work/root/usr/include"
cc "$source/examples/hello.c" -o "$work/hello-deb" $(pkg-config --cflags --libs ks318)
LD_LIBRARY_PATH=$(dirname "$(find "$work/root" -name 'libks318.so.*.*.*' -print -quit)") expect_hello "$work/hello-deb"
"$work/root/usr/bin/ks318-term" --help >/dev/null
echo "Debian packages: hello built against their files runs; ks318-term runs"
