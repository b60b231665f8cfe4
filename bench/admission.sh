#!/usr/bin/env bash
# Admission under load, under Wine: the time from connect to the first reply byte of GET /ping on
# a new connection (timed inside the owner's client program, so Wine's program start is not
# counted) and the share of the owner's requests answered, in five settings in one run: quiet;
# with HELD extra loopback connections held open by a native process; with a native process
# connecting to the Helper's port as fast as it can (another account, as the Helper sees it:
# under Wine a Linux process owns no row it can trace); the same flood with every other
# connection reset while it waits in the backlog; and the held connections with the plain
# flood. Prints a Markdown table with the ratios to quiet.
# Usage: bench/admission.sh [mingw build dir] (default build/mingw, configured if new).
# REQUESTS (default 20) pings per setting, TIMEOUT (s, default 30) for one ping, BUDGET (s,
# default 120) per setting, after which no new ping is started; HELD (default 10000).
# BEFORE=<dir holding another DrovaneHelper.exe> measures that build too, in the same run, and
# prints its rows beside this build's (for a before/after comparison).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [[ -z ${1:-} && ! -f $root/build/mingw/CMakeCache.txt ]]; then
  (cd "$root" && cmake --preset mingw >/dev/null)  # a fresh clone: configure the default tree
fi
build=$(cd "${1:-$root/build/mingw}" && pwd)
requests=${REQUESTS:-20}
timeout=${TIMEOUT:-30}
budget=${BUDGET:-120}
held=${HELD:-10000}
echo "building DrovaneHelper, DrovaneHelperClient and admission_client in $build" >&2
cmake --build "$build" -j2 --target DrovaneHelper DrovaneHelperClient admission_client >/dev/null

export WINEPREFIX=$build/admission-prefix
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
work=$(mktemp -d)
log=$work/wine.log
loads=()
installed=
finish() {
  local status=$?
  for pid in "${loads[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [[ -n $installed ]]; then
    wine "$installed/DrovaneHelperClient.exe" uninstall </dev/null >>"$log" 2>&1 || true
  fi
  wineserver -k >/dev/null 2>&1 || true
  if ((status)) && [[ -s $log ]]; then
    tr -d '\r' <"$log" >&2
  fi
  rm -rf "$work"
}
trap finish EXIT
if [[ ! -f $WINEPREFIX/.drovane-ready ]]; then
  wineboot -i >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.drovane-ready"
fi
wineserver -p >/dev/null 2>&1
wine cmd.exe /c exit </dev/null >/dev/null 2>&1

# Each Helper measured lies in a directory of its own with the client that installs it.
versions=(this)
mkdir -p "$work/this"
cp "$build/bin/DrovaneHelper.exe" "$build/bin/DrovaneHelperClient.exe" "$work/this/"
if [[ -n ${BEFORE:-} ]]; then
  versions=(before this)
  mkdir -p "$work/before"
  cp "$BEFORE/DrovaneHelper.exe" "$build/bin/DrovaneHelperClient.exe" "$work/before/"
fi
client_exe=$build/bench/admission_client.exe
load=$root/bench/admission_load.py

helper_port() {
  local hex
  hex=$(wine reg.exe query 'HKLM\SYSTEM\CurrentControlSet\Services\DrovaneHelperService\Runtime' \
    /v Port </dev/null 2>/dev/null | tr -d '\r' | awk '$1 == "Port" { print $3 }')
  [[ -n $hex ]] && echo $((hex))
}
start_hold() {
  coproc HOLD { exec python3 "$load" hold "$held"; }
  loads+=("$HOLD_PID")
  hold_pid=$HOLD_PID
  local line
  read -r line <&"${HOLD[0]}"
  [[ $line == ready ]] || { echo "admission.sh: the held connections did not open" >&2; exit 1; }
}
# measure <version> <setting> <port>: runs the owner's pings; appends "<version> <setting>
# <answered> <made> <median> <p99> <flood connections>" to $work/results
measure() {
  local version=$1 setting=$2 port=$3 flood_pid= out
  if [[ $setting == flood || $setting == resets || $setting == both ]]; then
    local mode=flood
    [[ $setting == resets ]] && mode=resets
    python3 "$load" "$mode" "$port" >"$work/flood.out" &
    flood_pid=$!
    loads+=("$flood_pid")
    sleep 2  # the flood is under way before the first ping
  fi
  echo "  $version, $setting: $requests pings (timeout ${timeout}s, budget ${budget}s)" >&2
  out=$(wine "$client_exe" "$port" "$requests" $((timeout * 1000)) $((budget * 1000)) \
    </dev/null 2>>"$log" | tr -d '\r')
  local floods=-
  if [[ -n $flood_pid ]]; then
    kill "$flood_pid"
    wait "$flood_pid" || true
    floods=$(awk '{ printf "%.0f", $1 / $2 }' "$work/flood.out")  # connections per second
  fi
  local made
  made=$(grep -c . <<<"$out" || true)
  # The answered times in ascending order, then their median and 99th percentile (nearest rank).
  { grep '^ms ' <<<"$out" || true; } | cut -d' ' -f2 | sort -g | awk -v version="$version" \
    -v setting="$setting" -v made="$made" -v floods="$floods" '
    { v[++n] = $1 }
    END {
      median = n ? (n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2) : -1
      rank = int(0.99 * n); if (rank < 0.99 * n) rank++
      p99 = n ? v[rank] : -1
      printf "%s %s %d %d %.3f %.3f %s\n", version, setting, n, made, median, p99, floods
    }' | tee -a "$work/results" >&2
}

