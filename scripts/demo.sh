#!/usr/bin/env bash
# The demo: an emulated Windows machine with the desktop application installed, the service
# installed beside it and started, an ordinary user talking to it over its pipe, and a whole
# hot update from 2.10.0 to 2.11.0.
#
#   scripts/demo.sh              the hot update is confirmed by the relaunched application
#   scripts/demo.sh --rollback   the relaunched application never confirms: after the real
#                                90 s the service puts the old version back
#
# Runs as root: the emulated service control manager, LocalSystem and the protected
# directories are root's, and the user is uid 65534 in a session of its own.
#
# Each step is a function; main (at the bottom) runs them in order, so a new step (a whole
# hot update, say) is one more function and one more line there. Whatever happens (success,
# a failed step, Ctrl-C) cleanup takes down what the demo started: the service is stopped and
# uninstalled, every process whose executable lies in the demo's machine root is ended, and
# the machine root is removed.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/host
tools=$build/tools
top=""          # the demo's own folder in /tmp, with the machine root inside
install_dir=""  # C:\Program Files\Korva in the machine root
service=""      # vovudidavuda.exe there
viewer_pid=""   # the debugger-output viewer
update_host_pid=""  # the update host, while the hot update runs
helper_trace=""     # korvaCF.exe's trace, in the user's profile

demo_rollback=no
[ "${1:-}" = --rollback ] && demo_rollback=yes

user_uid=65534
user_sid="S-1-5-21-1000-1000-1000-$user_uid"
sync_root="KorvaStorageProvider!${user_sid}!KorvaAccount1"
sync_key="HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\SyncRootManager\\$sync_root"
namespace='{0f3a2c11-7b5e-4d90-a1c2-5e8d9b7f6a01}'
helper_class='HKLM\SOFTWARE\Classes\CLSID\{7D21C4A9-5E0B-4F83-9A16-2B8E41C7D319}\LocalServer32'

say() { printf '\n== %s\n' "$*"; }
as_user() { setpriv --reuid=$user_uid --regid=$user_uid --clear-groups "$@"; }
reg() { "$tools/reg_tool/vovu-reg" "$@"; }
vovu_sc() { "$tools/service_status/vovu-sc" "$@"; }

# Process ids of every process whose executable lies in the demo's machine root.
# Waits (at most 60 s) until the events file has a line with `$2` and no copy of the
# installed Korvadesk.exe runs any more: what the relaunched application does is shown only
# once it has done it.
wait_for_application() {
  local events=$1 ending=$2 app_exe
  app_exe=$(readlink -f "$install_dir/Korvadesk.exe")
  for _ in $(seq 1 600); do
    if grep -q -- "$ending" "$events" 2>/dev/null && ! application_running "$app_exe"; then
      return 0
    fi
    sleep 0.1
  done
  echo "demo: the relaunched application did not note \"$ending\" and exit within 60 s" >&2
  return 1
}
# Waits (at most 30 s) until FILE has a line containing TEXT.
wait_for_line() {
  local file=$1 text=$2 what=$3
  for _ in $(seq 1 300); do
    grep -qF -- "$text" "$file" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "demo: $what did not write \"$text\" within 30 s" >&2
  return 1
}
application_running() {
  local entry
  for entry in /proc/[0-9]*; do
    [ "$(readlink "$entry/exe" 2>/dev/null)" = "$1" ] && return 0
  done
  return 1
}

