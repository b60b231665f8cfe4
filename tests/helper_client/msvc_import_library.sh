#!/usr/bin/env bash
# The import library made for MSVC is one an MSVC-style linker takes: a C program compiled for the
# MSVC target (no MinGW file involved) is linked by lld-link against drovane_helper_client.lib
# alone, then run under Wine beside the DLL, calling through the imports.
# Usage: msvc_import_library.sh CLANG LLD_LINK IMPORT_LIB INCLUDE_DIR WINE_RUN BIN_DIR
set -euo pipefail
clang=$1
lld_link=$2
import_lib=$3
include=$4
wine_run=$5
bin=$6
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/program.c" <<'PROGRAM'
#include <drovane/helper_client.h>

/* No C runtime: the entry point returns the exit status. */
int start(void) {
    const char* name = drovane_hc_result_name(DROVANE_HC_TIMED_OUT);
    const char* expected = "DROVANE_HC_TIMED_OUT";
    while (*name != 0 && *name == *expected) {
        ++name;
        ++expected;
    }
    if (*name != *expected) {
        return 2;
    }
    return drovane_hc_version() == DROVANE_HC_VERSION ? 0 : 3;
}
PROGRAM
"$clang" --target=x86_64-pc-windows-msvc -ffreestanding -I"$include" -c "$work/program.c" \
  -o "$work/program.obj"
"$lld_link" /nologo /entry:start /subsystem:console /nodefaultlib /out:"$work/program.exe" \
  "$work/program.obj" "$import_lib"
cp "$bin/drovane_helper_client.dll" "$work/"
status=0
"$wine_run" "$work/program.exe" </dev/null || status=$?
if ((status != 0)); then
  echo "the program linked against the MSVC import library failed with status $status"
  exit 1
fi
echo "linked by lld-link against $(basename "$import_lib") and ran through its imports"
