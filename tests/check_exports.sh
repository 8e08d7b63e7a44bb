#!/usr/bin/env bash
# Checks that the shared module exports exactly the functions that the public
# header declares, and nothing else (no libssh2, no C++ internals).
set -euo pipefail
module=$1 header=$2
declared=$(grep -oE 'TARNWICK_CALL [a-z_]+\(' "$header" | sed -E 's/TARNWICK_CALL ([a-z_]+)\(/\1/' | sort)
exported=$(nm -D --defined-only "$module" | awk '{print $3}' | sort)
if [ "$declared" != "$exported" ]; then
  echo "declared but not exported:"; comm -23 <(echo "$declared") <(echo "$exported")
  echo "exported but not declared:"; comm -13 <(echo "$declared") <(echo "$exported")
  exit 1
fi
echo "exports match the header: $(echo "$exported" | wc -l) functions"
