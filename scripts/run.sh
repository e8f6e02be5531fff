#!/usr/bin/env bash
# The main job: builds Fenwarden.dll and the stand-ins, then plays a co-op
# session on this machine: two stand-in game processes under Wine, each with
# a window, Steam (the stand-in client and its broker) and Fenwarden.dll.
# The host opens the menu (F5) and hosts a room; the guest joins it with
# "+connect_lobby" on its command line, as a Steam invitation would start it.
# Both logs are printed, and screenshots land in build/win/demo/ (FW_BUILD_DIR
# picks another build folder).
#
#   scripts/run.sh            the co-op demo
#   scripts/run.sh --solo     one game process, no Steam, its log printed
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
BUILD="${FW_BUILD_DIR:-build/win}"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-clang.cmake >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target Fenwarden game steam_api64 steam_broker

BIN="$ROOT/$BUILD/bin"
DEMO="$ROOT/$BUILD/demo"
export FW_WINEPREFIX="$ROOT/$BUILD/wineprefix-demo"
export WINEPREFIX="$FW_WINEPREFIX"
rm -rf "$DEMO"; mkdir -p "$DEMO"

XVFB_PID=""
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null || true
}
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
  for n in $(seq 90 120); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
    XVFB_PID=$!
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
    export DISPLAY=":$n"
    break
  done
fi

if [ "${1:-}" = "--solo" ]; then
  "$ROOT/scripts/wine-run.sh" "$BIN/game.exe" --seconds 5
  exit 0
fi

# The player's system font for Chinese and Japanese, under a name the overlay looks for.
"$ROOT/scripts/wine-run.sh" "$BIN/game.exe" --no-dll --seconds 0 >/dev/null 2>&1 || true
mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
cp -n /usr/share/fonts/truetype/wqy/wqy-microhei.ttc "$WINEPREFIX/drive_c/windows/Fonts/msyh.ttc" 2>/dev/null || true

# Steam's servers: the broker, with two friends.
"$ROOT/scripts/wine-run.sh" "$BIN/steam_broker.exe" --port 27960 --idle-exit 20 >"$DEMO/broker.txt" 2>&1 &
broker() { python3 - "$@" <<'PY'
import socket, sys, time
for _ in range(100):
    try:
        s = socket.create_connection(("127.0.0.1", 27960), timeout=2); break
    except OSError:
        time.sleep(0.1)
s.sendall((" ".join(sys.argv[1:]) + "\n").encode())
print(s.makefile().readline().strip())
PY
}
broker account 1 english Hana >/dev/null
broker account 2 english Ada >/dev/null
broker friend 1 2 >/dev/null

# Menu positions in a 1280x720 window (the menu opens centred, 600x480).
HOST_BUTTON="420 283"
# Each player has a saved-data folder of its own (Wine sets LOCALAPPDATA
# itself, so it is set inside Wine, by cmd).
GAME_EXE="Z:${BIN//\//\\}\\game.exe"
player() {  # name account seconds script args...
  local name=$1 account=$2 seconds=$3 script=$4; shift 4
  FWSTEAM_ACCOUNT=$account FWGAME_WINDOW=1280x720 FWGAME_SCRIPT="$script" \
    "$ROOT/scripts/wine-run.sh" cmd /c "set LOCALAPPDATA=C:\\users\\root\\AppData\\Local\\$name&& $GAME_EXE --steam --seconds $seconds $*" \
    >"$DEMO/$name.txt" 2>&1
}
shot() { echo "Z:${DEMO//\//\\}\\$1.bmp"; }

echo "demo: the host starts and hosts a room from the menu"
player host 1 32 "6 key F5; 8 click $HOST_BUTTON; 10 shot $(shot host-hosting); 13 shot $(shot host-guest-arriving); 24 shot $(shot host-with-guest); 26 key F5" &
HOST=$!
lobby=""
for _ in $(seq 150); do
  lobby=$(broker lobbies | python3 -c 'import json,sys; l=json.load(sys.stdin)["lobbies"]; print(l[0]["lobby"] if l else "")')
  [ -n "$lobby" ] && break
  sleep 0.2
done
if [ -z "$lobby" ]; then echo "demo: the host did not create a room" >&2; wait $HOST || true; cat "$DEMO/host.txt"; exit 1; fi
echo "demo: room $lobby is open; the guest joins it"
player guest 2 22 "5 shot $(shot guest-joined); 10 key F5; 12 shot $(shot guest-menu); 14 key F5" "+connect_lobby" "$lobby" &
GUEST=$!
wait $GUEST || true
wait $HOST || true

for f in "$DEMO"/*.bmp; do [ -e "$f" ] && convert "$f" "${f%.bmp}.png" && rm -f "$f"; done
for name in host guest; do
  echo; echo "===== $name ====="
  sed -n '/--- Fenwarden.log ---/,/--- end ---/p' "$DEMO/$name.txt"
done
echo; echo "demo: screenshots in $BUILD/demo/: $(cd "$DEMO" && ls *.png 2>/dev/null | tr '\n' ' ')"
