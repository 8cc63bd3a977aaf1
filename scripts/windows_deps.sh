#!/usr/bin/env bash
# Cross-builds the static libraries the Windows build links and Debian does not
# ship for MinGW: libjpeg-turbo and libpng from Debian's source packages, and
# GoogleTest from /usr/src/googletest. Installed under build/windows-deps/prefix;
# a library already there is not built again.
# Usage: scripts/windows_deps.sh   (run from anywhere; prints the prefix)
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
deps=$top/build/windows-deps
prefix=$deps/prefix
toolchain=$top/cmake/mingw-i686.cmake
mkdir -p "$deps/src" "$prefix"

cross=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DKS318_WINDOWS_PREFIX="$prefix"
       -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix")

# Unpacks Debian's source package $1 under src/ (once) and prints its folder.
unpack() {
  local package=$1
  local folder
  folder=$(find "$deps/src/$package" -mindepth 1 -maxdepth 1 -type d 2>/dev/null | head -n1 || true)
  if [[ -z $folder ]]; then
    rm -rf "$deps/src/$package"
    mkdir -p "$deps/src/$package"
    (cd "$deps/src/$package" && apt-get source -qq "$package" >&2)
    folder=$(find "$deps/src/$package" -mindepth 1 -maxdepth 1 -type d | head -n1)
  fi
  echo "$folder"
}

# Configures, builds and installs one CMake project: name, source folder, options.
build() {
  local name=$1 source=$2
  shift 2
  rm -rf "$deps/build-$name"
  cmake -Wno-dev -S "$source" -B "$deps/build-$name" "${cross[@]}" "$@" >/dev/null
  cmake --build "$deps/build-$name" >/dev/null
  cmake --install "$deps/build-$name" >/dev/null
  rm -rf "$deps/build-$name"
  touch "$prefix/.$name-done"
}

if [[ ! -e $prefix/.libjpeg-turbo-done ]]; then
  echo "Cross-building libjpeg-turbo"
  source=$(unpack libjpeg-turbo)
  simd=ON
  command -v nasm >/dev/null || simd=OFF
  build libjpeg-turbo "$source" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF \
    -DWITH_SIMD=$simd
fi

if [[ ! -e $prefix/.libpng-done ]]; then
  echo "Cross-building libpng"
  source=$(unpack libpng1.6)
  build libpng "$source" -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF \
    -DCMAKE_INSTALL_LIBDIR=lib
fi

if [[ ! -e $prefix/.googletest-done ]]; then
  echo "Cross-building GoogleTest"
  build googletest /usr/src/googletest -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON -DCMAKE_INSTALL_LIBDIR=lib
fi

echo "$prefix"
