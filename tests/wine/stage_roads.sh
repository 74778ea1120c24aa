# The wine stage's roads: a hot update confirmed, one rolled back by the service's timer, and
# the refusals made through WinHTTP. Sourced by hot_update_stage.sh after stage_lib.sh.
# shellcheck shell=bash

app_win="$install_win\\Korvadesk.exe"
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

# The application's side of a job is the Korvadesk.exe stand-in's own, run under wine as the
# wine user, as the host demo runs it: "--hot-update-request" writes the job file, sends
# "hot-update-prepare" and follows the job by reading the file as an application does
# (docs/integration.md: shared for reading, writing and deleting, polled), printing each
# status it sees; "--hot-update-commit" sends the commit and exits. A copy outside the
# installation folder (watch-job.exe, which the commit does not stop as the application)
# follows the job from the commit on. The service may skip a status while the reader holds
# the file; the final one always arrives.
watch_win='C:\vovu-tools\watch-job.exe'

# The application asks for VERSION from CURRENT with the job file in SUBFOLDER of its
# hot-update folder, and follows the job. Sets job_win, job, request_output (what it printed
# after the job file's path) and request_code (its exit code: 0 when the request was
# answered "OK" and the job ended "staged").
request() {  # VERSION URL CURRENT SUBFOLDER
  "$wine" "$install/Korvadesk.exe" --hot-update-request "$1" "$2" "$(package_sha "$1")" \
    "$(package_size "$1")" "$3" "$4" >"$stage/request.out" 2>&1
  request_code=$?
  local printed
  printed=$(tr -d '\r' <"$stage/request.out")
  job_win=$(sed -n 's/^job file: //p' <<<"$printed")
  job=$(unix_path "$job_win")
  request_output=$(sed '/^job file: /d' <<<"$printed")
  observe "Korvadesk.exe --hot-update-request $1 ... $3 \"$4\" (exit code $request_code):"
  sed 's/^/     | /' <<<"$printed"
}

job_status() { json_string "$job" status; }
prepare_road=$(printf '%s\n' "hot-update-prepare: OK" "verifying: official manifest" downloading \
  "verifying: package sha256" staged)
job_message() { json_string "$job" statusMessage; }

# The application sends hot-update-commit and exits; the watcher follows the job until it
# rests. Sets follow_output and commit_seconds.
commit_and_follow() {
  local begin follower code
  begin=$(date +%s)
  "$wine" "$watch_win" --hot-update-follow "$job_win" >"$stage/follow.out" 2>&1 &
  follower=$!
  "$wine" "$install/Korvadesk.exe" --hot-update-commit "$job_win" >"$stage/commit.out" 2>&1
  code=$?
  expect_equal "Korvadesk.exe --hot-update-commit" "0 hot-update-commit: OK" \
    "$code $(tr -d '\r' <"$stage/commit.out")"
  [ "$code" -eq 0 ] || kill "$follower"
  wait "$follower"
  follow_output=$(tr -d '\r' <"$stage/follow.out")
  commit_seconds=$(($(date +%s) - begin))
  observe "the job as watch-job.exe saw it, from the commit (${commit_seconds} s):"
  sed 's/^/     | /' <<<"$follow_output"
}

events() { tr -d '\r' <"$(hotupdate_folder)/standin-events.txt" 2>/dev/null; }
commands() { tr -d '\r' <"$(hotupdate_folder)/standin-commands.txt" 2>/dev/null; }
korvacf_trace() { tr -d '\r' <"$install/korvaCF.trace"; }
job_dirs() { find "$(protected_dir)" -mindepth 1 -maxdepth 1 -type d | wc -l; }

# Commit's status once the new files lie beside the installed ones, before the application
# is asked to exit.
new_files_ready="committing: new files ready; waiting for the application to exit"

# The stage polls the mirror, so under load it may miss a short status (the three file moves
# of "replacing"); what it saw must come in the road's order and end where it ends.
expect_in_order() {  # NAME ROAD SEEN (lines)
  local road=$2 line rest
  rest=$'\n'$road$'\n'
  while IFS= read -r line; do
    [ -n "$line" ] || continue
    case $rest in
      *$'\n'"$line"$'\n'*) rest=$'\n'${rest#*$'\n'"$line"$'\n'} ;;
      *)
        bad "$1: '$line' out of the road's order ($(one_line "$3"))"
        return
        ;;
    esac
  done <<<"$3"
  if [ "$(tail -1 <<<"$3")" = "$(tail -1 <<<"$road")" ]; then
    ok "$1: $(one_line "$3")"
  else
    bad "$1: ended '$(tail -1 <<<"$3")', not '$(tail -1 <<<"$road")'"
  fi
}

