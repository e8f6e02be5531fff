#!/usr/bin/env bash
# The main job: builds Fenwarden.dll and runs it inside the stand-in game
# process, then prints the log it wrote. Arguments go to the stand-in.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
cmake -S . -B build/win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-clang.cmake >/dev/null
cmake --build build/win -j "$(nproc)" --target Fenwarden launcher
export FW_WINEPREFIX="$ROOT/build/win/wineprefix-demo"
cd build/win/bin
if [ $# -eq 0 ]; then set -- --seconds 3; fi
scripts_dir="$ROOT/scripts"
"$scripts_dir/wine-run.sh" ./launcher.exe "$@"
wineserver -k >/dev/null 2>&1 || true
