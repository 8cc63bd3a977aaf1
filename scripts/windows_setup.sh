#!/usr/bin/env bash
# Installs what the Windows build needs, when any is missing: the 32-bit MinGW-w64
# cross compiler (posix threads), nasm for libjpeg-turbo's SIMD code, MinGW zlib,
# Wine (32-bit) to run the tests, and the source-package entries that
# `apt-get source` reads.
set -euo pipefail

packages=(
  cmake ninja-build pkg-config dpkg-dev
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev
  libz-mingw-w64-dev nasm googletest
  wine wine32:i386
)

if [[ $(id -u) -ne 0 ]]; then sudo=sudo; else sudo=; fi
update=

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
  update=yes
fi

# Source packages come from the same mirrors and suites as the binary ones.
sources=/etc/apt/sources.list.d/ks318-deb-src.sources
if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
  $sudo tee "$sources" >/dev/null <<'SOURCES'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
  update=yes
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  update=yes
fi

if [[ -n $update ]]; then $sudo apt-get update -qq; fi
if ((${#missing[@]})); then
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