# The protected directory of the job whose user job file lies in SUBFOLDER.
job_dir_of() {  # SUBFOLDER
  local record
  record=$(grep -lF "\\\\$1\\\\job.json" "$(protected_dir)"/*/service-job.json 2>/dev/null | head -1)
  [ -n "$record" ] && dirname "$record"
}

road_confirmed() {
  step "Road 1: 2.10.0 -> 2.11.0 prepared, committed, relaunched, confirmed"
  make_release 2.11.0
  publish 2.11.0
  # The package comes through a relative redirect, which stays on the same host.
  mkdir -p "$stage/www/mirror"
  cp "$stage/www/pkg/2.11.0.zip" "$stage/www/mirror/2.11.0.zip"
  echo "/pkg/2.11.0.zip redirect 302 /mirror/2.11.0.zip" >"$stage/update-host.rules"
  request 2.11.0 "https://$cdn/pkg/2.11.0.zip" 2.10.0 "road one"
  : >"$stage/update-host.rules"
  expect_equal "prepare exit code" 0 "$request_code"
  expect_contains "the package fetched through the relative redirect" \
    "request GET /mirror/2.11.0.zip" "$(cat "$stage/update-host.log")"
  expect_in_order "prepare's statuses" "$prepare_road" "$(sed '/^job file: /d' <<<"$request_output")"
  expect_equal "mirrored status" staged "$(job_status)"
  observe "job file: $job_win"
  observe "protected job directory: $(find "$(protected_dir)" -mindepth 1 -maxdepth 2 | sed "s|$(protected_dir)/||" | sort | tr '\n' ' ')"

  local reply
  reply=$("$wine" "$pipe_send_win" start-korvacf 2>&1 | tr -d '\r')
  expect_equal "start-korvacf" OK "$reply"
  wait_for "korvaCF.exe started" 100 grep -q '^start ' "$install/korvaCF.trace"

  commit_and_follow
  expect_in_order "statuses from the commit" "$(printf '%s\n' committing "$new_files_ready" replacing relaunching done)" \
    "$follow_output"
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
  # This time the package comes through a redirect inside the update domain, which WinHTTP
  # follows and the service accepts.
  cp "$stage/www/pkg/2.12.0.zip" "$stage/www/mirror/2.12.0.zip"
  echo "/pkg/2.12.0.zip redirect 302 https://$host/mirror/2.12.0.zip" >"$stage/update-host.rules"
  request 2.12.0 "https://$cdn/pkg/2.12.0.zip" 2.11.0 "road two"
  : >"$stage/update-host.rules"
  expect_equal "prepare exit code" 0 "$request_code"
  expect_in_order "prepare's statuses" "$prepare_road" "$(sed '/^job file: /d' <<<"$request_output")"
  expect_equal "mirrored status" staged "$(job_status)"
  expect_contains "the package fetched through the redirect inside the domain" \
    "request GET /mirror/2.12.0.zip" "$(cat "$stage/update-host.log")"
  : >"$(dirname "$job")/hold-confirmation"

  commit_and_follow
  expect_in_order "statuses from the commit" "$(printf '%s\n' committing "$new_files_ready" replacing relaunching \
    "rollingback: confirmation timeout" "rolledback: rollback timer")" "$follow_output"
  if [ "$commit_seconds" -ge 90 ]; then
    ok "the rollback came after the real 90 s ($commit_seconds s after the commit)"
  else
    bad "the rollback came after $commit_seconds s, before the 90 s"
  fi
  expect_equal "mirrored status" rolledback "$(job_status)"
  expect_equal "mirrored status message" "rollback timer" "$(job_message)"
  wait_for "the application started after the rollback" 100 grep -qx rolledback \
    "$(hotupdate_folder)/standin-events.txt"
  expect_equal "relaunched application's notes" "pending $job_win confirm=held rolledback" \
    "$(one_line "$(events)")"
  expect_equal "command lines" \
    "\"$app_win\" --hot-update-pending \"$job_win\" \"$app_win\" --hot-update-rolledback" \
    "$(one_line "$(commands)")"
  expect_installed_from "installed files are 2.11.0 again" "$stage/release/2.11.0"
  observe "the job directory stays: $(find "$(job_dir_of "road two")" -mindepth 1 | sed 's|.*/hotupdate/[0-9a-f]*/||' | sort | tr '\n' ' ')"
  show_installed
  expect_equal "installed version" 2.11.0 "$(json_string <(protected_file installed-version.json) currentVersion)"
}

# One refused prepare: the mirrored job ends "failed" with MESSAGE.
expect_refused() {  # NAME MESSAGE
  expect_equal "$1: prepare exit code" 1 "$request_code"
  expect_equal "$1: mirrored status" failed "$(job_status)"
  expect_equal "$1: status message" "$2" "$(job_message)"
  local dir
  dir=$(job_dir_of refusals)
  if [ -z "$dir" ]; then
    bad "$1: no protected job directory"
  else
    expect_equal "$1: no package.zip or .part in its job directory" "" \
      "$(find "$dir" -name 'package.zip*')"
  fi
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
  expect_equal "no request sent to $offdomain" "$requests_before" \
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

# A manifest that trickles one byte a minute: the service's stop ends the prepare, the job
# ends "failed" with the fetch cancelled, and the service starts again for the last steps.
# The request's watcher closes WinHTTP's handle at the stop; wine's WinHTTP lets the waiting
# read run on to its receive time-out (30 s) all the same (docs/wine-stage.md), so the
# stopped state is waited for here, and the time it took is printed.
service_stopped() { [ "$(service_state)" = 1 ]; }

stopped_while_trickling() {
  step "A stop while the manifest trickles"
  local rules="$stage/update-host.rules"
  [ -f "$stage/release/2.12.0/official-manifest.json" ] || make_release 2.12.0
  publish 2.12.0
  echo "/client/new/clientHotUpdateInfo.json trickle 1 60000" >"$rules"
  job_win="C:\\users\\$(id -un)\\.zodezevadororuza\\updates\\hotupdate\\stopped\\job.json"
  job=$(unix_path "$job_win")
  mkdir -p "$(dirname "$job")"
  cat >"$job" <<JOB
{"version": "2.12.0", "request": {"packageUrl": "https://$cdn/pkg/2.12.0.zip",
 "packageSha256": "$(package_sha 2.12.0)", "packageSize": $(package_size 2.12.0),
 "currentVersion": "2.11.0"}}
JOB
  local requests_before
  requests_before=$(grep -c '^request GET /client/new/clientHotUpdateInfo.json' "$stage/update-host.log")
  # The application sends the prepare and follows its job through the stop and the restart.
  "$wine" "$install/Korvadesk.exe" --hot-update-prepare "$job_win" >"$stage/stopped.out" 2>&1 &
  local application=$!
  wait_for "the manifest requested" 300 bash -c \
    "[ \$(grep -c '^request GET /client/new/clientHotUpdateInfo.json' '$stage/update-host.log') -gt $requests_before ]"
  local started
  started=$(date +%s%3N)
  expect_code "vovudidavuda.exe stop" 0 "$wine" "$install/vovudidavuda.exe" stop
  wait_for "the service stopped" 600 service_stopped
  observe "stop to stopped: $(($(date +%s%3N) - started)) ms (the next byte was due in 60 s)"
  : >"$rules"
  expect_code "vovudidavuda.exe start" 0 "$wine" "$install/vovudidavuda.exe" start
  wait_for "the service answering again" 100 pipe_answers
  # A stop ends the writers of the users' copies at once; the next start writes every job at
  # rest again from its record.
  wait_for "the user's copy of the final status" 100 mirrored_failed
  expect_equal "mirrored status" failed "$(job_status)"
  expect_equal "status message" "manifest authorization failed: manifest request cancelled" \
    "$(job_message)"
  wait "$application"
  local code=$?
  observe "Korvadesk.exe --hot-update-prepare (exit code $code):"
  tr -d '\r' <"$stage/stopped.out" | sed 's/^/     | /'
  expect_equal "the application's first and last lines, and its exit code" \
    "hot-update-prepare: OK|failed: manifest authorization failed: manifest request cancelled|1" \
    "$(tr -d '\r' <"$stage/stopped.out" | sed -n '1p;$p' | tr '\n' '|')$code"
}
mirrored_failed() { [ "$(job_status)" = failed ]; }
