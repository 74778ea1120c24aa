#!/usr/bin/env bash
# The whole hot update of the Windows build under wine64, through wine's WinHTTP, its service
# control manager, named pipes, trust verification and process creation (docs/wine-stage.md).
#
#   hot_update_stage.sh HOST_BUILD_DIR WIN64_BUILD_DIR
#
# HOST_BUILD_DIR gives the Linux tools (update-host, make-package, make-certificates),
# WIN64_BUILD_DIR the Windows programs (vovudidavuda.exe, Korvadesk.exe, korvaCF.exe,
# pipe-send.exe, installed-version.exe, and the tar.exe fixture). As root, the stage re-enters itself in
# private mount and network namespaces: there the update host answers on 127.0.0.1:443, a
# hosts file maps the update names to it and the system's CA bundle also holds the stage's
# own CA (where wine's WinHTTP takes its name resolution and its trust from). Everything is
# made in WIN64_BUILD_DIR/wine-stage, a fresh wine prefix included, and removed afterwards.
#
# Each step prints "ok: ..." or "FAIL: ..."; the observations (statuses, files, command
# lines, exit codes) are printed as they are made. Exit code 0 when every check passed, 1
# otherwise, 77 (skipped) when not run as root.
set -u

if [ "${VOVU_WINE_STAGE:-}" != inside ]; then
  if [ "$#" -ne 2 ]; then
    echo "usage: $0 HOST_BUILD_DIR WIN64_BUILD_DIR" >&2
    exit 2
  fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: the wine stage needs root for its private namespaces"
    exit 77
  fi
  # One stage at a time per build directory: a second would remove the first one's prefix.
  # Only this process holds the lock: nothing the stage starts inherits it (9>&-), so a
  # program a dead stage left running never blocks the next one.
  exec 9>"$(realpath "$2")/wine-stage.lock"
  if ! flock -n 9; then
    echo "FAIL: another wine stage runs in $2"
    exit 1
  fi
  env VOVU_WINE_STAGE=inside unshare --mount --net -- bash "$0" "$(realpath "$1")" \
    "$(realpath "$2")" 9>&- &
  inner=$!
  trap 'kill -TERM "$inner" 2>/dev/null' INT TERM HUP
  status=0
  wait "$inner" || status=$?
  while kill -0 "$inner" 2>/dev/null; do  # a trapped signal ended the wait, not the stage
    status=0
    wait "$inner" || status=$?
  done
  exit "$status"
fi

host_build=$1
win_build=$2
here=$(cd "$(dirname "$0")" && pwd)
stage="$win_build/wine-stage"
export WINEPREFIX="$stage/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
host=updates.korvasync.example
cdn=cdn.korvasync.example
offdomain=downloads.elsewhere.example
started=$(date +%s)

# shellcheck source=tests/wine/stage_lib.sh
source "$here/stage_lib.sh"

# The update host ends with the stage, whatever ends the stage: asked first, then killed
# (it may be holding a trickled answer and not heed the request at once).
stop_update_host() {
  [ -n "${update_host_pid:-}" ] || return 0
  kill "$update_host_pid" 2>/dev/null
  timeout 3 tail --pid="$update_host_pid" -s 0.1 -f /dev/null ||
    kill -9 "$update_host_pid" 2>/dev/null
  wait "$update_host_pid" 2>/dev/null
  update_host_pid=""
}

