#!/usr/bin/env bash
# The project's test command: installs dependencies, builds the plain, ASan+UBSan and TSan
# trees, and runs each tree's tests against fresh test servers.
# Usage: bash scripts/test.sh [extra ctest arguments, e.g. -R Session]
# TW_TREES="build" (space-separated) runs only the named trees; a name containing "asan" or
# "tsan" is built with that sanitizer.
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$REPO"
read -r -a TREES <<<"${TW_TREES:-build build-asan build-tsan}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

start=$SECONDS
bash scripts/deps.sh
echo "test.sh: dependencies ready in $((SECONDS - start)) s"

sanitizer_of() {
  case "$1" in
    *asan*) echo address ;;
    *tsan*) echo thread ;;
    *) echo "" ;;
  esac
}

declare -A RESULT
failed=0
for tree in "${TREES[@]}"; do
  san="$(sanitizer_of "$tree")"
  echo "=== $tree: configure and build (TW_SANITIZE=${san:-none})"
  # TW_SANITIZE is always passed, so a tree never keeps a cached value from an older run.
  if ! { cmake -S . -B "$tree" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTW_SANITIZE="$san" &&
         cmake --build "$tree" -j2; }; then
    RESULT[$tree]="build FAILED"
    failed=1
    continue
  fi
  echo "=== $tree: tests"
  # Each tree gets its own fresh servers, so files left by one run cannot affect the next.
  if bash scripts/with-servers.sh ctest --test-dir "$tree" --output-on-failure -j2 \
       --timeout 300 --no-tests=error "$@"; then
    RESULT[$tree]="passed"
  else
    RESULT[$tree]="tests FAILED"
    failed=1
  fi
done

echo "=== summary ($((SECONDS - start)) s)"
for tree in "${TREES[@]}"; do
  printf '  %-12s %s\n' "$tree" "${RESULT[$tree]}"
done
if ((failed)); then
  echo "test.sh: FAILED"
  exit 1
fi
echo "test.sh: all trees passed"
