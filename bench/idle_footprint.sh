#!/usr/bin/env bash
# Idle footprint under Wine: the Helper as packaged (stripped, installed by its client) and a
# bare service (registers with the SCM, reports running, waits for STOP), each installed under a
# Wine prefix of its own. Once start-up has settled, both are watched over the same quiet window:
# resident and private memory, threads, CPU time and context switches of each, with the ratio
# Helper / bare. Every figure is the median of RUNS install-watch-uninstall rounds.
# Usage: bench/idle_footprint.sh [mingw build dir] (default build/mingw, configured if new;
# what it runs is built first).
# RUNS (default 3), SETTLE (seconds after start, default 15) and WINDOW (seconds watched,
# default 60) change the rounds; BREAKDOWN=1 also prints where each one's resident memory lies.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [[ -z ${1:-} && ! -f $root/build/mingw/CMakeCache.txt ]]; then
  (cd "$root" && cmake --preset mingw >/dev/null)  # a fresh clone: configure the default tree
fi
build=$(cd "${1:-$root/build/mingw}" && pwd)
runs=${RUNS:-3} settle=${SETTLE:-15} window=${WINDOW:-60}
[[ -f $build/CMakeCache.txt ]] || {
  echo "idle_footprint.sh: configure $build first (cmake --preset mingw)" >&2
  exit 1
}

echo "building DrovaneHelper, DrovaneHelperClient and bare_service in $build" >&2
cmake --build "$build" -j2 --target DrovaneHelper DrovaneHelperClient bare_service >/dev/null
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
  WINEPREFIX=$prefix wineserver -p >/dev/null 2>&1
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
# aligned it maps from the file.
objdump_tool=$(sed -n 's/^CMAKE_OBJDUMP:FILEPATH=//p' "$build/CMakeCache.txt")
breakdown() {  # breakdown <pid> <executable>
  local image
  image=$("$objdump_tool" -p "$2" | awk '$1 == "ImageBase" || $1 == "SizeOfImage" { printf "%s ", $2 }')
  awk -v image="$image" '
    function hex(text,    i, v) {
      v = 0
      for (i = 1; i <= length(text); i++) v = v * 16 + index("0123456789abcdef", substr(tolower(text), i, 1)) - 1
      return v
    }
    BEGIN { split(image, f, " "); base = hex(f[1]); end = base + hex(f[2]) }
    /^[0-9a-f]+-[0-9a-f]+ / {
      name = $6; for (i = 7; i <= NF; i++) name = name " " $i
      split($1, range, "-"); at = hex(range[1]); next
    }
    $1 == "Rss:" {
      kind = "anonymous: heaps, thread stacks (about 1 MiB each under Wine)"
      if (at >= base && at < end) kind = "the executable image"
      else if (name ~ /\.exe$/) kind = "the executable image"
      else if (name ~ /\.(so|dll)[.0-9]*$/ || name ~ /wine/) kind = "Wine and system libraries"
      else if (name ~ /^\[stack/) kind = "the Unix stack"
      else if (name != "" && name !~ /^\[/) kind = "other files"
      rss[kind] += $2
    }
    END { for (k in rss) printf "%s\t%d\n", k, rss[k] }' "/proc/$1/smaps"
}

median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END {
  print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

declare -A figures
for run in $(seq "$runs"); do
  echo "round $run of $runs: install, settle ${settle}s, watch ${window}s, uninstall" >&2
  install_helper
  installed+=(helper)
  install_bare
  installed+=(bare)
  helper_pid=$(service_pid DrovaneHelper.exe)
  bare_pid=$(service_pid bare_service.exe)
  sleep "$settle"
  read -r -a h0 <<<"$(sample "$helper_pid")"
  read -r -a b0 <<<"$(sample "$bare_pid")"
  hs_pid=$(wineserver_pid "$helper_prefix") bs_pid=$(wineserver_pid "$bare_prefix")
  hs0=$(sample "$hs_pid" | cut -d' ' -f5) bs0=$(sample "$bs_pid" | cut -d' ' -f5)
  sleep "$window"
  read -r -a h1 <<<"$(sample "$helper_pid")"
  read -r -a b1 <<<"$(sample "$bare_pid")"
  hs1=$(sample "$hs_pid" | cut -d' ' -f5) bs1=$(sample "$bs_pid" | cut -d' ' -f5)
  if [[ ${BREAKDOWN:-} == 1 && $run == 1 ]]; then
    breakdown "$helper_pid" "$work/helper/DrovaneHelper.exe" >"$work/helper.breakdown"
    breakdown "$bare_pid" "$work/bare/bare_service.exe" >"$work/bare.breakdown"
  fi
  for side in helper bare; do
    if [[ $side == helper ]]; then a=("${h0[@]}") b=("${h1[@]}") s0=$hs0 s1=$hs1
    else a=("${b0[@]}") b=("${b1[@]}") s0=$bs0 s1=$bs1; fi
    figures[$side.rss]+=" ${b[0]}"
    figures[$side.private]+=" ${b[1]}"
    figures[$side.threads]+=" ${b[2]}"
    figures[$side.cpu_start]+=" ${a[3]}"
    figures[$side.cpu_window]+=" $(awk -v x="${a[3]}" -v y="${b[3]}" 'BEGIN { print y - x }')"
    figures[$side.switches]+=" $((b[4] - a[4]))"
    figures[$side.server]+=" $((s1 - s0))"
  done
  uninstall_helper
  uninstall_bare
  installed=()
  sleep 1
done

row() {  # row <title> <key> <scale> <format>
  local h b
  h=$(median <<<"${figures[helper.$2]}") b=$(median <<<"${figures[bare.$2]}")
  awk -v t="$1" -v h="$h" -v b="$b" -v s="$3" -v f="$4" 'BEGIN {
    ratio = b > 0 ? sprintf("%.2f", h / b) : "-"
    printf "| %s | " f " | " f " | %s |\n", t, h / s, b / s, ratio }'
}
printf '\nIdle footprint under Wine, %s round(s): %ss after start, then a %ss window (medians)\n\n' \
  "$runs" "$settle" "$window"
echo "| Measure | Helper (stripped) | bare service | Helper / bare |"
echo "|---|---|---|---|"
row "resident memory (MiB)" rss 1024 "%.1f"
row "private resident memory (MiB)" private 1024 "%.1f"
row "threads" threads 1 "%d"
row "CPU time until settled (ms)" cpu_start 1 "%d"
row "CPU time in the window (ms)" cpu_window 1 "%d"
row "context switches in the window" switches 1 "%d"
row "its wineserver's context switches in the window" server 1 "%d"
if [[ ${BREAKDOWN:-} == 1 ]]; then
  printf '\nResident memory by kind of mapping, first round (MiB)\n\n'
  echo "| Kind | Helper | bare service |"
  echo "|---|---|---|"
  join -t $'\t' -a1 -a2 -e 0 -o 0,1.2,2.2 <(sort "$work/helper.breakdown") \
    <(sort "$work/bare.breakdown") |
    awk -F'\t' '{ printf "| %s | %.1f | %.1f |\n", $1, $2 / 1024, $3 / 1024 }'
fi