demo_processes() {
  local entry exe
  [ -n "$top" ] || return 0
  for entry in /proc/[0-9]*; do
    exe=$(readlink "$entry/exe" 2>/dev/null) || continue
    case $exe in "$top"/*) echo "${entry#/proc/}" ;; esac
  done
}

cleanup() {
  local status=$?
  set +e
  trap - INT TERM HUP
  if [ -n "$service" ] && [ -x "$service" ]; then
    "$service" uninstall # stops the service first, then removes its record
  fi
  local pids
  pids=$(demo_processes)
  if [ -n "$pids" ]; then
    kill -TERM $pids 2>/dev/null
    for _ in $(seq 1 50); do
      [ -z "$(demo_processes)" ] && break
      sleep 0.1
    done
    pids=$(demo_processes)
    [ -n "$pids" ] && kill -KILL $pids 2>/dev/null
  fi
  [ -n "$update_host_pid" ] && kill -TERM "$update_host_pid" 2>/dev/null && wait "$update_host_pid" 2>/dev/null
  [ -n "$viewer_pid" ] && kill -TERM "$viewer_pid" 2>/dev/null && wait "$viewer_pid" 2>/dev/null
  [ -n "$top" ] && rm -rf "$top"
  [ $status -eq 0 ] || echo "demo: stopped (exit code $status); its service, processes and files are gone" >&2
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

# Milliseconds since 1601-01-01 UTC (the times the service stores) as a readable UTC time.
ms_since_1601() { date -u -d "@$(($1 / 1000 - 11644473600))" '+%Y-%m-%d %H:%M:%S UTC'; }

# A JSON file, each stored time followed by its reading.
show_json() {
  local line ms
  while IFS= read -r line; do
    if [[ $line =~ \"[A-Za-z]*At\":\ ([0-9]{12,}) ]]; then
      ms=${BASH_REMATCH[1]}
      printf '%s    <- %s\n' "$line" "$(ms_since_1601 "$ms")"
    else
      printf '%s\n' "$line"
    fi
  done <"$1"
}

build_project() {
  say "Building the host target (scripts/setup.sh first installs what is missing)"
  bash scripts/setup.sh
  cmake --preset host >/dev/null
  cmake --build --preset host -j "$(nproc)"
}

make_machine() {
  top=$(mktemp -d /tmp/vovu-demo-XXXXXX)
  chmod 755 "$top"
  export VOVU_MACHINE_ROOT="$top/machine"
  say "A fresh machine root: $VOVU_MACHINE_ROOT"
  "$tools/machine_setup/machine-setup" >/dev/null
  ls "$VOVU_MACHINE_ROOT/drive_c"
  # Every program's debugger output, the service's and the user's alike, is collected here.
  "$tools/debug_view/debug-view" >"$top/debug.txt" 2>"$top/debug-view.err" &
  viewer_pid=$!
  # A line written before the viewer listens is lost: wait until it does.
  wait_for_line "$top/debug-view.err" "debug-view: listening" "the debugger-output viewer"
}

install_application() {
  install_dir="$VOVU_MACHINE_ROOT/drive_c/Program Files/Korva"
  service="$install_dir/vovudidavuda.exe"
  say "Installing into C:\\Program Files\\Korva: Korvadesk.exe (product version 2.10.0.7), korvaCF.exe and the service"
  mkdir -p "$install_dir"
  cp "$tools/korvadesk_standin/korvadesk-standin" "$install_dir/Korvadesk.exe"
  "$tools/stamp_version/stamp-version" "$install_dir/Korvadesk.exe" 2.10.0.7
  cp "$build/vovudidavuda" "$service"
  cp "$tools/korvacf_standin/korvacf-standin" "$install_dir/korvaCF.exe"
  cp "$tools/installed_version/installed-version" "$tools/pipe_send/pipe-send" "$install_dir/"
  # The user's profile, and in it the helper's trace (korvaCF.exe appends a line per event):
  # nothing in the installation folder may be the user's to write.
  local profile="$VOVU_MACHINE_ROOT/drive_c/Users/nobody"
  mkdir -p "$profile" && chown $user_uid:$user_uid "$profile"
  helper_trace="$profile/korvaCF.trace"
  : >"$helper_trace" && chown $user_uid:$user_uid "$helper_trace"
}

install_service() {
  say "vovudidavuda.exe install (exit code $("$service" install; echo $?)): the service's configuration"
  vovu_sc qc VovudIdavUda
  echo "-- the same record where the service control manager keeps it:"
  reg query 'HKLM\SYSTEM\CurrentControlSet\Services\VovudIdavUda'
  local state="$VOVU_MACHINE_ROOT/drive_c/ProgramData/VovudIdavUda"
  say "The protected directories (LocalSystem = root, Administrators = group root) and installed-version.json"
  stat -c '%A %U:%G %n' "$state" "$state/hotupdate"
  show_json "$state/hotupdate/installed-version.json"
}

# Ready means answering a real request: root asks to remove the handler values of its own
# sync root, which it has none of, and the service answers "OK".
wait_until_ready() {
  for _ in $(seq 1 100); do
    "$install_dir/pipe-send" --check remove-cloudfiles-handlers \
      "KorvaStorageProvider!S-1-5-18!KorvaAccount1" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "demo: the service did not answer within 10 s" >&2
  return 1
}

start_service() {
  say "vovudidavuda.exe start (exit code $("$service" start; echo $?)), and the service's state"
  wait_until_ready
  vovu_sc query VovudIdavUda
}

prepare_sync_root() {
  say "The application's sync root exists (its key, with NamespaceCLSID; the class in the user's hive)"
  reg add "$sync_key" /v NamespaceCLSID /d "$namespace"
  as_user "$tools/reg_tool/vovu-reg" add "HKU\\${user_sid}_Classes\\Software\\Classes\\CLSID\\$namespace" /ve /d "Korva Drive"
  reg query "$sync_key"
}

ask() {
  printf '%-58s -> ' "$*"
  as_user setsid -w "$install_dir/pipe-send" "$@"
}

user_requests() {
  say "A user (uid $user_uid, SID $user_sid), in a session of its own, asks the running service over its pipe"
  ask frobnicate
  ask ensure-cloudfiles-handlers "$sync_root"
  ask ensure-cloudfiles-handlers "KorvaStorageProvider!S-1-5-18!KorvaAccount1"
  ask cleanup
  ask start-korvacf
}

show_registration() {
  say "The handler values, the helper's COM class (64-bit view, then 32-bit view), the mirrored namespace class"
  reg query "$sync_key"
  echo "-- 64-bit view:"
  reg query "$helper_class"
  echo "-- 32-bit view (/reg:32, stored under SOFTWARE\\Classes\\WOW6432Node):"
  reg query "$helper_class" /reg:32
  reg query "HKLM\\SOFTWARE\\Classes\\CLSID\\$namespace"
}

show_helper() {
  say "korvaCF.exe was started as the user, in the user's session (its trace, and ps)"
  cat "$helper_trace"
  local pids helper
  pids=$(demo_processes | tr '\n' ',')
  ps -o pid,user,sid,args -p "${pids%,}" || true
  helper=$(sed -n 's/^start .* pid=\([0-9]*\) .*/\1/p' "$helper_trace" | tail -n 1)
  echo "(session= is the Windows session: the user's, where its request came from. Linux cannot"
  echo " put a process into another's session, so ps shows the one the helper leads, and it carries"
  echo " the session marker $(tr '\0' '\n' <"/proc/$helper/environ" | grep '^VOVU_SESSION=') that the emulation reads first)"
  # That session ends here: its helper goes with it, as when the user logs off.
  kill -TERM "$helper" 2>/dev/null || true
}

