#!/usr/bin/env bash
# The developer tools behave like tools: every one answers --help with its usage and exit
# code 0 and a wrong call with exit code 2; machine-setup refuses a switch instead of making
# a directory of that name; vovu-reg stores exactly the types it is given and names errors by
# their text; vovu-sc shows an installed service's configuration and state by name;
# pipe-send --check tells "OK" from "ERROR ..." by exit code; debug-view shows the lines of
# another user's failing command line. Prints the table of help and wrong calls.
#
#   tools_test.sh TOOL_DIR SERVICE_EXE
#
# TOOL_DIR is the build's tools folder. The parts that install a service or act as another
# user need root; without it they are skipped (exit code 77) after the rest has passed.
set -uo pipefail

tools=$(cd "$1" && pwd)
service_exe=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
failures=0
top=$(mktemp -d /tmp/vovu-tools-test-XXXXXX)
chmod 755 "$top"
export VOVU_MACHINE_ROOT="$top/machine"
install_dir="$VOVU_MACHINE_ROOT/drive_c/Program Files/Korva"
viewer_pid=""

cleanup() {
  if [ -x "$install_dir/vovudidavuda.exe" ]; then
    "$install_dir/vovudidavuda.exe" uninstall || true
  fi
  [ -n "$viewer_pid" ] && kill "$viewer_pid" 2>/dev/null
  rm -rf "$top"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# expect CODE DESCRIPTION COMMAND...: runs the command, checks its exit code, keeps its output.
expect() {
  local want=$1 what=$2
  shift 2
  "$@" >"$top/out" 2>"$top/err"
  local got=$?
  [ "$got" -eq "$want" ] || fail "$what: exit code $got, expected $want ($(head -c 300 "$top/err"))"
}

path_of() {
  case $1 in
    machine-setup) echo "$tools/machine_setup/machine-setup" ;;
    vovu-reg) echo "$tools/reg_tool/vovu-reg" ;;
    vovu-sc) echo "$tools/service_status/vovu-sc" ;;
    debug-view) echo "$tools/debug_view/debug-view" ;;
    pipe-send) echo "$tools/pipe_send/pipe-send" ;;
    installed-version) echo "$tools/installed_version/installed-version" ;;
    stamp-version) echo "$tools/stamp_version/stamp-version" ;;
    sign-elf) echo "$tools/sign_elf/sign-elf" ;;
  esac
}

# 1. --help and one wrong call for every tool, as a table.
echo "| command | exit code | first line |"
echo "|---|---|---|"
row() {
  local name=$1 want=$2
  shift 2
  expect "$want" "$name $*" "$(path_of "$name")" "$@"
  local first
  first=$( (cat "$top/out" "$top/err") | head -n 1)
  [ -n "$first" ] || fail "$name $*: printed nothing"
  printf '| `%s` | %s | %s |\n' "$name $*" "$want" "$first"
}
for name in machine-setup vovu-reg vovu-sc debug-view pipe-send installed-version stamp-version sign-elf; do
  row "$name" 0 --help
  grep -q '^usage: ' "$top/out" || fail "$name --help: no usage on standard output"
done
row machine-setup 2 --root
row vovu-reg 2 query 'HKLM\SOFTWARE' /x
row vovu-sc 2 status
row debug-view 2 --count many
row pipe-send 2 --check
row installed-version 2 upgrade
row stamp-version 2 file 1.2.x
row sign-elf 2 file cert.pem

# 2. machine-setup: a switch typed by habit makes no directory; a real root is set up.
(cd "$top" && expect 2 "machine-setup --bogus" "$(path_of machine-setup)" --bogus)
[ -e "$top/--bogus" ] && fail "machine-setup made a directory named --bogus"
if [ "$(id -u)" -eq 0 ]; then
  expect 0 "machine-setup" "$(path_of machine-setup)"
else
  # The machine's identity lives in HKLM, which only root may change.
  expect 1 "machine-setup without root" "$(path_of machine-setup)"
  grep -q "cannot set MachineGuid: error=5 Access is denied." "$top/err" ||
    fail "machine-setup without root does not say why: $(cat "$top/err")"
fi
[ -d "$VOVU_MACHINE_ROOT/drive_c/Windows/System32" ] || fail "machine-setup laid out no drive C:"

# 3. vovu-reg: what reg accepts, the types stored exactly, refusals that store nothing.
reg=$(path_of vovu-reg)
# HKLM is root's to change; another user works in its own hive.
if [ "$(id -u)" -eq 0 ]; then
  key='HKEY_LOCAL_MACHINE\SOFTWARE\ToolsTest'
else
  key="HKEY_USERS\\S-1-5-21-1000-1000-1000-$(id -u)\\Software\\ToolsTest"
