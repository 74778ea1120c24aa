#!/usr/bin/env bash
# Installs what is missing, builds both targets and runs every test:
#   host (debug), host-asan (ASan+UBSan), win64 (the same suites under wine64), then the
#   wine stage (the whole hot update of the Windows build under wine64), then a short run
#   of every fuzz target (scripts/fuzz.sh).
# Every ctest entry has a time limit, the wine suite names a test that hangs, and the wine
# stage as a whole is bounded, so a run never waits for CI's own limit. At the end (also
# after a failure) it says how long each stage took.
set -euo pipefail
cd "$(dirname "$0")/.."

stages=()
stage_start=$SECONDS
stage_name=""
begin_stage() {
  end_stage
  stage_name=$1
  stage_start=$SECONDS
  echo "== $stage_name"
}
end_stage() {
  if [ -n "$stage_name" ]; then
    stages+=("$(printf '%-16s %5d s' "$stage_name" $((SECONDS - stage_start)))")
  fi
  stage_name=""
}
report_stages() {
  local status=$?
  end_stage
  echo "== stage times"
  local line
  for line in "${stages[@]}"; do echo "   $line"; done
  printf '   %-16s %5d s\n' "total" "$SECONDS"
  return $status
}
trap report_stages EXIT

begin_stage setup
bash scripts/setup.sh

# wine keeps its prefix per user; a quiet, headless one is enough for console programs.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

jobs=$(nproc)
for preset in host host-asan win64; do
  begin_stage "$preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  begin_stage "$preset tests"
  ctest --preset "$preset" -j "$jobs"
done

# The whole hot update of the Windows build under wine (docs/wine-stage.md): the host
# build's update host and package tool, the win64 build's programs. Exit code 77: skipped
# (not root); 124: it ran past its limit (a few times its usual 2-3 minutes).
begin_stage "wine stage"
status=0
timeout --kill-after=30 900 bash tests/wine/hot_update_stage.sh build/host build/win64 || status=$?
[ "$status" -ne 124 ] || echo "wine stage: still running after 900 s, ended" >&2
[ "$status" -eq 0 ] || [ "$status" -eq 77 ]

# The fuzz targets (fuzz/README.md), about 20 s each after their seed corpora: an input kept
# in fuzz/corpus that crashes again, or a broken invariant found quickly, fails here.
begin_stage fuzz
bash scripts/fuzz.sh 20
