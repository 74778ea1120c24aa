# The wine stage's roads: a hot update confirmed, one rolled back by the service's timer, and
# the refusals made through WinHTTP. Sourced by hot_update_stage.sh after stage_lib.sh.
# shellcheck shell=bash

app_win="$install_win\\Korvadesk.exe"
watch_win='C:\vovu-tools\watch-job.exe'
pipe_send_win='C:\vovu-tools\pipe-send.exe'

# A release: korvaCF.exe and addon.node signed by the publisher, an app.asar of about 1 MB,
# the package and the official manifest that offers it at https://cdn.../pkg/VERSION.zip.
make_release() {  # VERSION
  local dir="$stage/release/$1"
  mkdir -p "$dir"
  sign "$win_build/tools/korvacf_standin/korvaCF.exe" "$dir/korvaCF.exe" "korvaCF $1"
  sign "$win_build/tools/installed_version/installed-version.exe" "$dir/addon.node" "addon $1"
  head -c 1000000 < <(yes "application archive $1") >"$dir/app.asar"
  "$host_build/tools/make_package/make-package" --version "$1" \
    --url "https://$cdn/pkg/$1.zip" --out "$dir/out" "$dir/korvaCF.exe" "$dir/addon.node" \
    "$dir/app.asar" >"$dir/official-manifest.json" || fail_now "make-package $1"
  cp "$dir/out/package.zip" "$stage/www/pkg/$1.zip"
}

# Publishes VERSION's official manifest, its package address changed to URL when one is given.
publish() {  # VERSION [URL]
  local dir="$stage/release/$1"
  if [ "$#" -gt 1 ]; then
    sed "s|\"packageUrl\": \"[^\"]*\"|\"packageUrl\": \"$2\"|" "$dir/official-manifest.json"
  else
    cat "$dir/official-manifest.json"
  fi >"$stage/www/client/new/clientHotUpdateInfo.json"
}

package_sha() { digest "$stage/www/pkg/$1.zip"; }
package_size() { stat -c %s "$stage/www/pkg/$1.zip"; }

# The application asks for VERSION from CURRENT with the job file in SUBFOLDER of its
# hot-update folder and follows the job. Sets job_win (the job file's Windows path), job
# (its Linux path), request_output and request_code.
request() {  # VERSION URL CURRENT SUBFOLDER
  "$wine" "$app_win" --hot-update-request "$1" "$2" "$(package_sha "$1")" \
    "$(package_size "$1")" "$3" "$4" >"$stage/request.out" 2>&1
  request_code=$?
  request_output=$(tr -d '\r' <"$stage/request.out")
  job_win=$(sed -n 's/^job file: //p' <<<"$request_output")
  job=$(unix_path "$job_win")
  observe "Korvadesk.exe --hot-update-request $1 ... $3 \"$4\" (exit code $request_code):"
  sed 's/^/     | /' <<<"$request_output"
}

job_status() { json_string "$job" status; }
job_message() { json_string "$job" statusMessage; }

# The application sends hot-update-commit and exits; a follower outside the installation
# prints each change of the job until it rests. Sets follow_output and commit_seconds.
commit_and_follow() {
  local follow="$stage/follow.out" begin
  "$wine" "$watch_win" --hot-update-follow "$job_win" >"$follow" 2>&1 &
  local follower=$!
  begin=$(date +%s)
  local reply
  reply=$("$wine" "$app_win" --hot-update-commit "$job_win" 2>&1 | tr -d '\r')
  expect_equal "Korvadesk.exe --hot-update-commit" "hot-update-commit: OK" "$reply"
  [ "$reply" = "hot-update-commit: OK" ] || kill "$follower"  # nothing to follow then
  wait "$follower"
  commit_seconds=$(($(date +%s) - begin))
  follow_output=$(tr -d '\r' <"$follow")
  observe "the job's mirror, followed from the commit (${commit_seconds} s):"
  sed 's/^/     | /' <<<"$follow_output"
}

events() { tr -d '\r' <"$(hotupdate_folder)/standin-events.txt" 2>/dev/null; }
commands() { tr -d '\r' <"$(hotupdate_folder)/standin-commands.txt" 2>/dev/null; }
korvacf_trace() { tr -d '\r' <"$install/korvaCF.trace"; }
job_dirs() { find "$(protected_dir)" -mindepth 1 -maxdepth 1 -type d | wc -l; }

