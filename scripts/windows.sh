#!/usr/bin/env bash
# The Windows folder of the wizard, as a zip that runs on a Windows PC with nothing installed:
#   scripts/windows.sh            builds dist/Actualiza-windows-x64.zip
#   scripts/windows.sh --probar   builds it, then tries it under wine: unpacks it into an empty
#                                 folder, writes a demo installation and upgrades it through a
#                                 Z:\ path, checks every table with this machine's tabla, runs
#                                 tabla.exe with backslash, forward-slash, relative and drive-letter
#                                 paths, actualiza-tribanor.exe with /? and, from cmd, with a quoted
#                                 folder ending in a backslash, and saves the window's first page,
#                                 shown on a free Xvfb display, to docs/capturas/windows-pagina1.png
# Either way, Actualiza.exe must carry its manifest and version information (.rsrc).
# Qt for Windows comes from ~/.cache/actualiza/qt6-mingw-6.4.2: unpacked there from
# ../shared/windows/qt6-mingw-6.4.2.tar.xz (or $ACTUALIZA_QT_TARBALL) when that exists, else
# built from Debian's source package by scripts/qt-windows.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
probar=0; [ "${1:-}" = "--probar" ] && probar=1
t0=$(date +%s)
paso() { echo "== $1 ($(( $(date +%s) - t0 )) s)"; }

bash scripts/deps.sh cmake ninja-build mingw-w64 wine wine64 googletest qt6-base-dev-tools qt6-translations-l10n python3

qt=${ACTUALIZA_QT_WINDOWS:-$HOME/.cache/actualiza/qt6-mingw-6.4.2}
tarball=${ACTUALIZA_QT_TARBALL:-$root/../shared/windows/qt6-mingw-6.4.2.tar.xz}
if [ ! -f "$qt/lib/cmake/Qt6/Qt6Config.cmake" ]; then
  if [ -f "$tarball" ]; then
    paso "Desempaquetando Qt para Windows de $tarball"
    mkdir -p "$qt" && tar -xJf "$tarball" -C "$qt"
  else
    paso "Compilando Qt para Windows (scripts/qt-windows.sh)"
    ACTUALIZA_QT_WINDOWS=$qt bash scripts/qt-windows.sh
  fi
fi

paso "Compilando Actualiza.exe, actualiza-tribanor.exe y tabla.exe"
dir=build-windows-app
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$qt" -DQT_HOST_PATH=/usr \
  -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DACTUALIZA_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j2 --target Actualiza actualiza-tribanor tabla

