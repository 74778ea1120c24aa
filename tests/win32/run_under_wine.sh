#!/usr/bin/env bash
# Runs a Windows test program under wine64 and then ends that wine session, so programs that
# wine starts on the side (services.exe, explorer.exe /desktop, ...) do not hold the test's
# output open after the test has finished.
#
#   run_under_wine.sh PROGRAM.EXE [ARGUMENT...]
#
# A watchdog ends a run that stays silent for VOVU_WINE_SILENCE_LIMIT seconds (default 180):
# a GoogleTest program prints a line when each test starts and ends, so silence that long is
# a test that hangs. The watchdog names the test that was running, ends the wine session and
# exits 124, so a hang fails the run quickly instead of holding it until CI's own limit.
set -u
export WINEDEBUG="${WINEDEBUG:--all}"
limit="${VOVU_WINE_SILENCE_LIMIT:-180}"

log=$(mktemp)
trap 'rm -f "$log"' EXIT

/usr/lib/wine/wine64 "$@" >"$log" 2>&1 &
program=$!
# The program's output, shown as it comes.
tail -n +1 -f --pid="$program" "$log" &
shower=$!

status=""
lastSize=-1
quiet=0
while kill -0 "$program" 2>/dev/null; do
  # A watchdog's look once a second; the test program itself is never timed by this.
  sleep 1
  size=$(stat -c %s "$log" 2>/dev/null || echo 0)
  if [ "$size" = "$lastSize" ]; then
    quiet=$((quiet + 1))
  else
    quiet=0
    lastSize=$size
  fi
  if [ "$quiet" -ge "$limit" ]; then
    running=$(grep -a '^\[ RUN      \]' "$log" | tail -n 1 | sed 's/^\[ RUN      \] //')
    echo "run_under_wine: no output for ${limit} s; hung in test: ${running:-(none started)}" >&2
    /usr/lib/wine/wineserver -k >/dev/null 2>&1
    kill -KILL "$program" 2>/dev/null
    status=124
    break
  fi
done
wait "$program" 2>/dev/null
programStatus=$?
[ -n "$status" ] || status=$programStatus
wait "$shower" 2>/dev/null
/usr/lib/wine/wineserver -k >/dev/null 2>&1
/usr/lib/wine/wineserver -w >/dev/null 2>&1
exit "$status"
