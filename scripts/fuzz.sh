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

build=build/linux-fuzz
sanitize="-fsanitize=address,undefined,fuzzer-no-link -fno-omit-frame-pointer -fno-sanitize-recover=all"

# nghttp2 from Debian's source (the version installed, through the source lists that
# scripts/setup.sh adds), built static under the same sanitizers, once per version: a fault inside
# the library, such as a stream it frees and goes on using, is then found too.
nghttp2_version=$(dpkg-query -W -f='${source:Version}' libnghttp2-dev)
nghttp2=$PWD/$build/nghttp2-$nghttp2_version
if [[ ! -f $nghttp2/.complete ]]; then
  echo "building nghttp2 $nghttp2_version with the sanitizers in $nghttp2"
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  if ! (cd "$work" && apt-get source -q --download-only "nghttp2=$nghttp2_version" >/dev/null 2>&1 &&
    dpkg-source -x nghttp2_*.dsc src >/dev/null 2>&1); then
    echo "fuzz.sh: cannot fetch the source of nghttp2 $nghttp2_version (run scripts/setup.sh)" >&2
    exit 1
  fi
  CC=clang-14 cmake -S "$work/src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS="$sanitize" -DCMAKE_INSTALL_PREFIX="$nghttp2" -DENABLE_LIB_ONLY=ON \
    -DENABLE_STATIC_LIB=ON -DENABLE_SHARED_LIB=OFF >/dev/null 2>&1
  cmake --build "$work/build" >/dev/null
  cmake --install "$work/build" >/dev/null
  touch "$nghttp2/.complete"
fi

cmake --preset linux-fuzz -DDROVANE_FUZZ_NGHTTP2="$nghttp2" >/dev/null
cmake --build --preset linux-fuzz -j"$(nproc)" --target fuzz_targets

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
