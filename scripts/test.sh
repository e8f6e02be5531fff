#!/usr/bin/env bash
# The test command: builds both builds and runs every test.
#  - build/win: the Windows build (Fenwarden.dll, stand-ins, tests under Wine)
#  - build/native: the portable code under AddressSanitizer and UBSan
# Extra arguments go to ctest (for example -R Config).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
JOBS="${FW_JOBS:-$(nproc)}"
TEST_JOBS="${FW_TEST_JOBS:-$((JOBS * 3))}"

cmake -S . -B build/win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-clang.cmake >/dev/null
cmake --build build/win -j "$JOBS"
cmake -S . -B build/native -G Ninja -DCMAKE_C_COMPILER=clang-16 -DCMAKE_CXX_COMPILER=clang++-16 >/dev/null
cmake --build build/native -j "$JOBS"

# An X display for the Windows windows (the overlay draws into real
# Direct3D 11 swap chains); screenshots of it land in build/win/screenshots.
start_display() {
  for n in $(seq 90 120); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
    XVFB_PID=$!
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
    export DISPLAY=":$n"
    return 0
  done
  echo "test: no free X display" >&2
  return 1
}
XVFB_PID=""
trap '[ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null; true' EXIT

status=0
# The native run needs no Wine; the Windows run gets a fresh prefix per run.
(cd build/native && ctest --output-on-failure -j "$JOBS" "$@") || status=1
rm -rf build/win/wineprefix build/win/wineprefix.lock build/win/screenshots
start_display
(cd build/win && ctest --output-on-failure -j "$TEST_JOBS" "$@") || status=1
FW_WINEPREFIX="$ROOT/build/win/wineprefix" WINEPREFIX="$ROOT/build/win/wineprefix" wineserver -k >/dev/null 2>&1 || true
for bmp in build/win/screenshots/*.bmp; do
  [ -e "$bmp" ] && convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
done
exit $status
