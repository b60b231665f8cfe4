#!/usr/bin/env bash
# Idle footprint under Wine: the Helper as packaged (stripped, installed by its client) and a
# bare service (registers with the SCM, reports running, waits for STOP), each installed under a
# Wine prefix of its own. Each round watches both twice over the same quiet window: once start-up
# has settled (fresh), and again after a session of use of the Helper (after use): pings, starts
# and stops of the sample Core with its output, logs, REQUESTS requests over HTTP/1.1 and HTTP/2
# from a Windows program of the owner (bench/use_client.cpp), and REFUSED connections from Linux
# (another account, as the Helper sees it), then SETTLE seconds of quiet. Each window gives
# resident and private memory, threads, CPU time and context switches, with the ratio
# Helper / bare. Every figure is the median of RUNS install-watch-use-watch-uninstall rounds.
# Usage: bench/idle_footprint.sh [mingw build dir] (default build/mingw, configured if new;
# what it runs is built first, with the rest of the package that `cmake --install` copies).
# RUNS (default 3), SETTLE (seconds after start and after use, default 15), WINDOW (seconds
# watched, default 60), USE_ROUNDS (ping-start-logs-stop rounds, default 3), REQUESTS (default
# 1000) and REFUSED (default 5) change the rounds; BREAKDOWN=1 also prints where each one's
# resident memory lies in each phase.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [[ -z ${1:-} && ! -f $root/build/mingw/CMakeCache.txt ]]; then
  (cd "$root" && cmake --preset mingw >/dev/null)  # a fresh clone: configure the default tree
fi
build=$(cd "${1:-$root/build/mingw}" && pwd)
runs=${RUNS:-3} settle=${SETTLE:-15} window=${WINDOW:-60}
use_rounds=${USE_ROUNDS:-3} requests=${REQUESTS:-1000} refused=${REFUSED:-5}
[[ -f $build/CMakeCache.txt ]] || {
  echo "idle_footprint.sh: configure $build first (cmake --preset mingw)" >&2
  exit 1
}

echo "building DrovaneHelper, DrovaneHelperClient, bare_service and use_client in $build" >&2
cmake --build "$build" -j2 --target DrovaneHelper DrovaneHelperClient drovane_helper_client_dll \
  drovane_helper_client drovane_sample_core \
  bare_service use_client >/dev/null
strip_tool=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$build/CMakeCache.txt")

