#!/usr/bin/env bash
# Each call of the C interface against the installed Helper: install the service with the sample
# Core beside it, run the C program with the digest this build expects (as --version prints it),
# and uninstall on every path.
# Then the example program of docs/client.md, the same way; then what the C program sees of a
# Helper that is stopped (Wine lets any user stop a service), and of one that is not installed.
# Usage: calls_under_wine.sh WINE_RUN BIN_DIR TEST_PROGRAM EXAMPLE_PROGRAM
set -euo pipefail
wine_run=$1
bin=$2
program=$3
example=$4
finish() {
  "$wine_run" "$bin/DrovaneHelperClient.exe" uninstall </dev/null >/dev/null 2>&1 || true
}
trap finish EXIT
"$wine_run" "$bin/DrovaneHelperClient.exe" install </dev/null
digest=$("$wine_run" "$bin/DrovaneHelperClient.exe" --version </dev/null | tr -d '\r' |
  sed -n 's/^expected Core SHA-256: //p')
"$wine_run" "$program" "$digest" </dev/null | tr -d '\r'
"$wine_run" "$example" "$digest" </dev/null | tr -d '\r'
"$wine_run" net.exe stop DrovaneHelperService </dev/null
"$wine_run" "$program" --stopped </dev/null | tr -d '\r'
"$wine_run" "$bin/DrovaneHelperClient.exe" uninstall </dev/null
"$wine_run" "$program" --not-installed </dev/null | tr -d '\r'
