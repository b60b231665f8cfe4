#!/usr/bin/env bash
# The Helper's whole job under Wine with the sample Core: set up, build, then install the
# service, ping it, start a Core, show the Core's lines in the Helper log, stop it, show the log
# again and uninstall. Each step prints what it ran and what came back; the script exits 0 only
# if every step gave the expected answer.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD

scripts/setup.sh
echo "=== build (MinGW preset)"
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j"$(nproc)" --target DrovaneHelper DrovaneHelperClient drovane_sample_core

bin=$root/build/mingw/bin
export WINEPREFIX=$root/build/demo-wineprefix
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
if [[ ! -f $WINEPREFIX/.drovane-ready ]]; then
  echo "=== creating the Wine prefix $WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.drovane-ready"
fi

# Wine's background processes (services.exe, and through it the service and its Core) inherit
# the streams of the command that started them, so output goes through files, never pipes, and
# the prefix's processes are started first with /dev/null streams.
wine cmd.exe /c exit </dev/null >/dev/null 2>&1
output_file=$(mktemp)
client() {
  wine "$bin/DrovaneHelperClient.exe" "$@" </dev/null >"$output_file" 2>&1 || true
  tr -d '\r' <"$output_file"
}
installed=0
finish() {
  if ((installed)); then
    client uninstall >/dev/null || true
  fi
  wineserver -k >/dev/null 2>&1 || true
  rm -f "$output_file"
}
trap finish EXIT

# Runs one step: prints it, runs the client, and checks that the output holds `expected`.
step() {
  local title=$1 expected=$2
  shift 2
  printf '\n=== %s\n$ DrovaneHelperClient %s\n' "$title" "$*"
  local output
  output=$(client "$@")
  printf '%s\n' "$output"
  if ! grep -qF -- "$expected" <<<"$output"; then
    printf '\nFAILED: expected "%s"\n' "$expected" >&2
    exit 1
  fi
}

session=0123456789abcdef0123456789abcdef
address='\\.\pipe\DrovaneCore_fedcba9876543210fedcba9876543210'

step "install the service (owner: the client's own account)" "install: done" install
installed=1
step "ping the Helper with the expected Core digest" "status: 200" ping
step "start the sample Core" "sessionId: $session" start --session "$session" --address "$address"
sleep 1
step "the Core's lines in the Helper log" "sample Core $address" logs
step "stop the Core" "stopped: true" stop --session "$session"
step "the Helper log after the stop" "sample Core $address" logs
step "a second stop finds nothing running" "reason: notRunning" stop --session "$session"
step "uninstall the service" "uninstall: done" uninstall
installed=0
step "the client reports a missing Helper" "DrovaneHelperService is not installed" ping

printf '\nAll steps gave the expected answers.\n'
