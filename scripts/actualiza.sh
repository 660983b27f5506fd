#!/usr/bin/env bash
# Builds the programs and upgrades an installation; with no argument, a demo installation.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
if [ $# -eq 0 ]; then
  demo=$(mktemp -d /tmp/tribanor-demo-XXXXXX)
  build/tools/actualiza-tribanor --demo "$demo"
  echo
  echo "== Antes de actualizar"
  build/tools/actualiza-tribanor --comprobar "$demo" | tail -n 8 || true
  echo
  echo "== Actualización"
  build/tools/actualiza-tribanor "$demo/Tribanor.exe"
  echo
  echo "== Después de actualizar"
  build/tools/actualiza-tribanor --comprobar "$demo" | tail -n 4
  echo
  echo "La instalación actualizada queda en $demo."
  echo "Para abrir el asistente con ventana: build/app/Actualiza"
else
  build/tools/actualiza-tribanor "$@"
fi