paso "Reuniendo la carpeta"
stage=dist/stage/Actualiza
rm -rf dist/stage dist/Actualiza-windows-x64.zip && mkdir -p "$stage"/{platforms,styles,translations,licencias}
cp "$dir/app/Actualiza.exe" "$dir/tools/actualiza-tribanor.exe" "$dir/tools/tabla.exe" "$stage/"
cp "$qt"/bin/Qt6{Core,Gui,Widgets}.dll "$stage/"
cp "$qt/plugins/platforms/qwindows.dll" "$stage/platforms/"
cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$stage/styles/"
gcc_dir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
cp "$gcc_dir/libstdc++-6.dll" "$gcc_dir/libgcc_s_seh-1.dll" /usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll "$stage/"
# Debug symbols are of no use on the PC: stripped, the folder is a third of its size.
x86_64-w64-mingw32-strip --strip-unneeded "$stage"/*.exe "$stage"/*.dll "$stage"/platforms/*.dll "$stage"/styles/*.dll
# Qt's own Spanish texts (buttons of message boxes, the file dialog): Debian's translations of
# the same Qt version; Qt looks for them in translations\ beside the program.
cp /usr/share/qt6/translations/qtbase_es.qm "$stage/translations/"
# Without qt.conf, Qt takes the folder above its DLL's for its own (its DLLs live in bin\ where it
# was built); with it, this folder: translations\ here. Plugins are also looked for beside the program.
printf '[Paths]\r\nPrefix = .\r\n' > "$stage/qt.conf"
# Licences: Qt (LGPL-3 or GPL-2/GPL-3, Debian's notice of its parts), the compiler's runtime (GCC
# runtime library exception) and winpthreads.
mkdir -p "$stage/licencias/Qt"
if [ -d "$qt/LICENSES" ]; then cp "$qt"/LICENSES/* "$stage/licencias/Qt/"; fi
cp /usr/share/doc/libqt6core6/copyright "$stage/licencias/Qt/copyright-qt6-base.txt"
cp /usr/share/common-licenses/LGPL-3 "$stage/licencias/Qt/LGPL-3.txt"
cp /usr/share/common-licenses/GPL-2 "$stage/licencias/Qt/GPL-2.txt"
cp /usr/share/common-licenses/GPL-3 "$stage/licencias/Qt/GPL-3.txt"
cp /usr/share/doc/gcc-mingw-w64-base/copyright "$stage/licencias/gcc-mingw-w64-copyright.txt"
cp /usr/share/doc/mingw-w64-x86-64-dev/copyright "$stage/licencias/mingw-w64-copyright.txt"
cat > "$stage/licencias/LEAME.txt" <<TXT
Esta carpeta lleva las bibliotecas de Qt 6.4.2 (Qt6Core.dll, Qt6Gui.dll, Qt6Widgets.dll,
platforms\qwindows.dll, styles\qwindowsvistastyle.dll), compiladas para Windows con mingw-w64
a partir del paquete fuente qt6-base 6.4.2+dfsg de Debian 12, sin cambios en su código. Lo único
cambiado en ellas, como en los demás .exe y .dll de la carpeta, es que se les han quitado los
símbolos de depuración y los que no hacen falta para enlazar (x86_64-w64-mingw32-strip
--strip-unneeded). Qt se distribuye bajo la licencia LGPL-3.0 (Qt\LGPL-3.txt) o, a elección,
GPL-2.0 o GPL-3.0 (Qt\GPL-2.txt, Qt\GPL-3.txt); el detalle de sus partes y sus licencias está en
Qt\copyright-qt6-base.txt. Puede sustituir esas bibliotecas por otras versiones compatibles. El
código fuente de Qt está en https://sources.debian.org/src/qt6-base/ y en
https://download.qt.io/. libstdc++-6.dll y libgcc_s_seh-1.dll son de GCC (licencia GPL-3 con la
excepción de bibliotecas de ejecución de GCC), libwinpthread-1.dll de mingw-w64 (MIT).
TXT
# For the user: how to start, what it does, the command line and how to undo. CRLF and a UTF-8
# byte-order mark, so that the Notepad of older Windows shows it right too.
{ printf '\xef\xbb\xbf'; sed 's/$/\r/' scripts/LEAME-windows.txt; } > "$stage/LEAME.txt"
(cd dist/stage && python3 -m zipfile -c ../Actualiza-windows-x64.zip Actualiza)
rm -rf dist/stage
paso "dist/Actualiza-windows-x64.zip: $(du -k dist/Actualiza-windows-x64.zip | cut -f1) KB"

# The command-line programs must start on Windows older than 10: no DLL of the api-ms-win-* sets.
for exe in actualiza-tribanor.exe tabla.exe; do
  imports=$(x86_64-w64-mingw32-objdump -p "$dir/tools/$exe" | sed -n 's/^\tDLL Name: //p' | tr '\n' ' ')
  echo "$exe importa: $imports"
  if grep -qi 'api-ms-win' <<<"$imports"; then echo "ERROR: $exe importa conjuntos api-ms-win-* (Windows 8 o posterior)" >&2; exit 1; fi
done
# Actualiza.exe carries its manifest (version 6 of the common controls) and version information
# in its resource section.
rsrc=$(mktemp)
x86_64-w64-mingw32-objcopy -O binary --only-section=.rsrc "$dir/app/Actualiza.exe" "$rsrc"
python3 - "$rsrc" <<'PY' || { rm -f "$rsrc"; echo "ERROR: Actualiza.exe sin manifiesto o sin versión en sus recursos" >&2; exit 1; }
import sys
d = open(sys.argv[1], 'rb').read()
assert b'Microsoft.Windows.Common-Controls' in d and b'version="6.0.0.0"' in d, 'manifest'
assert 'VS_VERSION_INFO'.encode('utf-16-le') in d and 'Actualiza.exe'.encode('utf-16-le') in d, 'version'
print('Actualiza.exe: manifiesto (controles comunes 6.0), icono y versión en .rsrc (%d bytes)' % len(d))
PY
rm -f "$rsrc"
[ "$probar" -eq 1 ] || exit 0

paso "Probando el zip bajo wine"
bash scripts/deps.sh xvfb imagemagick
export WINEPREFIX="$root/$dir/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then wineboot --init >/dev/null 2>&1 || true; wineserver -w || true; fi
# The Linux tabla judges what the Windows programs wrote.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target tabla >/dev/null
tmp=$(mktemp -d)
trap 'wineserver -k 2>/dev/null || true; [ -n "${xvfb:-}" ] && kill "$xvfb" 2>/dev/null; rm -rf "$tmp"' EXIT
mkdir "$tmp/zip" && python3 -m zipfile -e dist/Actualiza-windows-x64.zip "$tmp/zip"
[ -z "$(ls -A "$tmp/zip" | grep -v '^Actualiza$')" ] || { echo "ERROR: el zip lleva algo fuera de Actualiza/" >&2; exit 1; }
prog=$tmp/zip/Actualiza
# The folder above the installation has Greek and Cyrillic letters, which no ANSI code page of a
# Spanish Windows holds; the demo's companies are named in Windows 1252 ("Peñalba", "Ibáñez").
inst=$tmp/"Copias Ελλάδα Россия"/Tribanor
mkdir -p "$(dirname "$inst")"
win() { echo "Z:${1//\//\\}"; }
wine "$prog/actualiza-tribanor.exe" --demo "$(win "$inst")" --empresas 4 --ejercicios 2 --clientes 50
wine "$prog/actualiza-tribanor.exe" --comprobar "$(win "$inst")\\Tribanor.exe" >/dev/null && { echo "ERROR: la demostración ya estaba al día" >&2; exit 1; } || true
wine "$prog/actualiza-tribanor.exe" "$(win "$inst")\\Tribanor.exe"
wine "$prog/actualiza-tribanor.exe" --comprobar "$(win "$inst")" >/dev/null || { echo "ERROR: tras actualizar, --comprobar ve algo por hacer" >&2; exit 1; }
n=0
while IFS= read -r -d '' t; do
  build/tools/tabla check "$t" >/dev/null || { echo "ERROR: tabla check: $t" >&2; exit 1; }
  n=$((n + 1))
done < <(find "$inst" -iname '*.dbf' -print0)
ls "$inst/Empresas" | grep -q 'Peñalba' || { echo "ERROR: falta la carpeta de Peñalba" >&2; exit 1; }
echo "Actualizada bajo wine por $(win "$inst"): $n tablas correctas según tabla check."

paso "tabla.exe con rutas de Windows"
# Backslashes and forward slashes, with a drive letter and relative to the current folder.
clientes=$inst/Empresa/Clientes.Dbf
for ruta in "$(win "$clientes")" "Z:$clientes" 'Empresa\Clientes.Dbf' 'Empresa/Clientes.Dbf'; do
  for orden in check info csv; do
    (cd "$inst" && wine "$prog/tabla.exe" "$orden" "$ruta" >/dev/null) || { echo "ERROR: tabla.exe $orden $ruta" >&2; exit 1; }
  done
done
echo "tabla.exe: check, info y csv con rutas Z:\..., Z:/..., Empresa\... y Empresa/..."

paso "actualiza-tribanor.exe desde cmd"
wine "$prog/actualiza-tribanor.exe" '/?' > "$tmp/ayuda.txt" || { echo "ERROR: /? no termina con 0" >&2; exit 1; }
head -1 "$tmp/ayuda.txt" | grep -q '^Uso:' || { echo "ERROR: /? no muestra el uso" >&2; exit 1; }
# A quoted folder that ends in a backslash, typed in cmd: "Z:\...\Otra Copia\".
cp -r "$inst" "$tmp/Otra Copia"
printf '@echo off\r\n"%s\\actualiza-tribanor.exe" --comprobar "%s\\"\r\nexit /b %%ERRORLEVEL%%\r\n' \
  "$(win "$prog")" "$(win "$tmp/Otra Copia")" > "$tmp/comprobar.bat"
wine cmd /c "$(win "$tmp/comprobar.bat")" > "$tmp/comprobar.txt" 2>&1 || { cat "$tmp/comprobar.txt" >&2; echo "ERROR: --comprobar \"...\\Otra Copia\\\" desde cmd" >&2; exit 1; }
# Through a pipe: UTF-8, the tables with backslashes.
grep -q '^Empresa\\Clientes.Dbf  *al día' "$tmp/comprobar.txt" || { cat "$tmp/comprobar.txt" >&2; echo "ERROR: --comprobar no da Empresa\\Clientes.Dbf al día en UTF-8" >&2; exit 1; }
echo "actualiza-tribanor.exe: /? y --comprobar \"$(win "$tmp/Otra Copia")\\\" desde cmd, correctos"

paso "Capturando la primera página de la ventana (Xvfb, en una pantalla libre)"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$tmp/pantalla" >/dev/null 2>&1 & xvfb=$!
for _ in $(seq 100); do [ -s "$tmp/pantalla" ] && break; sleep 0.1; done
[ -s "$tmp/pantalla" ] || { echo "ERROR: Xvfb no ha dado pantalla" >&2; exit 1; }
export DISPLAY=":$(head -1 "$tmp/pantalla")"
# Wine's desktop belongs to the prefix's server and keeps the display it was started on: the
# steps above started it without this one (with no display at all, windows are made without a
# driver and never drawn). The server and its desktop end here, and the window starts them anew
# on the Xvfb display.
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
# The first page, as X knows it: the program's mapped window with the wizard's title (not a box
# of Qt's or of Windows', such as the one that says a platform plugin is missing).
titulo=$(sed -n 's/.*setWindowTitle(QString::fromUtf8("\(.*\)"));.*/\1/p' app/Unit1.cpp | head -1)
[ -n "$titulo" ] || { echo "ERROR: no se encuentra el título de la ventana en app/Unit1.cpp" >&2; exit 1; }
pagina() {
  local id
  for id in $(xwininfo -root -tree 2>/dev/null | grep -F "\"$titulo\": (\"actualiza.exe\"" | awk '{print $1}'); do
    xwininfo -id "$id" | grep -q 'Map State: IsViewable' && { xwininfo -id "$id"; return 0; }
  done
  return 1
}
# Wine's errors of this run (which DLL or plugin is missing, a window without a driver) are kept
# to show them should the window not be drawn.
WINEDEBUG=err+all,fixme-all wine "$prog/Actualiza.exe" >"$tmp/ventana.txt" 2>&1 & ventana=$!
espera=${ACTUALIZA_ESPERA_VENTANA:-20}
for _ in $(seq "$espera"); do pagina >/dev/null && break; kill -0 "$ventana" 2>/dev/null || break; sleep 1; done
mostrada=$(pagina || true)
if [ -z "$mostrada" ]; then
  if kill -0 "$ventana" 2>/dev/null; then echo "ERROR: Actualiza.exe no ha mostrado su ventana en $espera s" >&2
  else s=0; wait "$ventana" || s=$?; echo "ERROR: Actualiza.exe terminó (estado $s) sin mostrar su ventana" >&2; fi
  # What it shows instead (a box that says what is wrong) and what wine said.
  xwininfo -root -tree | grep -F '("actualiza.exe"' | grep -v 'has no name\|"Default IME"' >&2 || true
  tail -20 "$tmp/ventana.txt" >&2; exit 1