fi
expect 0 "add REG_DWORD" "$reg" add "$key" /V Count /T reg_dword /D 0x2A
expect 0 "add REG_MULTI_SZ" "$reg" add "$(tr 'A-Z' 'a-z' <<<"${key%%\\*}")\\${key#*\\}" /v List /t REG_MULTI_SZ /d 'a\0b'
expect 0 "add REG_BINARY" "$reg" add "$key" /v Blob /t REG_BINARY /d 00ff10
expect 0 "add default" "$reg" add "$key" /ve /d Text
expect 2 "add REG_FOO" "$reg" add "$key" /v Odd /t REG_FOO /d 1
expect 2 "add DWORD too large" "$reg" add "$key" /v Odd /t REG_DWORD /d 4294967296
expect 2 "add unknown switch" "$reg" add "$key" /v Odd /z
expect 0 "query" "$reg" query "$key"
for line in "Count    REG_DWORD    0x2a" 'List    REG_MULTI_SZ    a\0b' "Blob    REG_BINARY    00FF10" \
  "(Default)    REG_SZ    Text"; do
  grep -qF "$line" "$top/out" || fail "query does not show: $line"
done
grep -q Odd "$top/out" && fail "a refused add stored a value"
expect 0 "query /v" "$reg" query "$key" /v Count
[ "$(grep -c REG_ "$top/out")" -eq 1 ] || fail "query /v showed more than the one value"
expect 0 "delete /v" "$reg" delete "$key" /v Count /f
expect 1 "query deleted value" "$reg" query "$key" /v Count
grep -q "error=2 The system cannot find the file specified." "$top/err" ||
  fail "a missing value is not named by its error text: $(cat "$top/err")"
expect 0 "delete key" "$reg" delete "$key" /f
expect 1 "query deleted key" "$reg" query "$key"
note=$(unset VOVU_MACHINE_ROOT && "$reg" query 'HKLM\SOFTWARE' 2>&1)
grep -q "machine root .* (VOVU_MACHINE_ROOT is not set)" <<<"$note" ||
  fail "vovu-reg without VOVU_MACHINE_ROOT does not say which machine root it uses: $note"

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: installing a service and acting as another user need root"
  [ "$failures" -eq 0 ] && exit 77
  exit 1
fi

# 4. vovu-sc and pipe-send on the real service, installed into the machine root.
sc=$(path_of vovu-sc)
send=$(path_of pipe-send)
mkdir -p "$install_dir"
cp "$tools/korvadesk_standin/korvadesk-standin" "$install_dir/Korvadesk.exe"
"$(path_of stamp-version)" "$install_dir/Korvadesk.exe" 2.10.0.7 || fail "stamp-version"
cp "$service_exe" "$install_dir/vovudidavuda.exe"
expect 0 "install" "$install_dir/vovudidavuda.exe" install
expect 0 "vovu-sc qc" "$sc" qc
for field in "SERVICE_WIN32_OWN_PROCESS" "2  AUTO_START" "1  NORMAL" \
  '"C:\Program Files\Korva\vovudidavuda.exe"' "Korva Sync Service" "RESTART after 30000 ms"; do
  grep -qF "$field" "$top/out" || fail "vovu-sc qc does not show $field"
done
expect 0 "vovu-sc query (stopped)" "$sc" query VovudIdavUda
grep -qF "1  STOPPED" "$top/out" || fail "an installed service is not shown STOPPED"
expect 0 "start" "$install_dir/vovudidavuda.exe" start
own_root="KorvaStorageProvider!S-1-5-18!KorvaAccount1"
for _ in $(seq 1 100); do
  "$send" --check remove-cloudfiles-handlers "$own_root" >/dev/null 2>&1 && break
  sleep 0.1
done
expect 0 "vovu-sc query (running)" "$sc" query
grep -qF "4  RUNNING" "$top/out" || fail "a started service is not shown RUNNING"
pid=$(sed -n 's/^ *PID *: //p' "$top/out")
[ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || fail "vovu-sc shows no live process id ($pid)"
expect 0 "pipe-send without --check" "$send" frob
expect 3 "pipe-send --check refused" "$send" --check frob
grep -qx "ERROR unknown command: frob" "$top/out" || fail "pipe-send --check did not print the reply"
expect 0 "pipe-send --check OK" "$send" --check remove-cloudfiles-handlers "$own_root"
grep -qx "OK" "$top/out" || fail "pipe-send did not print OK"

# 5. debug-view shows another user's failing command line.
timeout 20 "$(path_of debug-view)" --count 1 >"$top/view" 2>"$top/view.err" &
viewer_pid=$!
for _ in $(seq 1 100); do
  grep -q "listening on" "$top/view.err" && break
  sleep 0.05
done
grep -qF "listening on $VOVU_MACHINE_ROOT/debug.sock" "$top/view.err" ||
  fail "debug-view does not say where it listens: $(cat "$top/view.err")"
setpriv --reuid=65534 --regid=65534 --clear-groups setsid -w "$install_dir/vovudidavuda.exe" frobnicate
[ $? -eq 1 ] || fail "a user's unknown verb did not exit 1"
wait "$viewer_pid"
viewer_pid=""
grep -qx "\[VovudIdavUda\] unknown command: frobnicate" "$top/view" ||
  fail "debug-view did not show the user's line: $(cat "$top/view" "$top/view.err")"

expect 0 "stop" "$install_dir/vovudidavuda.exe" stop
expect 0 "uninstall" "$install_dir/vovudidavuda.exe" uninstall
expect 1 "vovu-sc query (uninstalled)" "$sc" query
grep -qF "OpenService failed: error=1060 The specified service does not exist as an installed service." \
  "$top/err" || fail "a missing service is not named by its error text: $(cat "$top/err")"

[ "$failures" -eq 0 ] || exit 1
echo "all tool checks passed"
