#!/usr/bin/env bash
# From a fresh clone on a fresh Debian 12 machine: set up, build the native and the MinGW presets
# and run every test suite (native under the sanitizers, Windows under Wine), and run each fuzz
# target for a short while.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
start=$SECONDS

scripts/setup.sh
jobs=$(nproc)

step() { printf '\n=== %s (%ds)\n' "$*" $((SECONDS - start)); }

status=0
end_wine() {
  if [[ -d build/mingw/wineprefix ]]; then
    WINEPREFIX=$PWD/build/mingw/wineprefix wineserver -k >/dev/null 2>&1 || true
  fi
}
trap end_wine EXIT

step "native build (ASan, UBSan)"
cmake --preset linux >/dev/null
cmake --build --preset linux -j"$jobs"
step "native tests"
ctest --preset linux -j"$jobs" || status=1

if [[ -d tests/http ]]; then
  step "native HTTP tests under ThreadSanitizer"
  cmake --preset linux-tsan >/dev/null
  cmake --build --preset linux-tsan -j"$jobs" --target http_tests
  ctest --preset linux-tsan -R '^Http' || status=1
fi

step "fuzz targets (clang, ASan, UBSan), 30 s each"
scripts/fuzz.sh 30 || status=1

step "MinGW build"
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j"$jobs"
step "Windows tests under Wine"
# Start the prefix's server and background processes with /dev/null streams, so that services
# started by the tests don't hold the test runner's output pipes open.
build/mingw/wine-run cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
ctest --preset mingw || status=1

step "done, status $status"
exit $status
