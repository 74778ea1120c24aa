#!/usr/bin/env bash
# The demo: an emulated Windows machine with the desktop application installed, the service
# installed beside it and started, and a user talking to it over its pipe.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh >/dev/null
cmake --preset host >/dev/null
cmake --build --preset host -j "$(nproc)" >/dev/null

build=build/host
tools=$build/tools
top=$(mktemp -d /tmp/vovu-demo-XXXXXX)
chmod 755 "$top"
export VOVU_MACHINE_ROOT="$top/machine"
say() { printf '\n== %s\n' "$*"; }
as_user() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }

say "A fresh machine root: $VOVU_MACHINE_ROOT"
"$tools/machine_setup/machine-setup" >/dev/null
ls "$VOVU_MACHINE_ROOT/drive_c"

install_dir="$VOVU_MACHINE_ROOT/drive_c/Program Files/Korva"
say "Installing into C:\\Program Files\\Korva: Korvadesk.exe (product version 2.10.0.7) and the service"
mkdir -p "$install_dir"
cp "$tools/korvadesk_standin/korvadesk-standin" "$install_dir/Korvadesk.exe"
"$tools/stamp_version/stamp-version" "$install_dir/Korvadesk.exe" 2.10.0.7
cp "$build/vovudidavuda" "$install_dir/vovudidavuda.exe"
cp "$tools/installed_version/installed-version" "$tools/pipe_send/pipe-send" "$install_dir/"
service="$install_dir/vovudidavuda.exe"

say "vovudidavuda.exe install (exit code $("$service" install; echo $?)): the service record"
cat "$VOVU_MACHINE_ROOT/scm/services/"*/config
state="$VOVU_MACHINE_ROOT/drive_c/ProgramData/VovudIdavUda"
say "The protected directories (LocalSystem = root, Administrators = group root) and installed-version.json"
stat -c '%A %U:%G %n' "$state" "$state/hotupdate"
cat "$state/hotupdate/installed-version.json"

say "vovudidavuda.exe start (exit code $("$service" start; echo $?))"
for _ in $(seq 1 100); do
  "$install_dir/pipe-send" ping >/dev/null 2>&1 && break
  sleep 0.1
done
grep -h state= "$VOVU_MACHINE_ROOT/scm/services/"*/status

say "A user (uid 65534) asks the running service over its pipe"
printf 'frobnicate      -> '; as_user "$install_dir/pipe-send" frobnicate
printf 'cleanup         -> '; as_user "$install_dir/pipe-send" cleanup

say "A confirmed hot update to 2.11.0 moves the current version; 2.9.0 is refused"
"$install_dir/installed-version" record 2.11.0
"$install_dir/installed-version" record 2.9.0 2>&1 || true
say "A new Korvadesk.exe (2.12.1.0) makes the record stale: the next load resets it"
"$tools/stamp_version/stamp-version" "$install_dir/Korvadesk.exe" 2.12.1.0
"$install_dir/installed-version" load

say "vovudidavuda.exe stop (exit code $("$service" stop; echo $?)), uninstall (exit code $("$service" uninstall; echo $?))"
ls "$VOVU_MACHINE_ROOT/scm/services/" | wc -l | xargs echo "service records left:"
