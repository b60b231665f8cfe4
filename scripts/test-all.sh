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

# Skips that the platform forces, by test name (none today). Any other skipped test fails its
# stage: a skip counts as a pass in CTest, so a stage could otherwise run nothing and pass.
platform_skips=()

# Runs ctest with the given arguments. A selection that matches no test fails (--no-tests=error),
# and so does a test that did not run (skipped or disabled) unless platform_skips names it.
run_ctest() {
  local log rc=0 name skip allowed
  log=$(mktemp)
  ctest --no-tests=error "$@" 2>&1 | tee "$log" || rc=1
  local -a not_run=()
  mapfile -t not_run < <(sed -n 's/^[[:space:]]*[0-9]\+ - \(.*\) (\(Skipped\|Disabled\|Not Run\))$/\1/p' "$log")
  rm -f "$log"
  for name in "${not_run[@]}"; do
    allowed=0
    for skip in "${platform_skips[@]}"; do
      [[ $name == "$skip" ]] && allowed=1
    done
    if ((!allowed)); then
      echo "did not run, and no platform forces it: $name"
      rc=1
    fi
  done
  return $rc
}

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
run_ctest --preset linux -j"$jobs" || status=1

step "native tests under ThreadSanitizer (label tsan: the HTTP connections and the runtime)"
cmake --preset linux-tsan >/dev/null
# The targets of the tests labelled tsan; a labelled test whose program is not built fails.
cmake --build --preset linux-tsan -j"$jobs" --target http_tests runtime_tests
run_ctest --preset linux-tsan -L '^tsan$' || status=1

step "fuzz targets (clang, ASan, UBSan), 30 s each"
scripts/fuzz.sh 30 || status=1

step "MinGW build"
# The sample Core's digest, whatever the build tree's cache holds (the README's
# -DDROVANE_CORE_FILE= step leaves a digest there): the end-to-end tests need the sample.
sample_core_digest=(-DDROVANE_CORE_FILE= -DDROVANE_CORE_SHA256=)
cmake --preset mingw "${sample_core_digest[@]}" >/dev/null
cmake --build --preset mingw -j"$jobs"
step "Windows tests under Wine"
# Start the prefix's server and background processes with /dev/null streams, so that services
# started by the tests don't hold the test runner's output pipes open.
build/mingw/wine-run cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
run_ctest --preset mingw || status=1

step "clang build of the Windows targets (warnings are errors)"
cmake --preset mingw-clang "${sample_core_digest[@]}" >/dev/null
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
  run_ctest --preset mingw-clang || status=1
fi

step "done, status $status"
exit $status
