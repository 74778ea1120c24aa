#!/usr/bin/env bash
# The demo: an emulated Windows machine with the desktop application installed, and the
# service's protected installed-version record made from that application's version.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh >/dev/null
cmake --preset host >/dev/null
cmake --build --preset host -j "$(nproc)" >/dev/null

tools=build/host/tools
export VOVU_MACHINE_ROOT="${VOVU_MACHINE_ROOT:-$(mktemp -d /tmp/vovu-demo-XXXXXX)/machine}"
say() { printf '\n== %s\n' "$*"; }

say "A fresh machine root: $VOVU_MACHINE_ROOT"
"$tools/machine_setup/machine-setup" >/dev/null
ls "$VOVU_MACHINE_ROOT/drive_c"

install_dir="$VOVU_MACHINE_ROOT/drive_c/Program Files/Korva"
say "Installing into C:\\Program Files\\Korva: the stand-in Korvadesk.exe, product version 2.10.0.7"
mkdir -p "$install_dir"
cp "$tools/korvadesk_standin/korvadesk-standin" "$install_dir/Korvadesk.exe"
"$tools/stamp_version/stamp-version" "$install_dir/Korvadesk.exe" 2.10.0.7
cp "$tools/installed_version/installed-version" "$install_dir/"
ls -l "$install_dir"

say "Reset of the installed-version record (what service installation does)"
"$install_dir/installed-version" reset
state="$VOVU_MACHINE_ROOT/drive_c/ProgramData/VovudIdavUda"
say "The protected directories: only root (LocalSystem) and group root (Administrators)"
stat -c '%A %U:%G %n' "$state" "$state/hotupdate"
say "installed-version.json"
cat "$state/hotupdate/installed-version.json"

say "A confirmed hot update to 2.11.0 moves the current version; 2.9.0 is refused"
"$install_dir/installed-version" record 2.11.0
"$install_dir/installed-version" record 2.9.0 2>&1 || true
cat "$state/hotupdate/installed-version.json"

say "A new Korvadesk.exe (2.12.1.0) makes the record stale: the next load resets it"
"$tools/stamp_version/stamp-version" "$install_dir/Korvadesk.exe" 2.12.1.0
"$install_dir/installed-version" load
cat "$state/hotupdate/installed-version.json"
