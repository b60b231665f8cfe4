#!/usr/bin/env bash
# The Rust declarations of docs/client.md, built and run: Debian's rustc builds the Rust example
# for x86_64-pc-windows-gnu against the DLL's import library, and the program pings, starts and
# stops a Core against the installed Helper under Wine. A missing rustc or Windows standard
# library fails the test: they are part of the set-up (scripts/setup.sh).
# Usage: rust_example_under_wine.sh WINE_RUN BIN_DIR IMPORT_LIBRARY SOURCE OUT_DIR
set -euo pipefail
wine_run=$1
bin=$2
import_library=$3
source=$4
out=$5
# Debian's compiler by its path: a rustup toolchain earlier on PATH lacks the Windows target.
rustc=/usr/bin/rustc
if [[ ! -x $rustc ]]; then
  echo "no $rustc: install rustc and libstd-rust-dev-windows (scripts/setup.sh)" >&2
  exit 1
fi
mkdir -p "$out"
"$rustc" --edition 2018 --target x86_64-pc-windows-gnu -C linker=x86_64-w64-mingw32-gcc \
  -C link-arg=-static-libgcc -L "$(dirname "$import_library")" -o "$out/helper_client_example_rs.exe" \
  "$source"
# Beside the DLL, which Windows looks for in the program's directory.
cp "$out/helper_client_example_rs.exe" "$bin/"
finish() {
  "$wine_run" "$bin/DrovaneHelperClient.exe" uninstall </dev/null >/dev/null 2>&1 || true
}
trap finish EXIT
"$wine_run" "$bin/DrovaneHelperClient.exe" install </dev/null
digest=$("$wine_run" "$bin/DrovaneHelperClient.exe" --version </dev/null | tr -d '\r' |
  sed -n 's/^expected Core SHA-256: //p')
"$wine_run" "$bin/helper_client_example_rs.exe" "$digest" </dev/null | tr -d '\r'
