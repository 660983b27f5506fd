#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and checking need, when missing.
#   scripts/deps.sh            the packages of the Linux build and its tests
#   scripts/deps.sh PKG...     those packages instead (scripts/windows-tests.sh)
set -euo pipefail
pkgs=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev qt6-base-dev qt6-translations-l10n
      libgl-dev python3 python3-dbfread libdbd-xbase-perl gdal-bin pxlib-dev)
[ $# -eq 0 ] || pkgs=("$@")
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Instalando: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
