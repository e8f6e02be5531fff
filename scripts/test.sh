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

status=0
# The native run needs no Wine; the Windows run gets a fresh prefix per run.
(cd build/native && ctest --output-on-failure -j "$JOBS" "$@") || status=1
rm -rf build/win/wineprefix build/win/wineprefix.lock
(cd build/win && ctest --output-on-failure -j "$TEST_JOBS" "$@") || status=1
wineserver -k >/dev/null 2>&1 || true
exit $status
