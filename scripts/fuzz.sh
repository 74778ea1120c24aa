#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (preset "fuzz", in build/fuzz) and runs
# each for SECONDS (default 60) over a copy of its seed corpus, one after the other.
#
#   scripts/fuzz.sh [SECONDS] [--keep] [TARGET...]
#
# New corpus entries go to build/fuzz/corpus/<target>, never into the tree, unless --keep is
# given: then the entries that add coverage are merged into fuzz/corpus/<target>. A crash, a
# broken invariant, a leak or an input that runs past 10 s fails the script; the input is
# left in build/fuzz/artifacts. At the end it prints, per target, the seconds run, the
# executions and the coverage libFuzzer reports (cov: edges, ft: features).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
keep=0
only=()
for arg in "$@"; do
  case "$arg" in
    --keep) keep=1 ;;
    ''|*[!0-9]*) only+=("$arg") ;;
    *) seconds=$arg ;;
  esac
done

targets=(json_fuzz version_resource_fuzz package_listing_fuzz manifest_authorization_fuzz
  job_file_fuzz service_records_fuzz package_manifest_fuzz pipe_request_fuzz
  tar_listing_file_fuzz image_headers_fuzz embedded_signature_fuzz)
[ ${#only[@]} -eq 0 ] || targets=("${only[@]}")

dict_of() {
  case "$1" in
    json_fuzz) echo json_utf16 ;;
    job_file_fuzz | service_records_fuzz | package_manifest_fuzz | manifest_authorization_fuzz)
      echo json ;;
    pipe_request_fuzz) echo pipe_request ;;
    package_listing_fuzz | tar_listing_file_fuzz) echo listing ;;
    *) echo image ;;
  esac
}

# clang and its libFuzzer runtime (scripts/setup.sh installs them with everything else).
if ! command -v clang++ >/dev/null ||
  ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends \
    clang libclang-rt-14-dev
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target "${targets[@]}"

out=build/fuzz
mkdir -p "$out/corpus" "$out/artifacts" "$out/logs"
# Leaks are reported by the run, but the sanitizers' own exit code decides.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
summary=()
for target in "${targets[@]}"; do
  corpus="$out/corpus/$target"
  mkdir -p "$corpus"
  cp -n fuzz/corpus/"$target"/* "$corpus"/ 2>/dev/null || true
  log="$out/logs/$target.log"
  echo "== $target: ${seconds} s"
  status=0
  # The tree's seeds are read as a second corpus directory, so they are always run as given.
  "$out/fuzz/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -dict="fuzz/dict/$(dict_of "$target").dict" -artifact_prefix="$out/artifacts/$target-" \
    "$corpus" "fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(echo "$done_line" | sed -n 's/.*cov: \([0-9]*\).*ft: \([0-9]*\).*/cov \1 ft \2/p')
  if [ "$status" -ne 0 ]; then
    failed+=("$target")
    tail -n 40 "$log" >&2
    summary+=("$(printf '%-30s FAILED (exit %d), see %s' "$target" "$status" "$log")")
    continue
  fi
  summary+=("$(printf '%-30s %5s s %10s execs  %s' "$target" "$seconds" "${execs:-?}" "${cov:-?}")")
  if [ "$keep" -eq 1 ]; then
    "$out/fuzz/$target" -merge=1 "fuzz/corpus/$target" "$corpus" >>"$log" 2>&1
  fi
done

echo "== fuzz summary"
for line in "${summary[@]}"; do echo "   $line"; done
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: failed: ${failed[*]}" >&2
  exit 1
fi
