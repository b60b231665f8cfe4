#!/usr/bin/env bash
# The DLL exports exactly the functions its public header declares.
# Usage: dll_exports.sh OBJDUMP DLL HEADER
set -euo pipefail
objdump=$1
dll=$2
header=$3
declared=$(grep -o '^DROVANE_HC_API [^(]*(' "$header" | sed 's/($//' | awk '{print $NF}' |
  tr -d '*' | sort)
exported=$("$objdump" -p "$dll" |
  awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && /^[[:space:]]*\[/ {print $NF} on && /^$/ {on=0}' |
  sort)
if [[ "$declared" != "$exported" ]]; then
  echo "declared:"; echo "$declared"
  echo "exported:"; echo "$exported"
  exit 1
fi
echo "exports match the header: $(echo "$exported" | wc -l) functions"
