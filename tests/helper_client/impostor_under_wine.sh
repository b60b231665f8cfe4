#!/usr/bin/env bash
# First a Helper whose process is suspended: a call must end with DROVANE_HC_TIMED_OUT within its
# timeout. Then a process of another making on the Helper's port after the Helper's process ended
# abruptly (its published Port value stays): the library must refuse it before sending a byte. Runs in a
# Wine prefix of its own, because Wine's service manager keeps reporting the ended service as
# Running until that prefix's wineserver restarts; ends that wineserver, then uninstalls.
# Usage: impostor_under_wine.sh WINE_RUN BIN_DIR TOOL PREFIX
set -euo pipefail
wine_run=$1
bin=$2
tool=$3
export DROVANE_WINEPREFIX=$4
work=$(mktemp -d)
impostor_pid=
finish() {
  [[ -n $impostor_pid ]] && kill "$impostor_pid" 2>/dev/null || true
  WINEPREFIX=$DROVANE_WINEPREFIX wineserver -k 2>/dev/null || true
  "$wine_run" "$bin/DrovaneHelperClient.exe" uninstall </dev/null >/dev/null 2>&1 || true
  WINEPREFIX=$DROVANE_WINEPREFIX wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT
# Each step is bounded, so that a hung one fails the test and the clean-up above still runs.
run() { timeout 120 "$wine_run" "$tool" "$@" </dev/null | tr -d '\r'; }

timeout 120 "$wine_run" "$bin/DrovaneHelperClient.exe" install </dev/null
run calls-ok
run suspend-service
timed=0
run timed-ping 2000 || timed=$?
run resume-service
if ((timed != 0)); then
  echo "a call to the suspended Helper did not end with DROVANE_HC_TIMED_OUT in time"
  exit 1
fi
run calls-ok
run kill-service
run impostor "Z:${work//\//\\}\\ready" 120 >"$work/impostor.out" &
impostor_pid=$!
for _ in $(seq 100); do
  [[ -s $work/ready ]] && break
  sleep 0.1
done
[[ -s $work/ready ]] || { echo "the impostor did not start"; cat "$work/impostor.out"; exit 1; }
status=0
run impostor-ping || status=$?
touch "$work/ready.stop"
wait "$impostor_pid" || true
impostor_pid=
cat "$work/impostor.out"
if ((status != 0)); then
  echo "the library did not refuse the impostor with DROVANE_HC_NOT_HELPER"
  exit 1
fi
if ! grep -q "connections [1-9][0-9]*, bytes received 0$" "$work/impostor.out"; then
  echo "the impostor was not reached, or received bytes"
  exit 1
fi
echo "impostor refused: reached, and nothing sent to it"
