# The wine stage's helpers: checks and their report, keys and signing, the wine prefix's
# files, and the tar.exe fixture's own check. Sourced by hot_update_stage.sh, which sets
# stage, wine, wineserver, WINEPREFIX and, once the prefix exists, drive_c and install.
# shellcheck shell=bash

passed=0
failed=0

step() { printf '\n== %s\n' "$1"; }
observe() { printf '   %s\n' "$1"; }
ok() { passed=$((passed + 1)); printf 'ok: %s\n' "$1"; }
bad() { failed=$((failed + 1)); printf 'FAIL: %s\n' "$1"; }
fail_now() {
  bad "$1"
  finish
}
finish() {
  printf '\nwine stage: %d passed, %d failed, %d s\n' "$passed" "$failed" \
    "$(($(date +%s) - started))"
  [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
  exit $?
}

expect_equal() {  # NAME EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then ok "$1: $3"; else bad "$1: expected '$2', got '$3'"; fi
}
expect_contains() {  # NAME NEEDLE HAYSTACK
  case "$3" in
    *"$2"*) ok "$1" ;;
    *) bad "$1: '$2' not in: $3" ;;
  esac
}
expect_code() {  # NAME CODE COMMAND...
  local name=$1 code=$2
  shift 2
  "$@" >/dev/null 2>&1
  expect_equal "$name exit code" "$code" "$?"
}

# Retries COMMAND every 0.1 s, at most TRIES times, until it succeeds: for what gives no
# event to wait on (a port bound, a pipe served, a line written by another process).
wait_for() {  # WHAT TRIES COMMAND...
  local what=$1 tries=$2
  shift 2
  local i
  for ((i = 0; i < tries; i++)); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  bad "$what: not within $tries tries"
  return 1
}

one_line() { tr -d '\r' <<<"$1" | tr '\n' ' ' | sed 's/  */ /g; s/ $//'; }

# Signs a PE file with the publisher's key; the description makes each signed copy distinct.
sign() {  # IN OUT DESCRIPTION
  rm -f "$2"
  osslsigncode sign -certs "$stage/keys/publisher-chain.pem" -key "$stage/keys/publisher.key" \
    -n "$3" -in "$1" -out "$2" >/dev/null || fail_now "osslsigncode cannot sign $1"
}

wine_user_profile() { printf '%s/users/%s' "$drive_c" "$(id -un)"; }
hotupdate_folder() { printf '%s/.zodezevadororuza/updates/hotupdate' "$(wine_user_profile)"; }
# The service's protected hot-update directory. Wine gives the service's process another
# ProgramData (C:\users\Public) than console programs (C:\ProgramData), so this is the one
# the running service made; find_protected_dir sets it once the service answers.
protected_dir() { printf '%s' "$service_protected"; }
find_protected_dir() {
  service_protected=$(find "$drive_c" -type d -path '*/VovudIdavUda/hotupdate' \
    ! -path "$drive_c/ProgramData/*" | head -1)
  [ -n "$service_protected" ] || service_protected="$drive_c/ProgramData/VovudIdavUda/hotupdate"
  observe "the service's protected directory: C:${service_protected#"$drive_c"}"
}
protected_file() { cat "$(protected_dir)/$1" 2>/dev/null; }

