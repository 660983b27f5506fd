#!/usr/bin/env bash
# Builds the programs (actualiza-tribanor and tabla, then the window Actualiza; the tests and
# benchmarks are scripts/test.sh's) and upgrades an installation (with no argument, a demo
# installation) before it builds the window. It says one line per stage; the compiler's output
# goes to build/compilacion.log and is shown only when a stage fails.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
log=build/compilacion.log

# Runs one stage: its line first, its output into the log (which keeps the last stage's), and
# that output on the screen when it fails.
etapa() {
  local texto=$1; shift
  echo "$texto..."
  if ! "$@" >"$log" 2>&1; then
    echo
    echo "Ha fallado la etapa «$texto». Su salida (queda en $log):"
    cat "$log"
    exit 1
  fi
}

echo "Comprobando los paquetes de Debian necesarios..."
bash scripts/deps.sh
mkdir -p build
etapa "Preparando la compilación en build/" \
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
# One stage per layer, in the order they depend on each other; the window last, after the
# upgrade, which does not need it.
j=-j"$(nproc)"
etapa "Compilando el motor de tablas dBASE y Paradox" cmake --build build "$j" --target engine
etapa "Compilando la reestructuración y los pasos de la actualización" \
  cmake --build build "$j" --target restructure upgrade_core
etapa "Compilando los programas actualiza-tribanor y tabla" \
  cmake --build build "$j" --target actualiza-tribanor tabla
echo "Compilado en $(( $(date +%s) - start )) s."
echo

status=0
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
else
  build/tools/actualiza-tribanor "$@" || status=$?
fi
echo
etapa "Compilando la ventana del asistente (Actualiza)" cmake --build build "$j" --target Actualiza
echo "Para abrir el asistente con ventana: build/app/Actualiza"
exit "$status"