road_confirmed() {
  step "Road 1: 2.10.0 -> 2.11.0 prepared, committed, relaunched, confirmed"
  make_release 2.11.0
  publish 2.11.0
  request 2.11.0 "https://$cdn/pkg/2.11.0.zip" 2.10.0 "road one"
  expect_equal "prepare exit code" 0 "$request_code"
  expect_equal "prepare's statuses" \
    "hot-update-prepare: OK verifying: official manifest downloading verifying: package sha256 staged" \
    "$(one_line "$(sed '/^job file: /d' <<<"$request_output")")"
  expect_equal "mirrored status" staged "$(job_status)"
  observe "job file: $job_win"
  observe "protected job directory: $(find "$(protected_dir)" -mindepth 1 -maxdepth 2 | sed "s|$(protected_dir)/||" | sort | tr '\n' ' ')"

  local reply
  reply=$("$wine" "$pipe_send_win" start-korvacf 2>&1 | tr -d '\r')
  expect_equal "start-korvacf" OK "$reply"
  wait_for "korvaCF.exe started" 100 grep -q '^start ' "$install/korvaCF.trace"

  commit_and_follow
  # "replacing" lasts as long as three file moves; the follower may not see it.
  expect_equal "statuses from the commit" \
    "committing relaunching done" "$(one_line "$(grep -v '^replacing$' <<<"$follow_output")")"
  expect_equal "mirrored status" done "$(job_status)"
  wait_for "the relaunched application's note" 100 grep -q confirm= "$(hotupdate_folder)/standin-events.txt"
  expect_equal "relaunched application's note" "pending $job_win confirm=OK" "$(events)"
  expect_equal "relaunch command line" \
    "\"$app_win\" --hot-update-pending \"$job_win\"" "$(commands)"
  observe "korvaCF.exe trace:"
  korvacf_trace | sed 's/^/     | /'
  expect_contains "korvaCF.exe asked to stop" "stop " "$(korvacf_trace)"
  expect_contains "korvaCF.exe ended" "exit " "$(korvacf_trace)"
  expect_installed_from "installed files are 2.11.0" "$stage/release/2.11.0"
  show_installed
  expect_equal "installed version" 2.11.0 "$(json_string <(protected_file installed-version.json) currentVersion)"
  observe "installed-version.json: $(one_line "$(protected_file installed-version.json)")"
  expect_equal "job directories left" 0 "$(job_dirs)"
}

road_rolled_back() {
  step "Road 2: 2.11.0 -> 2.12.0 committed but never confirmed: the timer's rollback"
  make_release 2.12.0
  publish 2.12.0
  rm -f "$(hotupdate_folder)/standin-events.txt" "$(hotupdate_folder)/standin-commands.txt"
  request 2.12.0 "https://$cdn/pkg/2.12.0.zip" 2.11.0 "road two"
  expect_equal "prepare exit code" 0 "$request_code"
  expect_equal "mirrored status" staged "$(job_status)"
  : >"$(dirname "$job")/hold-confirmation"

  commit_and_follow
  expect_equal "statuses from the commit" \
    "committing relaunching rollingback: confirmation timeout rolledback: rollback timer" \
    "$(one_line "$(grep -v '^replacing$' <<<"$follow_output")")"
  if [ "$commit_seconds" -ge 90 ]; then
    ok "the rollback came after the real 90 s ($commit_seconds s after the commit)"
  else
    bad "the rollback came after $commit_seconds s, before the 90 s"
  fi
  expect_equal "mirrored status" rolledback "$(job_status)"
  wait_for "the application started after the rollback" 100 grep -qx rolledback \
    "$(hotupdate_folder)/standin-events.txt"
  expect_equal "relaunched application's notes" "pending $job_win confirm=held rolledback" \
    "$(one_line "$(events)")"
  expect_equal "command lines" \
    "\"$app_win\" --hot-update-pending \"$job_win\" \"$app_win\" --hot-update-rolledback" \
    "$(one_line "$(commands)")"
  expect_installed_from "installed files are 2.11.0 again" "$stage/release/2.11.0"
  show_installed
  expect_equal "installed version" 2.11.0 "$(json_string <(protected_file installed-version.json) currentVersion)"
}

# One refused prepare: the mirrored job ends "failed" with MESSAGE.
expect_refused() {  # NAME MESSAGE
  expect_equal "$1: prepare exit code" 1 "$request_code"
  expect_equal "$1: mirrored status" failed "$(job_status)"
  expect_equal "$1: status message" "$2" "$(job_message)"
  expect_equal "$1: no package in the job directory" "" \
    "$(find "$(protected_dir)" -name 'package.zip*')"
}

refusals() {
  step "Refusals through WinHTTP"
  local rules="$stage/update-host.rules" size
  size=$(package_size 2.12.0)
  local requests_before

  observe "the official manifest answered 302"
  publish 2.12.0
  echo "/client/new/clientHotUpdateInfo.json redirect 302 https://$host/client/new/moved.json" \
    >"$rules"
  request 2.12.0 "https://$cdn/pkg/2.12.0.zip" 2.11.0 "refusals"
  expect_refused "manifest 302" "manifest authorization failed: manifest HTTP status=302"
  expect_equal "the redirect not followed" "" "$(grep moved.json "$stage/update-host.log")"

  observe "the package redirected off the update domain"
  cp "$stage/www/pkg/2.12.0.zip" "$stage/www/pkg/moved.zip"
  publish 2.12.0 "https://$cdn/pkg/moved.zip"
  echo "/pkg/moved.zip redirect 302 https://$offdomain/pkg/2.12.0.zip" >"$rules"
  requests_before=$(grep -c '^request GET /pkg/2.12.0.zip' "$stage/update-host.log")
  request 2.12.0 "https://$cdn/pkg/moved.zip" 2.11.0 "refusals"
  expect_refused "redirect off the domain" \
    "download failed: hot-update redirect target host is not allowed"
  expect_equal "WinHTTP followed the redirect to $offdomain" $((requests_before + 1)) \
    "$(grep -c '^request GET /pkg/2.12.0.zip' "$stage/update-host.log")"

  observe "the package one byte longer than the manifest says"
  publish 2.12.0 "https://$cdn/pkg/long.zip"
  cp "$stage/www/pkg/2.12.0.zip" "$stage/www/pkg/long.zip"
  echo "/pkg/long.zip pad $((size + 1))" >"$rules"
  request 2.12.0 "https://$cdn/pkg/long.zip" 2.11.0 "refusals"
  expect_refused "package one byte too long" "download failed: package exceeds expected size"
  : >"$rules"
  expect_installed_from "installed files untouched by the refusals" "$stage/release/2.11.0"
}