for version in "${versions[@]}"; do
  echo "installing the Helper ($version)" >&2
  wine "$work/$version/DrovaneHelperClient.exe" install </dev/null >>"$log" 2>&1
  installed=$work/$version
  port=$(helper_port)
  [[ -n $port ]] || { echo "admission.sh: no published port" >&2; exit 1; }
  measure "$version" quiet "$port"
  measure "$version" flood "$port"
  measure "$version" resets "$port"
  start_hold
  measure "$version" held "$port"
  measure "$version" both "$port"
  kill "$hold_pid"
  wait "$hold_pid" || true
  # A Helper that judges on its accepting task (an earlier build) answers the stop only after the
  # flood's backlog; when the uninstall gives up waiting, the prefix's processes are ended and the
  # service, started again by the new wineserver, is uninstalled idle.
  if ! wine "$installed/DrovaneHelperClient.exe" uninstall </dev/null >>"$log" 2>&1; then
    echo "  the Helper did not stop in time; ending the prefix's processes" >&2
    wineserver -k >/dev/null 2>&1 || true
    wineserver -p >/dev/null 2>&1
    wine "$installed/DrovaneHelperClient.exe" uninstall </dev/null >>"$log" 2>&1
  fi
  installed=
  # The held and the flood's connections leave their rows in TIME_WAIT for 60 s, and every row
  # slows a table read under Wine: the next Helper's quiet setting waits for them to go.
  [[ $version == "${versions[-1]}" ]] || sleep 65
done

awk -v held="$held" -v requests="$requests" -v timeout="$timeout" -v budget="$budget" '
  { key = $1 " " $2; answered[key] = $3; made[key] = $4; med[key] = $5; p99[key] = $6
    floods[key] = $7; if (!($1 in seen)) { seen[$1] = 1; order[++nv] = $1 } }
  END {
    split("quiet held flood resets both", settings, " ")
    name["quiet"] = "quiet"
    name["held"] = sprintf("%d extra loopback connections held open", held)
    name["flood"] = "a native process connecting to the port as fast as it can"
    name["resets"] = "the same, every other connection reset in the backlog"
    name["both"] = "held and flood"
    printf "Owner pings on new connections, connect to first reply byte (ms); up to %d per setting, ", requests
    printf "timeout %d s each, budget %d s per setting\n\n", timeout, budget
    printf "| Helper | Setting | answered | median | p99 | median / quiet | p99 / quiet | flood connections/s |\n"
    printf "|---|---|---|---|---|---|---|---|\n"
    for (i = 1; i <= nv; i++) {
      q = order[i] " quiet"
      for (j = 1; j <= 5; j++) {
        k = order[i] " " settings[j]
        printf "| %s | %s | %d/%d | %s | %s | %s | %s | %s |\n", order[i], name[settings[j]],
          answered[k], made[k], answered[k] ? sprintf("%.1f", med[k]) : "-",
          answered[k] ? sprintf("%.1f", p99[k]) : "-",
          (answered[q] && answered[k]) ? sprintf("%.2f", med[k] / med[q]) : "-",
          (answered[q] && answered[k]) ? sprintf("%.2f", p99[k] / p99[q]) : "-", floods[k]
      }
    }
  }' "$work/results"