installed_version_record() {
  say "A confirmed hot update to 2.11.0 moves the current version; 2.9.0 is refused"
  "$install_dir/installed-version" record 2.11.0
  "$install_dir/installed-version" record 2.9.0 2>&1 || true
  say "A new Korvadesk.exe (2.12.1.0) makes the record stale: the next load resets it"
  "$tools/stamp_version/stamp-version" "$install_dir/Korvadesk.exe" 2.12.1.0
  "$install_dir/installed-version" load
  show_json "$VOVU_MACHINE_ROOT/drive_c/ProgramData/VovudIdavUda/hotupdate/installed-version.json"
}

user_command_line() {
  say "The user runs the service's command line with an unknown verb: exit code $(as_user setsid -w "$service" frobnicate; echo $?), and a line for the debugger"
  # The viewer writes what it receives a moment later: the line is shown once it is there.
  wait_for_line "$top/debug.txt" "unknown command: frobnicate" "the command line's debugger line"
}

stop_service() {
  say "vovudidavuda.exe stop (exit code $("$service" stop; echo $?)), uninstall (exit code $("$service" uninstall; echo $?))"
  vovu_sc query VovudIdavUda || true
  say "What the programs wrote to the debugger output (debug-view)"
  cat "$top/debug.txt"
}

# ---- A whole hot update -------------------------------------------------------------------
# The update host serving a package made by make-package; the application (uid 65534 in a
# session of its own) asking for it and following each status; the commit, the application
# relaunched with the new files, its confirmation, the installed version moved and the ".bak"
# files gone. With --rollback the relaunched application never confirms and the service,
# after its real 90 s, puts the old version back and starts the application again.
show_hot_update() {
  local keys="$top/keys" www="$top/www" release="$top/release"
  local host=updates.korvasync.example cdn=cdn.korvasync.example
  local machine="$VOVU_MACHINE_ROOT"
  mkdir -p "$keys" "$www/client/new" "$www/pkg" "$release"

  say "The update host $host on 127.0.0.1:443, with a certificate from a CA the machine trusts"
  (
    cd "$keys"
    req() {
      openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
        -subj "/CN=$1" -keyout "$1.key" -out "$1.pem" "${@:2}"
    }
    req ca -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign
    req server -CA ca.pem -CAkey ca.key -addext basicConstraints=CA:FALSE \
      -addext extendedKeyUsage=serverAuth -addext "subjectAltName=DNS:$host,DNS:$cdn"
    req publisher -CA ca.pem -CAkey ca.key -addext basicConstraints=CA:FALSE \
      -addext keyUsage=critical,digitalSignature -addext extendedKeyUsage=codeSigning \
      -set_serial 2
  ) >/dev/null 2>&1
  mkdir -p "$machine/certs/root" "$machine/drive_c/Windows/System32/drivers/etc"
  cp "$keys/ca.pem" "$machine/certs/root/demo-ca.pem"
  echo "127.0.0.1 $host $cdn" >"$machine/drive_c/Windows/System32/drivers/etc/hosts"
  "$tools/update_host/update-host" --root "$www" --cert "$keys/server.pem" \
    --key "$keys/server.key" >"$top/update-host.log" 2>&1 &
  update_host_pid=$!
  for _ in $(seq 1 100); do
    grep -q '^listening' "$top/update-host.log" && break
    sleep 0.1
  done
  head -1 "$top/update-host.log"

  say "The installed korvaCF.exe carries the publisher's signature; app.asar and addon.node of 2.10.0"
  "$tools/sign_elf/sign-elf" "$install_dir/korvaCF.exe" "$keys/publisher.pem" "$keys/publisher.key"
  mkdir -p "$install_dir/resources/app.asar.unpacked/Release"
  echo "application archive 2.10.0" >"$install_dir/resources/app.asar"
  echo "native addon 2.10.0" >"$install_dir/resources/app.asar.unpacked/Release/addon.node"
  installed_files() {
    local f
    for f in korvaCF.exe resources/app.asar.unpacked/Release/addon.node resources/app.asar; do
      printf '  %-48s %s\n' "$f" "$(sha256sum "$install_dir/$f" | cut -c1-16)"
    done
    local backups
    backups=$(cd "$install_dir" && find . -name '*.bak' | sed 's|^\./|  backup: |')
    echo "${backups:-  (no .bak files)}"
  }
  installed_files

  say "The release 2.11.0: signed korvaCF.exe and addon.node, a 3 MB app.asar; make-package"
  cp "$tools/korvacf_standin/korvacf-standin" "$release/korvaCF.exe"
  cp "$tools/installed_version/installed-version" "$release/addon.node"
  for f in korvaCF.exe addon.node; do
    "$tools/sign_elf/sign-elf" "$release/$f" "$keys/publisher.pem" "$keys/publisher.key"
  done
  head -c 3000000 < <(yes "application archive 2.11.0") >"$release/app.asar"
  "$tools/make_package/make-package" --version 2.11.0 --url "https://$cdn/pkg/2.11.0.zip" \
    --out "$release/out" "$release/korvaCF.exe" "$release/addon.node" "$release/app.asar" \
    >"$www/client/new/clientHotUpdateInfo.json"
  cp "$release/out/package.zip" "$www/pkg/2.11.0.zip"
  echo "https://$host/client/new/clientHotUpdateInfo.json:"
  cat "$www/client/new/clientHotUpdateInfo.json"
  local sha size
  sha=$(sha256sum "$www/pkg/2.11.0.zip" | cut -c1-64)
  size=$(stat -c %s "$www/pkg/2.11.0.zip")

  # The user's profile, and a logon session that stays while the application comes and goes.
  mkdir -p "$machine/drive_c/Users/nobody"
  chown 65534:65534 "$machine/drive_c/Users/nobody"
  local folder="$machine/drive_c/Users/nobody/.zodezevadororuza/updates/hotupdate"
  as_user mkdir -p "$folder"
  local app="$install_dir/Korvadesk.exe"
  cp "$tools/korvadesk_standin/korvadesk-standin" "$top/watch-job"
  say "The application asks for 2.11.0 and follows each status, as its user in its own session"
  as_user setsid -w bash -c '
    set -u -o pipefail
    app=$1 hold=$6
    "$app" --hot-update-request 2.11.0 "$2" "$3" "$4" 2.10.0 | tee /tmp/vovu-demo-request.$$
    staged=$?
    job=$(sed -n "s/^job file: //p" /tmp/vovu-demo-request.$$)
    rm -f /tmp/vovu-demo-request.$$
    [ $staged -eq 0 ] || exit 1
    echo "-- its helper korvaCF.exe runs in the session (started by the service on request):"
    "$5" start-korvacf
    if [ -n "$hold" ]; then
      echo "-- this time the new version will not come up: it never confirms"
      : >"$hold"
    fi
    echo "-- the application sends hot-update-commit and exits; the service takes over:"
    "$7" --hot-update-follow "$job" &  # a watcher outside the installation directory
    follower=$!
    "$app" --hot-update-commit "$job" || kill $follower
    wait $follower || true  # it ends "rolledback" with --rollback
  ' demo-user "$app" "https://$cdn/pkg/2.11.0.zip" "$sha" "$size" "$install_dir/pipe-send" \
    "$([ "$demo_rollback" = yes ] && echo "$folder/hold-confirmation")" "$top/watch-job"

  # The follower ends when the service records the outcome; the relaunched application
  # writes its own note a moment later. Wait for that note, and for the program to exit.
  local ending="confirm="
  [ "$demo_rollback" = yes ] && ending="rolledback"
  wait_for_application "$folder/standin-events.txt" "$ending"
  say "What the relaunched application noted (started by the service as the user)"
  cat "$folder/standin-events.txt"
  say "The installed files now (first 16 hex digits of each SHA-256), and installed-version.json"
  installed_files
  cat "$machine/drive_c/ProgramData/VovudIdavUda/hotupdate/installed-version.json"
  kill "$update_host_pid" && wait "$update_host_pid" 2>/dev/null || true
  update_host_pid=""
}

main() {
  make_machine
  install_application
  install_service
  start_service
  prepare_sync_root
  user_requests
  show_registration
  show_helper
  show_hot_update
  installed_version_record
  user_command_line
  stop_service
}

# The build needs the network (packages); the rest runs in a private network namespace of the
# demo's own, where the update host answers on 127.0.0.1:443 and the service runs too.
if [ "${VOVU_DEMO_NETWORK:-}" != private ]; then
  build_project
  exec env VOVU_DEMO_NETWORK=private unshare --net -- "$0" "$@"
fi
ip link set lo up
main "$@"
