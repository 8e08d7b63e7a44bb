#!/usr/bin/env bash
# Checks the Windows DLL's export table against the public header: exactly the
# functions the header declares, by their undecorated names. Also checks that
# it imports only DLLs that every Windows system has, so that it loads with
# nothing beside it.
# Usage: tests/windows/check_exports.sh <dll> <header>
set -euo pipefail
module=$1 header=$2
dump=$(x86_64-w64-mingw32-objdump -p "$module")
declared=$(grep -oE 'TARNWICK_CALL [a-z_]+\(' "$header" | sed -E 's/TARNWICK_CALL ([a-z_]+)\(/\1/' | sort)
exported=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" |
  sed -nE 's/^[[:space:]]*\[[[:space:]]*[0-9]+\] (.*)$/\1/p' | sort)
if [[ "$declared" != "$exported" ]]; then
  echo "declared but not exported:"; comm -23 <(echo "$declared") <(echo "$exported")
  echo "exported but not declared:"; comm -13 <(echo "$declared") <(echo "$exported")
  exit 1
fi
echo "exports match the header: $(wc -l <<<"$exported") functions"

imports=$(sed -nE 's/^[[:space:]]*DLL Name: (.*)$/\1/p' <<<"$dump" | sort -u)
system='^(kernel32|msvcrt|ws2_32|advapi32|user32|gdi32|crypt32|bcrypt)\.dll$'
foreign=$(grep -viE "$system" <<<"$imports" || true)
if [[ -n "$foreign" ]]; then
  echo "imports DLLs that are not part of Windows:" $foreign
  exit 1
fi
echo "imports only system DLLs:" $imports
