#!/usr/bin/env bash
# The soak (bench/soak.cpp) against fresh test servers: the eight-thread mix of all exports in
# the AddressSanitizer and ThreadSanitizer trees, then the long run (connect/list/disconnect
# cycles and small transfers, resources flat) in the plain tree, where resident memory means
# what it says. Uses the trees of scripts/test.sh (build-asan, build-tsan, build), adding the
# benchmark targets to them.
# Usage: bash scripts/soak.sh [--tenth] [--seconds N]
#   --tenth    the long run at a tenth of its size (100 cycles, 1,000 transfers), as CI runs it
#   --seconds  length of each mixed soak (default 60)
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$REPO"
CYCLES=1000
TRANSFERS=10000
MIXED_SECONDS=60
while (($#)); do
  case "$1" in
    --tenth) CYCLES=100 TRANSFERS=1000 ;;
    --seconds) MIXED_SECONDS="$2"; shift ;;
    *) echo "usage: $0 [--tenth] [--seconds N]" >&2; exit 2 ;;
  esac
  shift
done

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

start=$SECONDS
bash scripts/deps.sh >/dev/null

# Builds the soak in one tree; the tree keeps its sanitizer (always passed, as test.sh does).
build_soak() {
  cmake -S . -B "$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTW_SANITIZE="$2" -DTW_BENCH=ON >/dev/null
  nice -n 10 cmake --build "$1" -j2 --target tw_soak -- --no-print-directory |
    grep -vE '^\[|^Consolidate' || true
  [[ -x "$1/bench/tw_soak" ]]
}

declare -a RESULTS
failed=0
run() {
  local label="$1"
  shift
  local t0=$SECONDS
  echo "=== $label"
  if bash scripts/with-servers.sh "$@"; then
    RESULTS+=("$(printf '%-34s passed (%d s)' "$label" $((SECONDS - t0)))")
  else
    RESULTS+=("$(printf '%-34s FAILED (%d s)' "$label" $((SECONDS - t0)))")
    failed=1
  fi
}

for tree_and_sanitizer in "build-asan address" "build-tsan thread"; do
  read -r tree san <<<"$tree_and_sanitizer"
  if ! build_soak "$tree" "$san"; then
    RESULTS+=("$tree: build FAILED")
    failed=1
    continue
  fi
  run "mixed soak, $tree" "$tree/bench/tw_soak" --seconds "$MIXED_SECONDS" --threads 8
done
if build_soak build ""; then
  run "long run ($CYCLES cycles, $TRANSFERS transfers)" build/bench/tw_soak \
    --cycles "$CYCLES" --transfers "$TRANSFERS"
else
  RESULTS+=("build: build FAILED")
  failed=1
fi

echo "=== soak summary ($((SECONDS - start)) s)"
printf '  %s\n' "${RESULTS[@]}"
((failed == 0)) || { echo "soak.sh: FAILED"; exit 1; }
echo "soak.sh: all passed"
