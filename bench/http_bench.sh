#!/usr/bin/env bash
# HTTP benchmark on loopback: requests per second and p50/p99 latency of GET /logs from the
# Helper's HTTP connections (release build, real router) over persistent HTTP/1.1 and over
# cleartext HTTP/2, beside nginx serving a static file of the same size in the same run.
# Both are driven by h2load (--h1 for HTTP/1.1) with the same settings; latencies come from
# h2load's per-request log. The measurements run in ROUNDS interleaved rounds (Helper and nginx
# take turns going first), and the table gives the median of each figure over the rounds.
# Usage: bench/http_bench.sh [build dir] (default build/http-bench); ROUNDS (default 5) and
# REQUESTS (per measurement, default 100000) in the environment.
# Installs nginx-light, nghttp2-client and python3 if they are missing (without starting nginx's
# service).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/http-bench}
requests=${REQUESTS:-100000}   # per measurement
rounds=${ROUNDS:-5}
h1_clients=64                  # HTTP/1.1: 64 connections, one request at a time each
h2_clients=8 h2_streams=8      # HTTP/2: 8 connections, 8 concurrent streams each

need=()
command -v h2load >/dev/null || need+=(nghttp2-client)
command -v nginx >/dev/null || [[ -x /usr/sbin/nginx ]] || need+=(nginx-light)
command -v python3 >/dev/null || need+=(python3)  # picks free ports for nginx
if ((${#need[@]})); then
  made_policy=""
  if [[ ! -e /usr/sbin/policy-rc.d ]]; then  # keep the package from starting nginx on port 80
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d && chmod +x /usr/sbin/policy-rc.d
    made_policy=1
  fi
  apt-get update -q >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${need[@]}" >/dev/null
  [[ -n $made_policy ]] && rm -f /usr/sbin/policy-rc.d
fi
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)

echo "building http_bench_server (Release) in $build" >&2
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDROVANE_SANITIZE= >/dev/null
cmake --build "$build" -j2 --target http_bench_server >/dev/null

work=$(mktemp -d)
chmod 755 "$work"
server_pid="" nginx_started=""
cleanup() {
  if [[ -n $nginx_started && -f $work/nginx.pid ]]; then
    kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
    sleep 0.5
  fi
  if [[ -n $server_pid ]]; then
    exec 3>&- || true  # the server drains and ends once its standard input closes
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# The Helper's server: prints its port and the /logs body size, ends when its stdin closes.
mkfifo "$work/in"
"$build/bench/http_bench_server" <"$work/in" >"$work/server.out" &
server_pid=$!
exec 3>"$work/in"
for _ in $(seq 50); do [[ -s $work/server.out ]] && break; sleep 0.1; done
read -r helper_port body_size <"$work/server.out"

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
nginx_h1=$(free_port)
nginx_h2=$(free_port)
head -c "$body_size" /dev/zero | tr '\0' 'x' >"$work/logs.txt"
chmod 644 "$work/logs.txt"
cat >"$work/nginx.conf" <<CONF
worker_processes 2;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/body; proxy_temp_path $work/proxy;
  fastcgi_temp_path $work/fastcgi; uwsgi_temp_path $work/uwsgi; scgi_temp_path $work/scgi;
  keepalive_requests 1000000;
  server {
    listen 127.0.0.1:$nginx_h1;
    location = /logs { default_type text/plain; alias $work/logs.txt; }
  }
  server {
    listen 127.0.0.1:$nginx_h2 http2;
    location = /logs { default_type text/plain; alias $work/logs.txt; }
  }
}
CONF
"$nginx_bin" -c "$work/nginx.conf" -e "$work/nginx-error.log" 3>&-  # keeps no end of the fifo
nginx_started=1
sleep 0.5

# One measurement: prints "req/s p50_ms p99_ms" from h2load's summary and per-request log.
measure() {
  local log=$work/requests.log out
  rm -f "$log"
  out=$(timeout 120 h2load -t 1 --log-file="$log" "$@" 3>&-)
  local rps
  rps=$(sed -n 's/^finished in .*, \([0-9.]*\) req\/s.*/\1/p' <<<"$out")
  local failed
  failed=$(sed -n 's/^requests: .* \([0-9]*\) failed.*/\1/p' <<<"$out")
  [[ ${failed:-1} == 0 ]] || { echo "h2load reported failures:" >&2; echo "$out" >&2; exit 1; }
  cut -f3 "$log" | sort -n | awk -v rps="$rps" '
    { v[NR] = $1 }
    END {
      p50 = v[int(NR * 0.50) > 0 ? int(NR * 0.50) : 1]
      p99 = v[int(NR * 0.99) > 0 ? int(NR * 0.99) : 1]
      printf "%.0f %.3f %.3f\n", rps, p50 / 1000, p99 / 1000
    }'
}

h1_args=(--h1 -n "$requests" -c "$h1_clients" -m 1)
h2_args=(-n "$requests" -c "$h2_clients" -m "$h2_streams")
# A short warm-up of each server and protocol, not measured.
for url in "http://127.0.0.1:$helper_port/logs" "http://127.0.0.1:$nginx_h1/logs"; do
  timeout 60 h2load --h1 -n 2000 -c 8 "$url" >/dev/null
done
for url in "http://127.0.0.1:$helper_port/logs" "http://127.0.0.1:$nginx_h2/logs"; do
  timeout 60 h2load -n 2000 -c 2 -m 4 "$url" >/dev/null
done

# Each series collects one "req/s p50 p99" line per round.
series() { echo "$work/series-$1"; }
for ((round = 1; round <= rounds; round++)); do
  if ((round % 2)); then order=(helper nginx); else order=(nginx helper); fi
  for protocol in h1 h2; do
    for server in "${order[@]}"; do
      case $protocol-$server in
        h1-helper) url=http://127.0.0.1:$helper_port/logs ;;
        h1-nginx) url=http://127.0.0.1:$nginx_h1/logs ;;
        h2-helper) url=http://127.0.0.1:$helper_port/logs ;;
        h2-nginx) url=http://127.0.0.1:$nginx_h2/logs ;;
      esac
      if [[ $protocol == h1 ]]; then args=("${h1_args[@]}"); else args=("${h2_args[@]}"); fi
      measure "${args[@]}" "$url" >>"$(series "$protocol-$server")"
    done
  done
  echo "round $round of $rounds done" >&2
