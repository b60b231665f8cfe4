#!/usr/bin/env bash
# From a fresh clone on a fresh Debian 12 machine: set up, lint the protocol document, check the
# C++ files' formatting, build the native and the MinGW presets and run every test suite (native
# under the sanitizers, Windows under Wine), run each fuzz target for a short while, then build
# the Windows targets again with clang.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
start=$SECONDS

scripts/setup.sh
jobs=$(nproc)

step() { printf '\n=== %s (%ds)\n' "$*" $((SECONDS - start)); }

status=0
end_wine() {
  local prefix
  for prefix in build/mingw/wineprefix build/mingw-clang/wineprefix; do
    if [[ -d $prefix ]]; then
      WINEPREFIX=$PWD/$prefix wineserver -k >/dev/null 2>&1 || true
    fi
  done
}
trap end_wine EXIT

step "protocol document lint"
source scripts/tools.sh
# The linter's warnings fail the step too; its notices about Node.js versions do not.
lint=$(REDOCLY_TELEMETRY=off REDOCLY_SUPPRESS_UPDATE_NOTICE=true "$redocly" lint docs/openapi.yaml 2>&1) || status=1
grep -v "[║╔╚]" <<<"$lint" || true
if grep -q 'You have [0-9]* warning' <<<"$lint"; then
  status=1
fi

step "formatting (clang-format 14, the repository's .clang-format)"
mapfile -t cxx_files < <(find src tests bench -name '*.cpp' -o -name '*.hpp' | sort)
clang-format-14 --dry-run --Werror "${cxx_files[@]}" || status=1

step "native build (ASan, UBSan)"
cmake --preset linux >/dev/null
cmake --build --preset linux -j"$jobs"
step "native tests"
ctest --preset linux -j"$jobs" || status=1

if [[ -d tests/service/hub/http ]]; then
  step "native HTTP tests under ThreadSanitizer"
  cmake --preset linux-tsan >/dev/null
  cmake --build --preset linux-tsan -j"$jobs" --target http_tests runtime_tests
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

step "clang build of the Windows targets (warnings are errors)"
cmake --preset mingw-clang >/dev/null
if ! cmake --build --preset mingw-clang -j"$jobs" 2>&1 | tee build/mingw-clang.log; then
  status=1
elif grep -q 'warning:' build/mingw-clang.log; then
  echo "clang warned (see build/mingw-clang.log)"
  status=1
fi
# The clang build's Windows tests under Wine are the same suites again: about 4 minutes more on
# a loaded 2-core machine, so they run only when asked for.
if [[ ${DROVANE_CLANG_WINE_TESTS:-0} == 1 ]]; then
  step "Windows tests of the clang build under Wine"
  build/mingw-clang/wine-run cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
  ctest --preset mingw-clang || status=1
fi

step "done, status $status"
exit $status
