#!/usr/bin/env bash
# Memory soak: the resident set (VmRSS) of the Helper's HTTP connections (release build, real
# router) after 10,000, 100,000 and 1,000,000 requests carried by one connection, over cleartext
# HTTP/2 and over persistent HTTP/1.1, one request at a time (h2load -c1 -m1). Each protocol gets
# a fresh server, which prints its own VmRSS when the count-th GET /ping reaches it. Prints a
# table with the growth between the last two counts (target: under 1 MB).
# Then the open-streams case: one HTTP/2 connection opens 100, then 1,000, then 20,000 streams in
# all (POST /stop declaring a 4,000-byte body, HEADERS without END_STREAM, nothing after;
# bench/h2_open_streams.cpp), and the server's VmRSS is read after each (target: under 1 MB of
# growth from 1,000 to 20,000, the streams over the announced limit being refused).
# Usage: bench/http_soak.sh [build dir] (default build/http-bench); STEPS="10000 100000 1000000"
# sets the request counts, OPEN_STEPS="100 1000 20000" the stream counts, CASES="requests
# streams" which cases run. Installs nghttp2-client (h2load) if it is missing.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/http-bench}
read -r -a steps <<<"${STEPS:-10000 100000 1000000}"
read -r -a open_steps <<<"${OPEN_STEPS:-100 1000 20000}"
cases=" ${CASES:-requests streams} "
last=${steps[${#steps[@]} - 1]}
previous=${steps[${#steps[@]} - 2]:-0}

if ! command -v h2load >/dev/null; then
  apt-get update -q >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends nghttp2-client >/dev/null
fi

echo "building http_bench_server and h2_open_streams (Release) in $build" >&2
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDROVANE_SANITIZE= >/dev/null
cmake --build "$build" -j2 --target http_bench_server h2_open_streams >/dev/null

work=$(mktemp -d)
server_pid=""
client_pid=""
cleanup() {
  if [[ -n $client_pid ]]; then
    exec 4>&- 5<&- || true  # the client closes its connection once its standard input closes
    wait "$client_pid" 2>/dev/null || true
  fi
  if [[ -n $server_pid ]]; then
    exec 3>&- || true  # the server drains and ends once its standard input closes
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# One soak with the given h2load protocol options; sets `figures` to the VmRSS at start and at
# each step, then the seconds it took.
soak() {
  rm -f "$work/in" "$work/server.out"
  mkfifo "$work/in"
  "$build/bench/http_bench_server" "${steps[@]}" <"$work/in" >"$work/server.out" &
  server_pid=$!
  exec 3>"$work/in"
  for _ in $(seq 50); do [[ -s $work/server.out ]] && break; sleep 0.1; done
  local port
  read -r port _ <"$work/server.out"
  local start_kb
  start_kb=$(awk '/^VmRSS:/ { print $2 }' "/proc/$server_pid/status")
  local began=$SECONDS out
  out=$(h2load "$@" -n "$last" -c 1 -m 1 -t 1 \
    "http://127.0.0.1:$port/ping?coreSha256=$(printf '0%.0s' {1..64})" 3>&-)
  local failed
  failed=$(sed -n 's/^requests: .* \([0-9]*\) failed.*/\1/p' <<<"$out")
  [[ ${failed:-1} == 0 ]] || { echo "h2load reported failures:" >&2; echo "$out" >&2; exit 1; }
  local seconds=$((SECONDS - began))
  exec 3>&-
  wait "$server_pid"
  server_pid=""
  figures=("$start_kb")
  for step in "${steps[@]}"; do
    local kb
    kb=$(awk -v n="$step" '$1 == n { print $2 }' "$work/server.out")
    [[ -n $kb ]] || { echo "the server reported no VmRSS after $step requests" >&2; exit 1; }
    figures+=("$kb")
  done
  figures+=("$seconds")
}

# The open-streams case; sets `opened` to the VmRSS at start and after each count, then the
# streams refused in all.
open_streams() {
  rm -f "$work/in" "$work/server.out" "$work/client.in" "$work/client.out"
  mkfifo "$work/in" "$work/client.in" "$work/client.out"
  "$build/bench/http_bench_server" <"$work/in" >"$work/server.out" &
  server_pid=$!
  exec 3>"$work/in"
  for _ in $(seq 50); do [[ -s $work/server.out ]] && break; sleep 0.1; done
  local port
  read -r port _ <"$work/server.out"
  opened=("$(awk '/^VmRSS:/ { print $2 }' "/proc/$server_pid/status")")
  "$build/bench/h2_open_streams" "$port" "${open_steps[@]}" <"$work/client.in" \
    >"$work/client.out" 3>&- &
  client_pid=$!
  exec 4>"$work/client.in" 5<"$work/client.out"
  local count refused=0
  for _ in "${open_steps[@]}"; do
    read -r count refused <&5 || { echo "the open-streams client failed" >&2; exit 1; }
    opened+=("$(awk '/^VmRSS:/ { print $2 }' "/proc/$server_pid/status")")
    echo >&4
  done
  opened+=("$refused")
  exec 4>&- 5<&-
  wait "$client_pid"
  client_pid=""
  exec 3>&-
  wait "$server_pid"
  server_pid=""
}

row() { printf '%-9s' "$1"; shift; printf ' %10s' "$@"; printf '\n'; }

if [[ $cases == *" requests "* ]]; then
  soak
  h2=("${figures[@]}")
  soak --h1
  h1=("${figures[@]}")

  echo
  echo "VmRSS in kB of the release server, GET /ping over one connection, one request at a time"
  header=(start)
  for step in "${steps[@]}"; do header+=("$step"); done
  row protocol "${header[@]}" "growth" "seconds"
  for protocol in HTTP/2 HTTP/1.1; do
    if [[ $protocol == HTTP/2 ]]; then figures=("${h2[@]}"); else figures=("${h1[@]}"); fi
    n=${#figures[@]}
    growth=$((figures[n - 2] - figures[n - 3]))
    row "$protocol" "${figures[@]:0:n-1}" "$growth" "${figures[n - 1]}"
  done
  echo "(growth = VmRSS after $last requests less VmRSS after $previous; target under 1024 kB)"
fi

if [[ $cases == *" streams "* ]]; then
  open_streams
  echo
  echo "VmRSS in kB of the release server, HTTP/2 streams opened on one connection and left open"
  header=(start)
  for step in "${open_steps[@]}"; do header+=("$step"); done
  n=${#opened[@]}
  row streams "${header[@]}" "growth" "refused"
  row HTTP/2 "${opened[@]:0:n-1}" "$((opened[n - 2] - opened[n - 3]))" "${opened[n - 1]}"
  echo "(growth = VmRSS after ${open_steps[-1]} streams less VmRSS after ${open_steps[-2]}; target under 1024 kB)"
fi
