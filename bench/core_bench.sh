#!/usr/bin/env bash
# Core supervision benchmark against its floor, in one run. For a 64 MiB Core file (the sample
# Core padded with random bytes): the time of a start (hash, launch, confinement), of a start that
# releases a held Core first, and of a stop; beside them the floor of a start on the same file:
# the hash time of `openssl dgst -sha256` and a bare launch (created suspended, job, assign,
# resume; timed inside a Windows process under Wine, as the start is). Prints start / (hash +
# bare launch), and the Helper's SHA-256 throughput beside sha256sum and openssl.
# Usage: bench/core_bench.sh [mingw build dir] (default build/mingw; core_bench is built first).
# RUNS (default 11) sets the repetitions; every figure is their median.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$root/build/mingw}" && pwd)
runs=${RUNS:-11}
echo "building core_bench in $build" >&2
cmake --build "$build" -j2 --target core_bench >/dev/null
bench_exe=$build/tests/core/core_bench.exe

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
core=$work/DrovaneCore.exe
size=$((64 * 1024 * 1024))
cp "$build/tests/core/DrovaneCore.exe" "$core"
head -c $((size - $(stat -c %s "$core"))) /dev/urandom >>"$core"

median_time() {  # prints the median wall time of $runs runs of "$@", in seconds
  local t0 t1 times=()
  for _ in $(seq "$runs"); do
    t0=$(date +%s%N)
    "$@" >/dev/null
    t1=$(date +%s%N)
    times+=($((t1 - t0)))
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{ v[NR] = $1 } END {
    m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.6f", m / 1e9 }'
}

expected=$(sha256sum "$core" | cut -d' ' -f1)  # also brings the file into the page cache
"$build/wine-run" cmd.exe /c exit </dev/null >/dev/null 2>&1
win_core="Z:${core//\//\\}"  # Wine shows the Unix root as drive Z:
out=$("$build/wine-run" "$bench_exe" "$win_core" "$runs" </dev/null 2>&1 | tr -d '\r')
value() { awk -v k="$1" '$1 == k { print $2 }' <<<"$out"; }
[[ $(value digest) == "$expected" ]] || {
  printf 'core_bench.sh: the Helper digest differs from sha256sum %s:\n%s\n' "$expected" "$out" >&2
  exit 1
}
# The native tools run after the Helper's run, with the file as warm as it was for the Helper.
sha256sum_s=$(median_time sha256sum "$core")
openssl_s=$(median_time openssl dgst -sha256 "$core")

awk -v size="$size" -v runs="$runs" -v helper="$(value helper_hash_seconds)" \
    -v sum="$sha256sum_s" -v ossl="$openssl_s" -v bare="$(value bare_launch_seconds)" \
    -v start="$(value start_seconds)" -v restart="$(value restart_seconds)" \
    -v stop="$(value stop_seconds)" 'BEGIN {
  mib = size / 1048576
  floor = ossl + bare
  printf "Core file: %d MiB, medians of %d runs\n\n", mib, runs
  printf "| What | Time (ms) | / floor |\n|---|---|---|\n"
  printf "| floor: openssl dgst -sha256 (native, with its process start) | %.1f | |\n", ossl * 1000
  printf "| floor: bare launch (suspended create, job, assign, resume) | %.1f | |\n", bare * 1000
  printf "| floor: hash + bare launch | %.1f | 1.00 |\n", floor * 1000
  printf "| start, nothing held (hash, launch, confinement) | %.1f | %.2f |\n", start * 1000, start / floor
  printf "| start, Core held (release, hash, launch, confinement) | %.1f | %.2f |\n", restart * 1000, restart / floor
  printf "| stop (terminate, poll, discard) | %.2f | |\n", stop * 1000
  printf "\n| Hash of the file | Time (ms) | Throughput (MiB/s) | its time / the Helper'"'"'s |\n|---|---|---|---|\n"
  printf "| Helper SHA-256 (4096-byte reads, under Wine) | %.1f | %.0f | 1.00 |\n", helper * 1000, mib / helper
  printf "| sha256sum (native) | %.1f | %.0f | %.2f |\n", sum * 1000, mib / sum, sum / helper
  printf "| openssl dgst -sha256 (native) | %.1f | %.0f | %.2f |\n", ossl * 1000, mib / ossl, ossl / helper
  printf "\nThe Helper and the bare launch are timed inside one process under Wine; the native\n"
  printf "tools are timed from outside and include their process start.\n"
}'