work=$(mktemp -d)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
helper_prefix=$build/footprint-helper-prefix
bare_prefix=$build/footprint-bare-prefix
installed=()
cleanup() {
  local status=$?
  if ((status)) && [[ -s $work/wine.log ]]; then
    echo "idle_footprint.sh: failed; Wine's output:" >&2
    tr -d '\r' <"$work/wine.log" >&2
  fi
  for name in "${installed[@]}"; do uninstall_"$name" || true; done
  WINEPREFIX=$helper_prefix wineserver -k >/dev/null 2>&1 || true
  WINEPREFIX=$bare_prefix wineserver -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# The package's files, stripped as CPack strips them; the bare service stripped the same way.
cmake --install "$build" --prefix "$work/helper" --strip >/dev/null
# The session of use starts the sample Core, whose digest the default build embeds.
[[ -f $build/bin/DrovaneCore.exe ]] || {
  echo "idle_footprint.sh: $build embeds another Core's digest than the sample's" >&2
  exit 1
}
cp "$build/bin/DrovaneCore.exe" "$work/helper/"
core_digest=$(sha256sum "$build/bin/DrovaneCore.exe" | cut -d' ' -f1)
mkdir "$work/bare"
"$strip_tool" -o "$work/bare/bare_service.exe" "$build/bench/bare_service.exe"

# A prefix of its own for each, made once and kept in the build tree. Its wineserver is kept up
# (Wine ends service processes with the last ordinary process otherwise), and Wine's background
# processes keep the streams of whoever started them: start them with /dev/null streams.
for prefix in "$helper_prefix" "$bare_prefix"; do
  if [[ ! -f $prefix/.drovane-ready ]]; then
    WINEPREFIX=$prefix wineboot -i >/dev/null 2>&1
    WINEPREFIX=$prefix wineserver -w
    touch "$prefix/.drovane-ready"
  fi
  WINEPREFIX=$prefix wineserver -p >/dev/null 2>&1 || true  # 2 when it is up already
  WINEPREFIX=$prefix wine cmd.exe /c exit </dev/null >/dev/null 2>&1
done

log=$work/wine.log
in_helper() { WINEPREFIX=$helper_prefix wine "$@" </dev/null >>"$log" 2>&1; }
in_bare() { WINEPREFIX=$bare_prefix wine "$@" </dev/null >>"$log" 2>&1; }
bare_exe="Z:${work//\//\\}\\bare\\bare_service.exe"  # Wine shows the Unix root as drive Z:

install_helper() { in_helper "$work/helper/DrovaneHelperClient.exe" install; }
uninstall_helper() { in_helper "$work/helper/DrovaneHelperClient.exe" uninstall; }
install_bare() {
  in_bare sc.exe delete DrovaneBareService || true  # left over from an interrupted run
  in_bare sc.exe create DrovaneBareService binpath= "$bare_exe" && in_bare sc.exe start DrovaneBareService
}
uninstall_bare() {
  in_bare sc.exe stop DrovaneBareService || true
  sleep 1
  in_bare sc.exe delete DrovaneBareService
}

# The Linux process of a service: its command line is the Windows one, which begins with the
# executable under this run's own directory (the installers name it later in theirs).
service_pid() {  # service_pid <executable name>
  local file program
  for _ in $(seq 100); do
    for file in $(grep -lsaF "${work##*/}" /proc/[0-9]*/cmdline); do
      program=$(tr '\0' ' ' <"$file" 2>/dev/null | cut -d' ' -f1 | tr -d '"')
      if [[ $program == *"${work##*/}"*"$1" ]]; then
        file=${file#/proc/}
        echo "${file%/cmdline}"
        return
      fi
    done
    sleep 0.1
  done
  echo "idle_footprint.sh: no running $1 found" >&2
  return 1
}

# The prefix's wineserver: it runs in the server directory named after the prefix's device and
# inode. Wake-ups the service causes through server objects (timers, waits) show there.
wineserver_pid() {  # wineserver_pid <prefix>
  local dir pid
  dir=$(printf 'server-%x-%x' "$(stat -c %d "$1")" "$(stat -c %i "$1")")
  for pid in $(pgrep -x 'wineserver(64)?'); do
    if [[ $(readlink "/proc/$pid/cwd") == */"$dir" ]]; then
      echo "$pid"
      return
    fi
  done
  echo 0
}

ticks=$(getconf CLK_TCK)
# One sample of a process: resident kB, private kB, threads, CPU ms, context switches.
sample() {
  local pid=$1 rss threads cpu switches private
  rss=$(awk '$1 == "VmRSS:" { print $2 }' "/proc/$pid/status")
  threads=$(awk '$1 == "Threads:" { print $2 }' "/proc/$pid/status")
  private=$(awk '$1 ~ /^Private_(Clean|Dirty):$/ { s += $2 } END { print s }' \
    "/proc/$pid/smaps_rollup")
  cpu=$(awk -v t="$ticks" '{ sub(/^.*\) /, ""); print ($12 + $13) * 1000 / t }' "/proc/$pid/stat")
  switches=$(cat /proc/"$pid"/task/*/status 2>/dev/null |
    awk '$1 ~ /ctxt_switches:$/ { s += $2 } END { print s + 0 }')
  echo "$rss $private $threads $cpu $switches"
}

# Where the resident memory lies, by kind of mapping, in kB. Wine reads an executable whose
# sections are not page-aligned in the file into anonymous memory at its image base; one that is
# aligned it maps from the file. An anonymous mapping that holds a thread's stack pointer (from
# /proc/<pid>/task/*/syscall) is counted as thread stacks, the rest as heaps.
objdump_tool=$(sed -n 's/^CMAKE_OBJDUMP:FILEPATH=//p' "$build/CMakeCache.txt")
breakdown() {  # breakdown <pid> <executable>
  local image stacks
  image=$("$objdump_tool" -p "$2" | awk '$1 == "ImageBase" || $1 == "SizeOfImage" { printf "%s ", $2 }')
  stacks=$(cat /proc/"$1"/task/*/syscall 2>/dev/null | awk 'NF >= 9 { printf "%s ", substr($(NF - 1), 3) }')
  awk -v image="$image" -v stacks="$stacks" '
    function hex(text,    i, v) {
      v = 0
      for (i = 1; i <= length(text); i++) v = v * 16 + index("0123456789abcdef", substr(tolower(text), i, 1)) - 1
      return v
    }
    BEGIN {
      split(image, f, " "); base = hex(f[1]); end = base + hex(f[2])
      threads = split(stacks, sp, " "); for (i = 1; i <= threads; i++) sp[i] = hex(sp[i])
    }
    /^[0-9a-f]+-[0-9a-f]+ / {
      name = $6; for (i = 7; i <= NF; i++) name = name " " $i
      split($1, range, "-"); at = hex(range[1]); to = hex(range[2]); next
    }
    $1 == "Rss:" {
      kind = "anonymous: heaps and the rest"
      for (i = 1; i <= threads; i++) {
        if (sp[i] >= at && sp[i] < to) { kind = "anonymous: thread stacks"; stack_size[to - at] = 1 }
      }
      if (at >= base && at < end) kind = "the executable image"
      else if (name ~ /\.exe$/) kind = "the executable image"
      else if (name ~ /\.(so|dll)[.0-9]*$/ || name ~ /wine/) kind = "Wine and system libraries"
      else if (name ~ /^\[stack/) kind = "the Unix stack"
      else if (name != "" && name !~ /^\[/) kind = "other files"
      n++; kinds[n] = kind; sizes[n] = to - at; kb[n] = $2
    }
    END {
      # An anonymous mapping the size of a thread stack that no thread runs on: the stack of the
      # thread that ended last, which Wine frees only when the next thread ends.
      for (i = 1; i <= n; i++) {
        if (kinds[i] == "anonymous: heaps and the rest" && (sizes[i] in stack_size) && kb[i] > 0)
          kinds[i] = "anonymous: the stack of the thread that ended last"
        rss[kinds[i]] += kb[i]
      }
      for (k in rss) printf "%s\t%d\n", k, rss[k]
    }' "/proc/$1/smaps"
}

median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END {
  print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# The Helper's session of use: the owner's program (any Wine process of the prefix runs under
# the owner's account), then connections from Linux, which the Helper refuses unanswered.
use_helper() {
  local port
  # A reply missing under load is reported; the footprint after use is measured all the same.
  WINEPREFIX=$helper_prefix wine "$build/bench/use_client.exe" "$core_digest" "$use_rounds" \
    "$requests" </dev/null >"$work/use.out" 2>>"$log" ||
    echo "idle_footprint.sh: not every request of the session was answered" >&2
  tr -d '\r' <"$work/use.out" >&2
  port=$(sed -n 's/^use_client: port \([0-9]*\).*/\1/p' "$work/use.out")
  [[ -n $port ]] || return 1
  for _ in $(seq "$refused"); do
    timeout 10 bash -c "exec 3<>/dev/tcp/127.0.0.1/$port && printf 'GET /logs HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n' >&3 && cat <&3 >/dev/null" || true
  done
}

# watch <phase>: samples both services over the quiet window and keeps the figures of <phase>.
declare -A figures
watch() {
  local phase=$1 side a b s0 s1 hs_pid bs_pid hs0 bs0 hs1 bs1
  read -r -a h0 <<<"$(sample "$helper_pid")"
  read -r -a b0 <<<"$(sample "$bare_pid")"
  hs_pid=$(wineserver_pid "$helper_prefix") bs_pid=$(wineserver_pid "$bare_prefix")
  hs0=$(sample "$hs_pid" | cut -d' ' -f5) bs0=$(sample "$bs_pid" | cut -d' ' -f5)
  sleep "$window"
  read -r -a h1 <<<"$(sample "$helper_pid")"
  read -r -a b1 <<<"$(sample "$bare_pid")"
  hs1=$(sample "$hs_pid" | cut -d' ' -f5) bs1=$(sample "$bs_pid" | cut -d' ' -f5)
  if [[ ${BREAKDOWN:-} == 1 && $run == 1 ]]; then
    breakdown "$helper_pid" "$work/helper/DrovaneHelper.exe" >"$work/helper.$phase.breakdown"
    breakdown "$bare_pid" "$work/bare/bare_service.exe" >"$work/bare.$phase.breakdown"
  fi
  for side in helper bare; do
    if [[ $side == helper ]]; then a=("${h0[@]}") b=("${h1[@]}") s0=$hs0 s1=$hs1
    else a=("${b0[@]}") b=("${b1[@]}") s0=$bs0 s1=$bs1; fi
    figures[$phase.$side.rss]+=" ${b[0]}"
    figures[$phase.$side.private]+=" ${b[1]}"
    figures[$phase.$side.threads]+=" ${b[2]}"
    figures[$phase.$side.cpu_start]+=" ${a[3]}"
    figures[$phase.$side.cpu_window]+=" $(awk -v x="${a[3]}" -v y="${b[3]}" 'BEGIN { print y - x }')"
    figures[$phase.$side.switches]+=" $((b[4] - a[4]))"
    figures[$phase.$side.server]+=" $((s1 - s0))"
  done
}

for run in $(seq "$runs"); do
  echo "round $run of $runs: install, settle ${settle}s, watch ${window}s, use, settle" \
    "${settle}s, watch ${window}s, uninstall" >&2
  install_helper
  installed+=(helper)
  install_bare
  installed+=(bare)
  helper_pid=$(service_pid DrovaneHelper.exe)
  bare_pid=$(service_pid bare_service.exe)
  sleep "$settle"
  watch fresh
  use_helper
  sleep "$settle"
  watch used
  uninstall_helper
  uninstall_bare
  installed=()
  sleep 1
done

figure() { median <<<"${figures[$1]}"; }  # figure <phase.side.key>
row() {  # row <title> <key> <scale> <format>
  local hf hu bf bu
  hf=$(figure "fresh.helper.$2") hu=$(figure "used.helper.$2")
  bf=$(figure "fresh.bare.$2") bu=$(figure "used.bare.$2")
  awk -v t="$1" -v hf="$hf" -v hu="$hu" -v bf="$bf" -v bu="$bu" -v s="$3" -v f="$4" '
    function ratio(h, b) { return b > 0 ? sprintf("%.2f", h / b) : "-" }
    BEGIN {
      printf "| %s | " f " | " f " | " f " | %s | %s |\n", t, hf / s, hu / s, bu / s,
        ratio(hf, bf), ratio(hu, bu) }'
}
printf '\nIdle footprint under Wine, %s round(s): %ss after start, then a %ss window; a session' \
  "$runs" "$settle" "$window"
printf ' of use (%s rounds, %s requests, %s refused), %ss, then the same window (medians)\n\n' \
  "$use_rounds" "$requests" "$refused" "$settle"
echo "| Measure | Helper fresh | Helper after use | bare service | fresh / bare | after use / bare |"
echo "|---|---|---|---|---|---|"
row "resident memory (MiB)" rss 1024 "%.1f"
row "private resident memory (MiB)" private 1024 "%.1f"
row "threads" threads 1 "%d"
row "CPU time until the window (ms)" cpu_start 1 "%d"
row "CPU time in the window (ms)" cpu_window 1 "%d"
row "context switches in the window" switches 1 "%d"
row "its wineserver's context switches in the window" server 1 "%d"
if [[ ${BREAKDOWN:-} == 1 ]]; then
  printf '\nResident memory by kind of mapping, first round, end of each window (MiB)\n\n'
  echo "| Kind | Helper fresh | Helper after use | bare service |"
  echo "|---|---|---|---|"
  join -t $'\t' -a1 -a2 -e 0 -o 0,1.2,2.2 <(sort "$work/helper.fresh.breakdown") \
    <(sort "$work/helper.used.breakdown") |
    join -t $'\t' -a1 -a2 -e 0 -o 0,1.2,1.3,2.2 - <(sort "$work/bare.used.breakdown") |
    awk -F'\t' '{ printf "| %s | %.1f | %.1f | %.1f |\n", $1, $2 / 1024, $3 / 1024, $4 / 1024 }'
fi
