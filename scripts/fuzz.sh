#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ (clang-14, AddressSanitizer and UndefinedBehaviorSanitizer)
# and runs each for the same number of seconds, starting from the seeds in fuzz/corpus/<name>.
# Prints the executions of each target; exits non-zero when any target finds a crash, whose
# input is kept in build-fuzz/crashes/ (rerun it with: build-fuzz/<target> <file>).
# Usage: bash scripts/fuzz.sh [seconds per target, default 60] [target...]
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=lib/debsrc.sh
source "$REPO/scripts/lib/debsrc.sh"
cd "$REPO"
SECONDS_EACH="${1:-60}"
shift || true
TARGETS=("$@")
((${#TARGETS[@]})) || TARGETS=(fuzz_config fuzz_json_escape fuzz_entries)
TREE=build-fuzz
export DEBIAN_FRONTEND=noninteractive

start=$SECONDS
bash scripts/deps.sh >/dev/null
# libFuzzer's runtime comes with Debian's compiler-rt package for clang-14.
tw_install_missing fuzz clang-14 libclang-rt-14-dev
cmake -S fuzz -B "$TREE" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  >/dev/null
nice -n 10 cmake --build "$TREE" -j2 -- --no-print-directory | grep -vE '^\[|^Consolidate' || true
for t in "${TARGETS[@]}"; do
  [[ -x "$TREE/$t" ]] || { echo "fuzz.sh: $t was not built" >&2; exit 1; }
done
echo "fuzz.sh: built in $((SECONDS - start)) s"

# The largest input each target reads whole; longer ones only repeat what shorter ones show.
max_len() {
  case "$1" in
    fuzz_entries) echo 16384 ;;
    *) echo 4096 ;;
  esac
}

declare -A EXECS RESULT
failed=0
mkdir -p "$TREE/crashes"
for t in "${TARGETS[@]}"; do
  name="${t#fuzz_}"
  # New inputs go to the tree's own corpus, so the seeds in the repository stay as written.
  work="$TREE/corpus/$name"
  mkdir -p "$work"
  log="$TREE/$t.log"
  echo "=== $t: ${SECONDS_EACH} s"
  dict=()
  [[ -f "fuzz/$name.dict" ]] && dict=(-dict="fuzz/$name.dict")
  set +e
  "$TREE/$t" "${dict[@]}" -max_total_time="$SECONDS_EACH" -max_len="$(max_len "$t")" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$TREE/crashes/$t-" \
    "$work" "fuzz/corpus/$name" >"$log" 2>&1
  rc=$?
  set -e
  EXECS[$t]="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)"
  if ((rc == 0)); then
    RESULT[$t]="no crash"
  else
    RESULT[$t]="CRASH (exit $rc)"
    failed=1
    grep -E 'ERROR|runtime error|==[0-9]+==|^config:|^entries:|^json_escape:|Test unit written' \
      "$log" | head -n 20 >&2 || true
  fi
  grep -E '^#[0-9]+ +DONE|cov:' "$log" | tail -n1 || true
done

echo "=== fuzz summary ($((SECONDS - start)) s)"
for t in "${TARGETS[@]}"; do
  printf '  %-18s %12s executions  %s\n' "$t" "${EXECS[$t]:-?}" "${RESULT[$t]}"
done
((failed == 0)) || { echo "fuzz.sh: FAILED"; exit 1; }
echo "fuzz.sh: no crash"
