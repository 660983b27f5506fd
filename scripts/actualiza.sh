#!/usr/bin/env bash
# Builds the programs and upgrades an installation; with no argument, a demo installation.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
if [ -x build/tools/actualiza-tribanor ]; then
  if [ $# -eq 0 ]; then
    demo=$(mktemp -d /tmp/tribanor-demo-XXXXXX)
    build/tools/actualiza-tribanor --demo "$demo"
    build/tools/actualiza-tribanor --resumen "$demo/Tribanor.exe"
  else
    build/tools/actualiza-tribanor "$@"
  fi
else
  echo "La actualización por línea de órdenes aún no está disponible en esta versión."
  echo "Se actualizarían, en este orden: Empresa/Clientes.Dbf, General/Configu.Dbf,"
  echo "Empresas/<empresa>/Ejercicio<año>/Existencias.dbf y Clientes.Dbf de cada ejercicio,"
  echo "y por último Empresa/Existencias.dbf."
fi