done

# The median of column $2 of file $1 (the mean of the middle two for an even count).
median() {
  cut -d' ' -f"$2" "$1" | sort -g | awk '
    { v[NR] = $1 }
    END { m = int((NR + 1) / 2); printf "%s\n", (NR % 2 ? v[m] : (v[m] + v[m + 1]) / 2) }'
}
medians() { echo "$(median "$1" 1) $(median "$1" 2) $(median "$1" 3)"; }
read -r h1_rps h1_p50 h1_p99 <<<"$(medians "$(series h1-helper)")"
read -r n1_rps n1_p50 n1_p99 <<<"$(medians "$(series h1-nginx)")"
read -r h2_rps h2_p50 h2_p99 <<<"$(medians "$(series h2-helper)")"
read -r n2_rps n2_p50 n2_p99 <<<"$(medians "$(series h2-nginx)")"

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
echo
echo "GET /logs, body $body_size bytes, medians of $rounds interleaved rounds of $requests requests,"
echo "loopback, $(nproc) cores shared by client and server"
echo "HTTP/1.1: $h1_clients persistent connections; HTTP/2: $h2_clients connections x $h2_streams streams"
printf '%-9s %-7s %10s %9s %9s\n' protocol server "req/s" "p50 ms" "p99 ms"
printf '%-9s %-7s %10s %9s %9s\n' HTTP/1.1 Helper "$h1_rps" "$h1_p50" "$h1_p99"
printf '%-9s %-7s %10s %9s %9s\n' HTTP/1.1 nginx "$n1_rps" "$n1_p50" "$n1_p99"
printf '%-9s %-7s %10s %9s %9s\n' HTTP/1.1 ratio "$(ratio "$h1_rps" "$n1_rps")" \
  "$(ratio "$h1_p50" "$n1_p50")" "$(ratio "$h1_p99" "$n1_p99")"
printf '%-9s %-7s %10s %9s %9s\n' HTTP/2 Helper "$h2_rps" "$h2_p50" "$h2_p99"
printf '%-9s %-7s %10s %9s %9s\n' HTTP/2 nginx "$n2_rps" "$n2_p50" "$n2_p99"
printf '%-9s %-7s %10s %9s %9s\n' HTTP/2 ratio "$(ratio "$h2_rps" "$n2_rps")" \
  "$(ratio "$h2_p50" "$n2_p50")" "$(ratio "$h2_p99" "$n2_p99")"
echo "(ratio = Helper / nginx: above 1 is more requests per second, or a longer latency)"
