#!/usr/bin/env bash
# Installs what is missing, builds both targets and runs every test:
#   host (debug), host-asan (ASan+UBSan), win64 (the same suites under wine64).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

# wine keeps its prefix per user; a quiet, headless one is enough for console programs.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

jobs=$(nproc)
for preset in host host-asan win64; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
