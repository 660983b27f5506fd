#!/usr/bin/env bash
# Builds Qt 6 for 64-bit Windows from Debian 12's own qt6-base source package (6.4.2 with Debian's
# patches) with the POSIX-threads mingw-w64 compilers, and installs it in
#   ~/.cache/actualiza/qt6-mingw-6.4.2   (or $ACTUALIZA_QT_WINDOWS)
# scripts/windows.sh calls it when no such copy exists. About 30 minutes on two cores.
# Built: Core, Gui, Widgets, Test; the windows, offscreen and minimal platform plugins; the
# windowsvista style. Left out: OpenGL, Vulkan, Network, Sql, DBus, PrintSupport, Concurrent, Xml,
# jpeg. Every third-party library is Qt's bundled copy. Two switches 6.4.2 needs for mingw:
# directwrite3 off (else qwindows.dll does not link: its DirectWrite font database is only
# compiled with direct2d) and tabletevent off (Debian's tarball has no wintab header).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
prefix=${ACTUALIZA_QT_WINDOWS:-$HOME/.cache/actualiza/qt6-mingw-6.4.2}
work=$HOME/.cache/actualiza/qt-work
jobs=${JOBS:-2}

bash scripts/deps.sh mingw-w64 cmake ninja-build dpkg-dev qt6-base-dev qt6-base-dev-tools

# The source package: deb-src lines for the suites already in use, when there are none.
if ! apt-get source --print-uris qt6-base >/dev/null 2>&1; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    $SUDO sed -i 's/^Types: deb$/Types: deb deb-src/' /etc/apt/sources.list.d/debian.sources
  else
    grep -h '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | sed 's/^deb /deb-src /' |
      $SUDO tee /etc/apt/sources.list.d/actualiza-deb-src.list >/dev/null
  fi
  $SUDO apt-get update -qq
fi
mkdir -p "$work"
cd "$work"
src=$(ls -d qt6-base-6.4.2*/ 2>/dev/null | head -1 || true)
if [ -z "$src" ]; then
  # apt-get source unpacks the upstream tarball and applies Debian's patch series.
  apt-get source qt6-base=6.4.2* >/dev/null
  src=$(ls -d qt6-base-6.4.2*/ | head -1)
fi
src=$work/${src%/}

rm -rf "$work/build" && mkdir -p "$work/build" && cd "$work/build"
cmake -G Ninja "$src" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DACTUALIZA_MINGW_SHARED=ON \
  -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
  -DFEATURE_pkg_config=OFF -DINPUT_opengl=no -DFEATURE_opengl=OFF -DFEATURE_vulkan=OFF \
  -DFEATURE_direct2d=OFF -DFEATURE_directwrite3=OFF -DFEATURE_tabletevent=OFF \
  -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF \
  -DFEATURE_testlib=ON -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_androiddeployqt=OFF \
  -DFEATURE_jpeg=OFF -DFEATURE_icu=OFF -DFEATURE_zstd=OFF -DFEATURE_glib=OFF -DFEATURE_openssl=OFF \
  -DFEATURE_system_zlib=OFF -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF \
  -DFEATURE_system_freetype=OFF -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_pcre2=OFF \
  -DFEATURE_system_doubleconversion=OFF -DFEATURE_system_textmarkdownreader=OFF >/dev/null
nice -n 10 ninja -j"$jobs"
cmake --install . >/dev/null
# The licence texts travel with the DLLs.
mkdir -p "$prefix/LICENSES" && cp "$src"/LICENSES/* "$prefix/LICENSES/"
echo "Qt para Windows instalado en $prefix"
