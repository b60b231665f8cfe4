#!/usr/bin/env bash
# The DLL exports exactly the functions its public header declares, and the .def file (from which
# the MSVC import library is made) names the same.
# Usage: dll_exports.sh OBJDUMP DLL HEADER DEF
set -euo pipefail
objdump=$1
dll=$2
header=$3
def=$4
declared=$(grep -o '^DROVANE_HC_API [^(]*(' "$header" | sed 's/($//' | awk '{print $NF}' |
  tr -d '*' | sort)
exported=$("$objdump" -p "$dll" |
  awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && /^[[:space:]]*\[/ {print $NF} on && /^$/ {on=0}' |
  sort)
listed=$(awk '/^EXPORTS/ {on=1; next} on && NF {print $1}' "$def" | sort)
if [[ "$declared" != "$exported" || "$declared" != "$listed" ]]; then
  echo "declared:"; echo "$declared"
  echo "exported:"; echo "$exported"
  echo "in the .def file:"; echo "$listed"
  exit 1
fi
echo "exports match the header and the .def file: $(echo "$exported" | wc -l) functions"
