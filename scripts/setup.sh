#!/usr/bin/env bash
# Installs the Debian 12 packages the project builds with, when any is missing.
# Usage: scripts/setup.sh [bench]   (bench: also what only the benchmark report needs)
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  # pictures: JPEG codec, PNG, bitmaps and icons; metafiles are drawn with cairo,
  # their texts in the fonts fontconfig finds (DejaVu at least)
  libjpeg62-turbo-dev libpng-dev libcairo2-dev fonts-dejavu-core
  # tools: the simulated screen's texts (FreeType), the console's line editing
  # (libedit) and command-line options (CLI11)
  libfreetype-dev libedit-dev libcli11-dev
  # the Python package's tests and its type check (mypy --strict)
  python3 python3-pytest python3-mypy
  # the dashboard (ks318-web): HTTP server and JSON; its browser tests
  libcpp-httplib-dev nlohmann-json3-dev chromium chromium-driver python3-selenium
  # the fleet bridge (ks318-bridge) and the dashboard's fleet mode: MQTT client
  # library, base64 (OpenSSL) and the queue's checksums (zlib); the broker, an
  # MQTT client and the certificates (openssl) of their tests; mosquitto_sub and
  # mosquitto_pub to watch and drive a fleet by hand
  libmosquitto-dev libssl-dev zlib1g-dev mosquitto mosquitto-clients python3-paho-mqtt openssl
  # the Debian packages: cpack's file type and dependency look-ups (file,
  # dpkg-shlibdeps), the man pages (help2man), and their checks: lintian, and
  # systemd-analyze on the services' units
  file dpkg-dev help2man lintian systemd
)
# Heavy and needed only by scripts/bench.sh: the plot, and ImageMagick as a baseline.
if [[ ${1:-} == bench ]]; then
  packages+=(gnuplot-nox imagemagick)
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  if [[ $(id -u) -ne 0 ]]; then sudo=sudo; else sudo=; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
