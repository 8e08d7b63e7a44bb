#!/usr/bin/env bash
# The transfer benchmark: this library against OpenSSH's clients and curl at round-trip times of
# 0, 10 and 40 ms (the transfers also at 100 ms), plus connect, listing, progress, cancel,
# memory and JSON microbenchmarks.
# Usage: bash scripts/bench.sh [--smoke] [more options of bench/run.py, e.g. --seconds 3]
# --smoke: one file size, RTT 0 and 10 ms, one round (for CI). Results go to bench/out/full or
# bench/out/smoke: results.txt (the table), results.json and chart.png.
# TW_BENCH_TREE=build builds the bench programs in an existing plain tree (CI, after the tests)
# instead of a tree of their own, build-bench, which has no tests.
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=lib/debsrc.sh
source "$REPO/scripts/lib/debsrc.sh"
cd "$REPO"
start=$SECONDS
# bench/run.py reports the whole time, the build included, before its closing line.
TW_BENCH_T0="$(date +%s.%N)"
export TW_BENCH_T0
MODE=full
[[ " $* " == *" --smoke "* ]] && MODE=smoke

bash scripts/deps.sh
# What the benchmark needs beyond the build and test packages.
tw_install_missing bench python3-matplotlib curl libbenchmark-dev openssh-client \
  openssh-server diffutils

TREE="${TW_BENCH_TREE:-build-bench}"
case "$TREE" in
  *asan* | *tsan*) echo "bench: $TREE is a sanitizer tree; its figures would mean nothing" >&2; exit 2 ;;
esac
# The bench's own tree has no tests, so that a fresh clone builds only what the bench runs.
extra=()
[[ "$TREE" == build-bench ]] && extra=(-DBUILD_TESTING=OFF -DTW_SANITIZE=)
cmake -S . -B "$TREE" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTW_BENCH=ON "${extra[@]}" >/dev/null
nice -n 10 cmake --build "$TREE" -j2 --target tw_bench_host tw_delay_proxy tw_bench_micro >/dev/null
echo "bench: built in $TREE in $((SECONDS - start)) s"

# The servers' folder is on tmpfs, so the remote files are in memory like the local ones.
D="$(mktemp -d /dev/shm/tw-bench-servers.XXXXXX)"
cleanup() {
  bash tests/servers/stop.sh "$D" || true
  rm -rf "$D"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
bash tests/servers/start.sh "$D" >/dev/null

# Its exit status is the script's: 1 when a run failed or a copy differed.
/usr/bin/python3 bench/run.py --build "$TREE" --servers "$D" --out "bench/out/$MODE" "$@"
