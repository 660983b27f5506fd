#!/usr/bin/env bash
# Installs what is missing, builds from scratch and runs every test.
#   scripts/test.sh             normal build in build/
#   scripts/test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
dir=build; flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "${1:-}" = "--sanitize" ]; then
  dir=build-asan; flags=(-DCMAKE_BUILD_TYPE=Debug -DACTUALIZA_SANITIZE=ON -DACTUALIZA_BUILD_BENCH=OFF)
fi
cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# CTest's summary, then the tests that did not run and why (from its JUnit report, which keeps
# each test's output): GoogleTest's skip messages, and QtTest's SKIP lines, which CTest counts as
# passed.
junit="$PWD/$dir/ctest-junit.xml"
status=0
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" --output-junit "$junit" \
  --test-output-size-passed 65536 || status=$?
python3 - "$junit" <<'PY' || true
import re, sys
import xml.etree.ElementTree as ET
skipped = []
for case in ET.parse(sys.argv[1]).getroot().iter("testcase"):
    out = case.findtext("system-out") or ""
    if case.get("status") in ("notrun", "disabled") or case.find("skipped") is not None:
        # GoogleTest: "file:line: Skipped", then the reason, then "[  SKIPPED ]".
        m = re.search(r"Skipped\n(.*?)\n?\[  SKIPPED \]", out, re.S)
        reason = m.group(1).strip() if m else ""
        if not reason:  # not run for another reason (no program, a disabled test): CTest's words
            reason = (case.find("skipped") if case.find("skipped") is not None else case).get("message", "")
        skipped.append((case.get("name"), reason or "(sin motivo escrito)"))
        continue
    # QtTest: "SKIP   : Class::function() reason" inside a program CTest counts as passed.
    for m in re.finditer(r"^SKIP   : (\S+) (.*)$", out, re.M):
        skipped.append((m.group(1), m.group(2).strip()))
print(f"Pruebas omitidas: {len(skipped)}")
for name, reason in skipped:
    print(f"  {name}: {reason}")
PY
exit "$status"
