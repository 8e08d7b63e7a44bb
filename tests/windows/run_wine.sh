#!/usr/bin/env bash
# Runs the Windows test program under Wine in a fresh prefix of its own, which
# is stopped and removed afterwards. Needs the TW_* variables of a test run:
#   bash scripts/with-servers.sh bash tests/windows/run_wine.sh <dll> <test program> [case]
# The DLL and the program are copied into a folder of their own, so that the
# DLL loads with nothing beside it.
set -euo pipefail
dll="$(realpath "$1")"
exe="$(realpath "$2")"
: "${TW_TEST_DIR:?run through scripts/with-servers.sh}"
W="$(mktemp -d "${TMPDIR:-/tmp}/tw-wine.XXXXXX")"
export WINEPREFIX="$W/prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# Debian's wine wrapper warns on every start when the 32-bit half is missing;
# the 64-bit loader runs the 64-bit program directly.
WINE=/usr/lib/wine/wine64
[[ -x "$WINE" ]] || WINE=wine
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$W"
}
trap cleanup EXIT

start=$SECONDS
"$WINE" wineboot --init >"$W/wineboot.log" 2>&1
echo "run_wine: prefix ready in $((SECONDS - start)) s"
mkdir -p "$W/app"
cp "$dll" "$exe" "$W/app/"
# Local files of the program live beside the servers' files, on the same disk,
# unless TW_WIN_LOCAL names another folder (such as one in /dev/shm).
export TW_WIN_LOCAL="${TW_WIN_LOCAL:-$TW_TEST_DIR/wine-local}"
mkdir -p "$TW_WIN_LOCAL"
# Output goes to a file: capturing it from a pipe waits for the wineserver.
set +e
timeout 900 "$WINE" "$W/app/$(basename "$exe")" "Z:${W//\//\\}\\app\\$(basename "$dll")" \
  "${@:3}" >"$W/out.log" 2>&1
rc=$?
set -e
tr -d '\r' <"$W/out.log"
echo "run_wine: finished in $((SECONDS - start)) s, exit code $rc"
exit $rc
