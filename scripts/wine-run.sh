#!/usr/bin/env bash
# Runs a Windows program under Wine for the build and the tests. Every build
# folder gets its own prefix (created on first use) and a persistent wine
# server, so that the second and later process starts are quick.
set -euo pipefail
exe="$1"; shift
: "${FW_WINEPREFIX:=$(cd "$(dirname "$exe")" && while [ ! -f CMakeCache.txt ] && [ "$PWD" != / ]; do cd ..; done; pwd)/wineprefix}"
export WINEPREFIX="$FW_WINEPREFIX"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
mkdir -p "$WINEPREFIX"
# Start (or reuse) a persistent server for this prefix. The lock keeps
# parallel test starts from each creating the prefix at once.
(
  flock 9
  # The lock's descriptor must not leak into the server, which outlives us.
  if [ ! -f "$WINEPREFIX/system.reg" ]; then wineboot -i >/dev/null 2>&1 9>&- || true; fi
  if wineserver -p >/dev/null 2>&1 9>&-; then
    # A new server session: start its services now, detached from our output
    # streams; started by the program below they would keep the caller's
    # pipes (ctest's) open for as long as the server lives.
    wineboot </dev/null >/dev/null 2>&1 9>&- || true
  fi
) 9>"$WINEPREFIX.lock"
exec wine "$exe" "$@"
