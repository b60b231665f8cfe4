#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz (preset linux-fuzz: clang, ASan, UBSan) and runs each
# for a bounded time, starting from its seeds in the repository. A finding (crash, sanitizer
# report, leak, timeout) stops that target, leaves the input under build/linux-fuzz/findings and
# makes the script exit 1. What the runs add to the corpora stays in build/linux-fuzz/corpus.
#
# Usage: scripts/fuzz.sh [seconds per target, default 600] [target...]
# Targets: router, http1, http2 (default all). Example: scripts/fuzz.sh 3600 http2
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
seconds=${1:-600}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(router http1 http2)

cmake --preset linux-fuzz >/dev/null
cmake --build --preset linux-fuzz -j"$(nproc)" --target fuzz_targets

build=build/linux-fuzz
symbolizer=/usr/lib/llvm-14/bin/llvm-symbolizer
[[ -x $symbolizer ]] && export ASAN_SYMBOLIZER_PATH=$symbolizer
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}

status=0
for target in "${targets[@]}"; do
  [[ -x $build/tests/fuzz/fuzz_$target ]] || { echo "fuzz.sh: no fuzz target $target" >&2; exit 2; }
  corpus=$build/corpus/$target
  findings=$build/findings/$target
  mkdir -p "$corpus" "$findings"
  log=$build/fuzz-$target.log
  echo "fuzz_$target: ${seconds}s, log $log"
  # -timeout: one input that takes this long is a finding (a connection the server never ends).
  if "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" "tests/fuzz/seeds/$target" \
    >"$log" 2>&1; then
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+.*DONE)' "$log" |
      sed 's/^/  /' || true
  else
    rc=$?
    status=1
    echo "fuzz_$target: FINDING (exit status $rc); input(s) in $findings, report:"
    grep -v '^#' "$log" | tail -60 | sed 's/^/  /'
  fi
done
exit $status
