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
cp "$tools/korvacf_standin/korvacf-standin" "$install_dir/korvaCF.exe"
cp "$tools/installed_version/installed-version" "$tools/pipe_send/pipe-send" "$install_dir/"
: > "$install_dir/korvaCF.trace" && chmod 666 "$install_dir/korvaCF.trace"
reg="$tools/reg_tool/vovu-reg"
service="$install_dir/vovudidavuda.exe"

say "vovudidavuda.exe install (exit code $("$service" install; echo $?)): the service's key"
"$reg" query 'HKLM\SYSTEM\CurrentControlSet\Services\VovudIdavUda'
state="$VOVU_MACHINE_ROOT/drive_c/ProgramData/VovudIdavUda"
say "The protected directories (LocalSystem = root, Administrators = group root) and installed-version.json"
stat -c '%A %U:%G %n' "$state" "$state/hotupdate"
cat "$state/hotupdate/installed-version.json"

say "vovudidavuda.exe start (exit code $("$service" start; echo $?))"
for _ in $(seq 1 100); do
  "$install_dir/pipe-send" ping >/dev/null 2>&1 && break
  sleep 0.1
done

user_sid='S-1-5-21-1000-1000-1000-65534'
sync_root="KorvaStorageProvider!${user_sid}!KorvaAccount1"
sync_key="HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\SyncRootManager\\$sync_root"
namespace='{0f3a2c11-7b5e-4d90-a1c2-5e8d9b7f6a01}'
say "The application's sync root exists (its key, with NamespaceCLSID; the class in the user's hive)"
"$reg" add "$sync_key" /v NamespaceCLSID /d "$namespace"
as_user "$reg" add "HKU\\${user_sid}_Classes\\Software\\Classes\\CLSID\\$namespace" /v "" /d "Korva Drive"
"$reg" query "$sync_key"

say "A user (uid 65534), in a session of its own, asks the running service over its pipe"
ask() { printf '%-58s -> ' "$*"; as_user setsid -w "$install_dir/pipe-send" "$@"; }
ask frobnicate
ask ensure-cloudfiles-handlers "$sync_root"
ask ensure-cloudfiles-handlers "KorvaStorageProvider!S-1-5-18!KorvaAccount1"
ask cleanup
ask start-korvacf
say "The handler values, the helper's COM class in both views, the mirrored namespace class"
"$reg" query "$sync_key"
"$reg" query 'HKLM\SOFTWARE\Classes\CLSID\{7D21C4A9-5E0B-4F83-9A16-2B8E41C7D319}\LocalServer32'
"$reg" query 'HKLM\SOFTWARE\Classes\CLSID\{7D21C4A9-5E0B-4F83-9A16-2B8E41C7D319}\LocalServer32' /reg:32
"$reg" query "HKLM\\SOFTWARE\\Classes\\CLSID\\$namespace"
say "korvaCF.exe was started as the user, in the user's session (its trace, and ps)"
cat "$install_dir/korvaCF.trace"
ps -o pid,user,sid,args -p "$(pgrep -d, -f "$install_dir/korvaCF.exe")" || true
pkill -TERM -f "$install_dir/korvaCF.exe" || true

say "A confirmed hot update to 2.11.0 moves the current version; 2.9.0 is refused"
"$install_dir/installed-version" record 2.11.0
"$install_dir/installed-version" record 2.9.0 2>&1 || true
say "A new Korvadesk.exe (2.12.1.0) makes the record stale: the next load resets it"
"$tools/stamp_version/stamp-version" "$install_dir/Korvadesk.exe" 2.12.1.0
"$install_dir/installed-version" load

say "vovudidavuda.exe stop (exit code $("$service" stop; echo $?)), uninstall (exit code $("$service" uninstall; echo $?))"
echo "services left under HKLM\\SYSTEM\\CurrentControlSet\\Services:"
"$reg" query 'HKLM\SYSTEM\CurrentControlSet\Services' /s
