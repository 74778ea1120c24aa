#!/usr/bin/env bash
# Installs what is missing, builds both targets and runs every test:
#   host (debug), host-asan (ASan+UBSan), win64 (the same suites under wine64), then the
#   wine stage (the whole hot update of the Windows build under wine64).
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

# The whole hot update of the Windows build under wine (docs/wine-stage.md): the host
# build's update host and package tool, the win64 build's programs. Exit code 77: skipped
# (not root).
echo "== wine stage"
status=0
bash tests/wine/hot_update_stage.sh build/host build/win64 || status=$?
[ "$status" -eq 0 ] || [ "$status" -eq 77 ]
