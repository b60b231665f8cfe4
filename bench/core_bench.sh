#!/usr/bin/env bash
# Core supervision benchmark: for a 64 MiB Core file (the sample Core padded with random bytes),
# the time of a start (release of a held Core, hash, launch, confinement) and of a stop, and the
# Helper's SHA-256 throughput beside sha256sum and `openssl dgst -sha256` on the same file.
# Usage: bench/core_bench.sh [mingw build dir] (default build/mingw; it must have built
# core_bench). Each figure is the best of three runs.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$root/build/mingw}" && pwd)
bench_exe=$build/tests/core/core_bench.exe
[[ -x $build/wine-run && -f $bench_exe ]] || {
  echo "core_bench.sh: build core_bench in $build first" >&2
  exit 1
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
core=$work/DrovaneCore.exe
size=$((64 * 1024 * 1024))
cp "$build/tests/core/DrovaneCore.exe" "$core"
head -c $((size - $(stat -c %s "$core"))) /dev/urandom >>"$core"

best_of_three() {  # prints the best wall time of three runs of "$@", in seconds
  local best="" t0 t1 t
  for _ in 1 2 3; do
    t0=$(date +%s%N)
    "$@" >/dev/null
    t1=$(date +%s%N)
    t=$((t1 - t0))
    if [[ -z $best || $t -lt $best ]]; then best=$t; fi
  done
  awk -v ns="$best" 'BEGIN { printf "%.6f", ns / 1e9 }'
}

sha256sum_s=$(best_of_three sha256sum "$core")
openssl_s=$(best_of_three openssl dgst -sha256 "$core")
expected=$(sha256sum "$core" | cut -d' ' -f1)

out=$("$build/wine-run" "$bench_exe" "$(winepath -w "$core" 2>/dev/null || echo "Z:${core//\//\\}")" 3 |
  tr -d '\r')
value() { awk -v k="$1" '$1 == k { print $2 }' <<<"$out"; }
[[ $(value digest) == "$expected" ]] || {
  echo "core_bench.sh: the Helper's digest $(value digest) differs from sha256sum's $expected" >&2
  exit 1
}
helper_s=$(value helper_hash_seconds)

awk -v size="$size" -v helper="$helper_s" -v sum="$sha256sum_s" -v ossl="$openssl_s" \
    -v start="$(value start_seconds)" -v restart="$(value restart_seconds)" \
    -v stop="$(value stop_seconds)" 'BEGIN {
  mib = size / 1048576
  printf "Core file: %d MiB (best of 3 runs each)\n\n", mib
  printf "| What | Time (ms) | Throughput (MiB/s) | Helper speed / its speed |\n|---|---|---|---|\n"
  printf "| Helper SHA-256 (4096-byte reads, under Wine) | %.1f | %.0f | 1.00 |\n", helper * 1000, mib / helper
  printf "| sha256sum | %.1f | %.0f | %.2f |\n", sum * 1000, mib / sum, sum / helper
  printf "| openssl dgst -sha256 | %.1f | %.0f | %.2f |\n", ossl * 1000, mib / ossl, ossl / helper
  printf "| start, nothing held (hash, launch, confinement) | %.1f | | |\n", start * 1000
  printf "| start, Core held (release, hash, launch, confinement) | %.1f | | |\n", restart * 1000
  printf "| stop (terminate, poll, discard) | %.2f | | |\n", stop * 1000
  printf "\nAbove 1 the Helper hashes faster than that tool. sha256sum and openssl run natively and\n"
  printf "include their process start; the Helper runs under Wine and is timed inside the process.\n"
}'
