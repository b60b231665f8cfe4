#!/usr/bin/env bash
# doctor end to end under Wine: install the service with the sample Core beside it, run doctor
# as the owner, and require exit 0 with no FAIL line; uninstall on every path.
# Usage: doctor_under_wine.sh WINE_RUN BIN_DIR
set -euo pipefail
wine_run=$1
bin=$2
output=$(mktemp)
client() {
  "$wine_run" "$bin/DrovaneHelperClient.exe" "$@" </dev/null >"$output" 2>&1
}
finish() {
  client uninstall || true
  rm -f "$output"
}
trap finish EXIT

client install || { cat "$output"; echo "install failed"; exit 1; }
status=0
client doctor || status=$?
tr -d '\r' <"$output" | tee "$output.text"
if ((status != 0)) || grep -q '^FAIL' "$output.text"; then
  echo "doctor failed (exit $status)"
  rm -f "$output.text"
  exit 1
fi
for check in "service registered" "owner" "service running" "published port" "ping" \
  "Core beside the Helper" "Core digest"; do
  if ! grep -q "^ok    $check:" "$output.text"; then
    echo "no ok line for: $check"
    rm -f "$output.text"
    exit 1
  fi
done
rm -f "$output.text"
echo "doctor: no FAIL line"
