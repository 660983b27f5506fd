#!/usr/bin/env bash
# Cross-builds the engine and its tests for 64-bit Windows with mingw-w64 and runs them under
# wine. Installs mingw-w64 and wine when missing. Exits non-zero when anything fails.
#   scripts/windows-tests.sh [gtest arguments...]    e.g. --gtest_filter='Path.*'
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)

bash scripts/deps.sh cmake ninja-build mingw-w64 wine wine64 googletest

dir=build-windows
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DACTUALIZA_BUILD_APP=OFF -DACTUALIZA_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j2 --target engine_tests

# A wine prefix of our own, so that nothing of the user's is touched or relied on.
export WINEPREFIX="$PWD/$dir/wine"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot --init >/dev/null 2>&1 || true
  wineserver -w || true
fi

status=0
wine "$dir/tests/engine_tests.exe" --gtest_brief=1 "$@" || status=$?
wineserver -k 2>/dev/null || true
echo "Windows (wine): engine_tests terminó con estado $status en $(( $(date +%s) - start )) s"
exit "$status"