fi
# Shown: a moment for Qt to paint it, then the screen.
sleep 3
mkdir -p docs/capturas
import -display "$DISPLAY" -window root "$tmp/pantalla.png"
convert "$tmp/pantalla.png" -trim +repage "$tmp/ventana.png"
pantalla=$(xwininfo -root -tree)
wineserver -k 2>/dev/null || true
# Trimmed, the screen is the window alone, at its size; a screen with nothing on it trims to a
# pixel or so, and one with something else on it (another window, an error box) to more.
medida=$(sed -n 's/^ *Width: \([0-9]*\)$/\1/p; s/^ *Height: \([0-9]*\)$/\1/p' <<<"$mostrada" | paste -sd x)
captura=$(identify -format '%wx%h' "$tmp/ventana.png")
[ "$captura" = "$medida" ] || { tail -20 "$tmp/ventana.txt" >&2; grep -F '("actualiza.exe"' <<<"$pantalla" >&2; echo "ERROR: la captura ($captura) no es la ventana ($medida): la ventana no se ha dibujado entera" >&2; exit 1; }
# A window mapped but never painted is one or two colours; the page's texts and icon are many.
colores=$(identify -format '%k' "$tmp/ventana.png")
[ "$colores" -ge 16 ] || { tail -20 "$tmp/ventana.txt" >&2; echo "ERROR: la ventana está en blanco ($colores colores): no se ha dibujado" >&2; exit 1; }
cp "$tmp/ventana.png" docs/capturas/windows-pagina1.png
paso "Captura (pantalla $DISPLAY, ventana $medida) en docs/capturas/windows-pagina1.png; prueba terminada"