# A Windows path of the prefix's drive C: as the Linux path below drive_c.
unix_path() {  # WINDOWS_PATH
  local rest=${1#[Cc]:}
  printf '%s%s' "$drive_c" "${rest//\\//}"
}

# One string member of a job file in the service's fixed layout.
json_string() {  # FILE KEY
  sed -n "s/^  \"$2\": \"\\(.*\\)\",\\{0,1\\}\$/\\1/p" "$1" | head -1
}
json_number() {  # FILE KEY
  sed -n "s/^  \"$2\": \\([0-9.-]*\\),\\{0,1\\}\$/\\1/p" "$1" | head -1
}

service_state() {
  "$wine" sc query VovudIdavUda 2>/dev/null | tr -d '\r' | awk '/STATE/ {print $3}'
}
pipe_answers() {
  [ "$("$wine" "$drive_c/vovu-tools/pipe-send.exe" --ping 2>/dev/null | tr -d '\r')" = \
    "ERROR unknown command: ping" ]
}

digest() { sha256sum "$1" | cut -c1-64; }

installed_paths=(korvaCF.exe resources/app.asar.unpacked/Release/addon.node resources/app.asar)

show_installed() {
  local f
  for f in "${installed_paths[@]}"; do
    observe "$(printf '%-48s %s %8d bytes' "$f" "$(digest "$install/$f" | cut -c1-16)" \
      "$(stat -c %s "$install/$f")")"
  done
  local backups
  backups=$(cd "$install" && find . -name '*.bak' | sed 's|^\./||' | tr '\n' ' ')
  observe "backups: ${backups:-none}"
}

# The installed files equal those of DIR (korvaCF.exe, addon.node, app.asar), no ".bak" left.
expect_installed_from() {  # NAME DIR
  local f name
  for f in "${installed_paths[@]}"; do
    name=${f##*/}
    expect_equal "$1: $f" "$(digest "$2/$name")" "$(digest "$install/$f")"
  done
  expect_equal "$1: no .bak files" "" "$(cd "$install" && find . -name '*.bak')"
}

# The fixture against the host's bsdtar on a package of the release tooling: the same
# listing, the same bytes extracted, and refusals of what it does not read.
check_tar_fixture() {
  local dir="$stage/tar-check" tar='C:\windows\system32\tar.exe'
  mkdir -p "$dir/in" "$drive_c/tar-check/out"
  head -c 200000 /dev/urandom >"$dir/in/app.asar"
  printf 'MZ not really\n' >"$dir/in/korvaCF.exe"
  printf 'addon\n' >"$dir/in/addon.node"
  "$host_build/tools/make_package/make-package" --version 1.0.0 \
    --url "https://$cdn/pkg/check.zip" --out "$dir/out" "$dir/in/korvaCF.exe" \
    "$dir/in/addon.node" "$dir/in/app.asar" >/dev/null || fail_now "make-package"
  cp "$dir/out/package.zip" "$drive_c/tar-check/package.zip"
  local listing
  listing=$("$wine" "$tar" -tf 'C:\tar-check\package.zip')
  expect_equal "tar.exe -tf lists as bsdtar does" "$(bsdtar -tf "$dir/out/package.zip")" "$listing"
  expect_code "tar.exe -xf -C" 0 "$wine" "$tar" -xf 'C:\tar-check\package.zip' -C 'C:\tar-check\out'
  local f
  expect_equal "tar.exe extracted manifest.json" "$(digest "$dir/out/manifest.json")" \
    "$(digest "$drive_c/tar-check/out/manifest.json")"
  for f in korvaCF.exe addon.node app.asar; do
    expect_equal "tar.exe extracted $f" "$(digest "$dir/in/$f")" \
      "$(digest "$drive_c/tar-check/out/$f")"
  done
  # A deflated member, a damaged member and a member climbing out are refused, as is an
  # option the fixture does not know.
  (cd "$dir/in" && bsdtar --format zip -cf "$drive_c/tar-check/deflated.zip" app.asar)
  cp "$dir/out/package.zip" "$drive_c/tar-check/damaged.zip"
  printf 'X' | dd of="$drive_c/tar-check/damaged.zip" bs=1 seek=120000 conv=notrunc 2>/dev/null
  (cd "$dir/in" && bsdtar --format zip --options zip:compression=store -cf \
    "$drive_c/tar-check/climb.zip" -s '|^|../|' addon.node)
  expect_code "tar.exe refuses a deflated member" 1 "$wine" "$tar" -tf 'C:\tar-check\deflated.zip'
  expect_code "tar.exe refuses a damaged member" 1 "$wine" "$tar" -xf \
    'C:\tar-check\damaged.zip' -C 'C:\tar-check\out'
  expect_code "tar.exe refuses a member climbing out" 1 "$wine" "$tar" -xf \
    'C:\tar-check\climb.zip' -C 'C:\tar-check\out'
  expect_equal "nothing written outside the destination" "no" \
    "$([ -e "$drive_c/tar-check/addon.node" ] && echo yes || echo no)"
  expect_code "tar.exe refuses an unknown option" 2 "$wine" "$tar" -tvf 'C:\tar-check\package.zip'
  rm -rf "$drive_c/tar-check"
}
