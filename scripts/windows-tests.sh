#!/usr/bin/env bash
# Cross-builds the engine, restructure and upgrade-core tests for 64-bit Windows with mingw-w64
# and runs them under wine. Installs mingw-w64 and wine when missing. Exits non-zero when
# anything fails.
#   scripts/windows-tests.sh [gtest arguments...]    e.g. --gtest_filter='Path.*'
#   scripts/windows-tests.sh --ventanas              also the window's QtTest programs, under wine
#                                                    with the offscreen platform, when Qt for
#                                                    Windows is at hand (else says why not). CI
#                                                    runs it so.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
ventanas=0; [ "${1:-}" = "--ventanas" ] && { ventanas=1; shift; }

bash scripts/deps.sh cmake ninja-build mingw-w64 wine wine64 googletest
[ "$ventanas" -eq 1 ] && bash scripts/deps.sh qt6-translations-l10n fonts-dejavu-core

dir=build-windows
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DACTUALIZA_BUILD_APP=OFF -DACTUALIZA_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j2 --target engine_tests restructure_tests upgrade_tests table_holder
echo "Windows: compilado en $(( $(date +%s) - start )) s"

# A wine prefix of our own, so that nothing of the user's is touched or relied on.
export WINEPREFIX="$PWD/$dir/wine"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot --init >/dev/null 2>&1 || true
  wineserver -w || true
fi

status=0
for t in engine_tests restructure_tests upgrade_tests; do
  s=0
  log="$dir/tests/$t.salida"
  wine "$dir/tests/$t.exe" --gtest_brief=1 "$@" 2>&1 | tee "$log" || s=${PIPESTATUS[0]}
  # A program that dies (a crash that wine reports on its own) can still end with status 0:
  # its tests ran only if GoogleTest printed its summary.
  if [ "$s" -eq 0 ] && ! grep -q '^\[==========\] .* ran\.' "$log"; then
    echo "Windows (wine): $t no llegó a dar su resumen de pruebas (¿se cerró de golpe?)"
    s=1
  fi
  echo "Windows (wine): $t terminó con estado $s"
  [ "$s" -eq 0 ] || status=$s
done

if [ "$ventanas" -eq 1 ]; then
  qt=${ACTUALIZA_QT_WINDOWS:-$HOME/.cache/actualiza/qt6-mingw-6.4.2}
  if [ ! -f "$qt/lib/cmake/Qt6/Qt6Config.cmake" ]; then
    echo "Windows: sin Qt para Windows en $qt (scripts/windows.sh lo prepara): no se prueban las ventanas bajo wine."
  else
    adir=build-windows-app
    vstart=$(date +%s)
    cmake -S . -B "$adir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$qt" -DQT_HOST_PATH=/usr \
      -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake -DACTUALIZA_BUILD_TESTS=ON -DACTUALIZA_BUILD_BENCH=OFF >/dev/null
    mapfile -t wizard < <(cd tests/app && ls *_test.cpp | sed 's/\.cpp$//; s/^/wizard_/')
    cmake --build "$adir" -j2 --target "${wizard[@]}" capturas
    echo "Windows: ventanas compiladas en $(( $(date +%s) - vstart )) s"
    vstart=$(date +%s)
    # Qt's DLLs are found through the path, its plugins beside them (Qt looks in ..\plugins from
    # its own DLL). Wine hands Windows programs none of the QT_* variables of this environment,
    # so the platform goes on the command line.
    export WINEPATH="$(winepath -w "$qt/bin");$(winepath -w "$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")");$(winepath -w /usr/x86_64-w64-mingw32/lib)"
    # qt.conf beside the programs: Qt's Spanish texts as the zip carries them, and fonts. On
    # Windows the offscreen platform reads fonts only from the fonts folder of Qt's libraries
    # (QT_QPA_FONTDIR does not get through wine), and Qt for Windows has none: without them every
    # text is measured in boxes. They are the fonts the tests have on Linux (DejaVu Sans).
    mkdir -p "$adir/tests/translations" "$adir/tests/qt/fonts"
    cp /usr/share/qt6/translations/qtbase_es.qm "$adir/tests/translations/"
    cp /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf /usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf \
      "$adir/tests/qt/fonts/"
    win() { winepath -w "$1" | tr '\\' /; }
    printf '[Paths]\r\nPrefix = %s\r\nTranslations = %s\r\nLibraries = %s\r\n' "$(win "$qt")" \
      "$(win "$PWD/$adir/tests/translations")" "$(win "$PWD/$adir/tests/qt")" > "$adir/tests/qt.conf"
    for w in "${wizard[@]}"; do
      s=0
      # A program without a window (QTEST_GUILESS_MAIN) takes no -platform.
      platform=(-platform offscreen)
      grep -q QTEST_GUILESS_MAIN "tests/app/${w#wizard_}.cpp" && platform=()
      # QtTest writes its report to a file: under wine its console output is lost.
      wine "$adir/tests/$w.exe" "${platform[@]}" -o "$adir/tests/$w.txt,txt" || s=$?
      grep -E '^(FAIL|Totals)' "$adir/tests/$w.txt" || true
      echo "Windows (wine): $w terminó con estado $s"
      [ "$s" -eq 0 ] || status=$s
    done
    echo "Windows (wine): ventanas probadas en $(( $(date +%s) - vstart )) s"
  fi
fi
wineserver -k 2>/dev/null || true
echo "Windows (wine): terminado con estado $status en $(( $(date +%s) - start )) s"
exit "$status"
