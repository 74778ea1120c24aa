#!/usr/bin/env bash
# Runs a Windows test program under wine64 and then ends that wine session, so programs that
# wine starts on the side (services.exe, explorer.exe /desktop, ...) do not hold the test's
# output open after the test has finished.
#
#   run_under_wine.sh PROGRAM.EXE [ARGUMENT...]
set -u
export WINEDEBUG="${WINEDEBUG:--all}"
/usr/lib/wine/wine64 "$@"
status=$?
/usr/lib/wine/wineserver -k >/dev/null 2>&1
/usr/lib/wine/wineserver -w >/dev/null 2>&1
exit $status