cleanup() {
  stop_update_host
  if [ -d "$WINEPREFIX" ]; then
    "$wineserver" -k >/dev/null 2>&1
    "$wineserver" -w >/dev/null 2>&1
  fi
  if [ "${VOVU_WINE_STAGE_KEEP:-}" != yes ]; then
    rm -rf "$stage"
  fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP  # through the EXIT trap

rm -rf "$stage"
mkdir -p "$stage/keys" "$stage/www/client/new" "$stage/www/pkg" "$stage/release"
ip link set lo up || { echo "FAIL: no loopback in the private network"; exit 1; }

step "The update host's world: a CA, the server certificate, the publisher's code signer"
"$host_build/tests/make-certificates" "$stage/keys" "DNS:$host,DNS:$cdn,DNS:$offdomain" ||
  fail_now "make-certificates cannot make the keys"
# Name resolution and trust of wine's WinHTTP come from the host system's files.
{ echo "127.0.0.1 localhost"; echo "127.0.0.1 $host $cdn $offdomain"; } >"$stage/hosts"
cat /etc/ssl/certs/ca-certificates.crt "$stage/keys/ca.pem" >"$stage/ca-bundle.crt"
mount --bind "$stage/hosts" /etc/hosts || fail_now "cannot bind-mount the hosts file"
mount --bind "$stage/ca-bundle.crt" /etc/ssl/certs/ca-certificates.crt ||
  fail_now "cannot bind-mount the CA bundle"
: >"$stage/update-host.rules"
"$host_build/tools/update_host/update-host" --root "$stage/www" --cert "$stage/keys/server.pem" \
  --key "$stage/keys/server.key" --script "$stage/update-host.rules" \
  </dev/null >"$stage/update-host.log" 2>&1 &
update_host_pid=$!
wait_for "the update host listening" 100 grep -q '^listening' "$stage/update-host.log"
observe "update host: $(head -1 "$stage/update-host.log")"

step "A fresh wine prefix with the tar.exe fixture in C:\\windows\\system32"
"$wine" wineboot -i >/dev/null 2>&1
"$wineserver" -k >/dev/null 2>&1
"$wineserver" -w >/dev/null 2>&1
# One wine session for the whole stage: the service control manager belongs to it.
"$wineserver" -p
drive_c="$WINEPREFIX/drive_c"
cp "$win_build/tests/wine/tar.exe" "$drive_c/windows/system32/tar.exe"
check_tar_fixture

step "The installation: vovudidavuda.exe beside Korvadesk.exe 2.10.0, a signed korvaCF.exe"
install="$drive_c/Program Files/Korva"
install_win='C:\Program Files\Korva'
mkdir -p "$install/resources/app.asar.unpacked/Release" "$drive_c/vovu-tools"
cp "$win_build/vovudidavuda.exe" "$install/"
cp "$win_build/tools/korvadesk_standin/Korvadesk.exe" "$install/"
sign "$win_build/tools/korvacf_standin/korvaCF.exe" "$install/korvaCF.exe" "korvaCF 2.10.0"
sign "$win_build/tools/installed_version/installed-version.exe" \
  "$install/resources/app.asar.unpacked/Release/addon.node" "addon 2.10.0"
echo "application archive 2.10.0" >"$install/resources/app.asar"
: >"$install/korvaCF.trace"
cp "$win_build/tools/pipe_send/pipe-send.exe" "$win_build/tools/installed_version/installed-version.exe" \
  "$drive_c/vovu-tools/"
# The application's watcher of its job, outside the installation folder.
cp "$win_build/tools/korvadesk_standin/Korvadesk.exe" "$drive_c/vovu-tools/watch-job.exe"
show_installed

step "An installation folder open to everybody (0777) is refused, and nothing is registered"
# Wine makes a descriptor up from the mode: 0777 grants Everyone full access.
open_install="$drive_c/Open Korva"
mkdir -p "$open_install"
chmod 0777 "$open_install"
cp "$win_build/vovudidavuda.exe" "$open_install/"
expect_code "vovudidavuda.exe install from a 0777 folder" 1 "$wine" "$open_install/vovudidavuda.exe" \
  install
expect_equal "no service registered" "" "$(service_state)"
rm -rf "$open_install"

step "The service installed and started through the service control manager"
expect_code "vovudidavuda.exe install" 0 "$wine" "$install/vovudidavuda.exe" install
expect_code "vovudidavuda.exe start" 0 "$wine" "$install/vovudidavuda.exe" start
wait_for "the service answering on its pipe" 100 pipe_answers
find_protected_dir
observe "C:\\ProgramData\\VovudIdavUda\\hotupdate\\installed-version.json, reset by install: $(one_line \
  "$(cat "$drive_c/ProgramData/VovudIdavUda/hotupdate/installed-version.json" 2>/dev/null)")"

# shellcheck source=tests/wine/stage_roads.sh
source "$here/stage_roads.sh"
for road in ${VOVU_WINE_STAGE_ROADS:-road_confirmed road_rolled_back refusals stopped_while_trickling}; do
  "$road"
done

# The service's lifecycle under the control manager is the wine smoke's
# (tests/win32/service_smoke.sh); the stage's prefix goes with its wine session.
finish
