#!/usr/bin/env bash
# Makes a fresh Debian 12 machine ready to build and test both targets.
# Idempotent: when every package is present it only checks and returns.
set -euo pipefail

# What the README's commands use: the two builds and their tests, the benchmarks, the
# fuzz targets (clang and its libFuzzer runtime), clang-format, the demo (ps) and the
# private network of the demo and the wine stage (ip, and the CA bundle the stage extends),
# an ordinary static web server (nginx-light) that a test serves an update from, and
# stress-ng, the busy machine beside which the demo is shown not to race.
packages=(
  build-essential g++ cmake ninja-build pkg-config
  googletest libgtest-dev libbenchmark-dev
  libssl-dev openssl libcurl4-openssl-dev libcpp-httplib-dev libsqlite3-dev
  libarchive-tools binutils osslsigncode clang-format clang libclang-rt-14-dev procps
  mingw-w64 g++-mingw-w64-x86-64-posix wine64 iproute2 ca-certificates nginx-light stress-ng
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
