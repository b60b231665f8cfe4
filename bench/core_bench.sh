#!/usr/bin/env bash
# Core supervision benchmark against its floor, in one run. For a 64 MiB Core file (the sample
# Core padded with random bytes): the time of a start (hash, launch, confinement), of a start that
# releases a held Core first, and of a stop; beside them the floor of a start on the same file:
# the hash time of `openssl dgst -sha256` and a bare launch (created suspended, job, assign,
# resume; timed inside a Windows process under Wine, as the start is). Prints start / (hash +
# bare launch), and the Helper's SHA-256 throughput beside sha256sum and openssl.
# Usage: bench/core_bench.sh [mingw build dir] (default build/mingw, configured if new;
# core_bench is built first).
# RUNS (default 11) sets the rounds; every figure is their median.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [[ -z ${1:-} && ! -f $root/build/mingw/CMakeCache.txt ]]; then
  (cd "$root" && cmake --preset mingw >/dev/null)  # a fresh clone: configure the default tree
fi
build=$(cd "${1:-$root/build/mingw}" && pwd)
runs=${RUNS:-11}
echo "building core_bench in $build" >&2
cmake --build "$build" -j2 --target core_bench >/dev/null
bench_exe=$build/bench/core_bench.exe

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
core=$work/DrovaneCore.exe
size=$((64 * 1024 * 1024))
cp "$build/bench/DrovaneCore.exe" "$core"
head -c $((size - $(stat -c %s "$core"))) /dev/urandom >>"$core"

expected=$(sha256sum "$core" | cut -d' ' -f1)  # also brings the file into the page cache
"$build/wine-run" cmd.exe /c exit </dev/null >/dev/null 2>&1
win_core="Z:${core//\//\\}"  # Wine shows the Unix root as drive Z:

# The load of a shared machine drifts: every round measures the Helper (one repetition of each
# figure inside one Windows process) and then the native tools once, so that each start is set
# against a floor measured seconds apart, and the ratio is taken round by round.
seconds_of() {  # prints the wall time of "$@" in seconds
  local t0 t1
  t0=$(date +%s%N)
  "$@" >/dev/null
  t1=$(date +%s%N)
  awk -v ns=$((t1 - t0)) 'BEGIN { printf "%.6f", ns / 1e9 }'
}
declare -A series
for _ in $(seq "$runs"); do
  out=$("$build/wine-run" "$bench_exe" "$win_core" 1 </dev/null 2>&1 | tr -d '\r') || true
  value() { awk -v k="$1" '$1 == k { print $2 }' <<<"$out"; }
  [[ $(value digest) == "$expected" ]] || {
    printf 'core_bench.sh: the Helper digest differs from sha256sum %s:\n%s\n' "$expected" "$out" >&2
    exit 1
  }
  for key in helper_hash bare_launch start restart stop; do
    series[$key]+=" $(value "${key}_seconds")"
  done
  series[sha256sum]+=" $(seconds_of sha256sum "$core")"
  series[openssl]+=" $(seconds_of openssl dgst -sha256 "$core")"
done
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END {
  printf "%.6f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratios() {  # the round-by-round ratios <key> / (openssl + bare launch)
  paste <(tr ' ' '\n' <<<"${series[$1]}") <(tr ' ' '\n' <<<"${series[openssl]}") \
    <(tr ' ' '\n' <<<"${series[bare_launch]}") | awk 'NF == 3 { printf "%s ", $1 / ($2 + $3) }'
}
m() { median <<<"${series[$1]}"; }
spread() {  # the lower and upper quartile of the round-by-round ratios of <key>
  tr ' ' '\n' <<<"$(ratios "$1")" | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END {
    printf "%.2f-%.2f", v[int((NR + 3) / 4)], v[int((3 * NR + 3) / 4)] }'
}

awk -v size="$size" -v runs="$runs" -v helper="$(m helper_hash)" -v sum="$(m sha256sum)" \
    -v ossl="$(m openssl)" -v bare="$(m bare_launch)" -v start="$(m start)" \
    -v restart="$(m restart)" -v stop="$(m stop)" \
    -v start_ratio="$(ratios start | median)" -v restart_ratio="$(ratios restart | median)" \
    -v start_spread="$(spread start)" -v restart_spread="$(spread restart)" 'BEGIN {
  mib = size / 1048576
  printf "Core file: %d MiB; medians of %d rounds, each ratio the median of the ratios round by round\n\n", mib, runs
  printf "| What | Time (ms) | / (hash + bare launch) | its quartiles |\n|---|---|---|---|\n"
  printf "| floor: openssl dgst -sha256 (native, with its process start) | %.1f | | |\n", ossl * 1000
  printf "| floor: bare launch (suspended create, job, assign, resume) | %.1f | | |\n", bare * 1000
  printf "| start, nothing held (hash, launch, confinement) | %.1f | %.2f | %s |\n", start * 1000, start_ratio, start_spread
  printf "| start, Core held (release, hash, launch, confinement) | %.1f | %.2f | %s |\n", restart * 1000, restart_ratio, restart_spread
  printf "| stop (terminate, poll, discard) | %.2f | | |\n", stop * 1000
  printf "\n| Hash of the file | Time (ms) | Throughput (MiB/s) | its time / the Helper'"'"'s |\n|---|---|---|---|\n"
  printf "| Helper SHA-256 (4096-byte reads, under Wine) | %.1f | %.0f | 1.00 |\n", helper * 1000, mib / helper
  printf "| sha256sum (native) | %.1f | %.0f | %.2f |\n", sum * 1000, mib / sum, sum / helper
  printf "| openssl dgst -sha256 (native) | %.1f | %.0f | %.2f |\n", ossl * 1000, mib / ossl, ossl / helper
  printf "\nThe Helper and the bare launch are timed inside one process under Wine; the native\n"
  printf "tools are timed from outside and include their process start.\n"
}'
