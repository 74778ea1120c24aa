#!/usr/bin/env bash
# What only Windows has, once, under wine64: the real dispatcher refusing a console run
# without arguments, and wine's service control manager installing, starting, stopping and
# removing the Windows build while its real named pipe answers one request. The rules of the
# lifecycle (each verb on a stopped or missing service, a hot-update verb without the
# service) belong to the service end-to-end host suite.
#
#   service_smoke.sh VOVUDIDAVUDA.EXE KORVADESK.EXE PIPE-SEND.EXE
set -u
wine=/usr/lib/wine/wine64
export WINEDEBUG=-all
prefix="${WINEPREFIX:-$HOME/.wine}"
mkdir -p "$prefix/drive_c"
dir=$(mktemp -d "$prefix/drive_c/vovu-smoke-XXXXXX")
cp "$1" "$dir/vovudidavuda.exe"
cp "$2" "$dir/Korvadesk.exe"
cp "$3" "$dir/pipe-send.exe"
cd "$dir" || exit 1

# One wine session for the whole test: a new session starts every automatic service, which
# would start ours behind the test's back between two commands.
/usr/lib/wine/wineserver -k >/dev/null 2>&1
/usr/lib/wine/wineserver -p
# A registration left by an interrupted earlier run goes first.
"$wine" ./vovudidavuda.exe uninstall >/dev/null 2>&1

passed=0
failed=0
check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $1: expected '$2', got '$3'"
  fi
}
run() { "$wine" ./vovudidavuda.exe "$@" >/dev/null 2>&1; echo $?; }
state() { "$wine" sc query VovudIdavUda 2>/dev/null | tr -d '\r' | awk '/STATE/ {print $3}'; }

check "no argument from a console" 0 "$(run)"
check "install" 0 "$(run install)"
check "installed and stopped" 1 "$(state)"
check "start" 0 "$(run start)"
# The service reports running before its pipe thread takes the first client; poll, bounded.
reply=""
for _ in $(seq 1 100); do
  reply=$("$wine" ./pipe-send.exe --Frob "Keep Case" 2>/dev/null | tr -d '\r') && break
  sleep 0.1
done
check "running" 4 "$(state)"
check "reply over the named pipe" "ERROR unknown command: frob" "$reply"
check "stop" 0 "$(run stop)"
check "stopped" 1 "$(state)"
check "uninstall" 0 "$(run uninstall)"
check "gone" "" "$(state)"

cd / && rm -rf "$dir"
/usr/lib/wine/wineserver -k >/dev/null 2>&1
echo "service smoke: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
