#!/usr/bin/env bash
# The transfer benchmark: this library against OpenSSH's clients and curl at round-trip times of
# 0, 10 and 40 ms, plus connect, listing, progress, cancel, memory and JSON microbenchmarks.
# Usage: bash scripts/bench.sh [--smoke] [more options of bench/run.py, e.g. --seconds 3]
# --smoke: one file size, RTT 0 and 10 ms, one round (for CI). Results go to bench/out/full or
# bench/out/smoke: results.txt (the table), results.json and chart.png.
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$REPO"
start=$SECONDS
MODE=full
[[ " $* " == *" --smoke "* ]] && MODE=smoke

bash scripts/deps.sh
# What the benchmark needs beyond the build and test packages.
PKGS=(python3-matplotlib curl libbenchmark-dev openssh-client openssh-server diffutils)
missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null | grep -qx installed; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  echo "bench: installing ${missing[*]}"
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

# A tree of its own without the tests, so that a fresh clone builds only what the bench runs.
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTW_BENCH=ON -DBUILD_TESTING=OFF \
  -DTW_SANITIZE= >/dev/null
nice -n 10 cmake --build build-bench -j2 >/dev/null
echo "bench: built in $((SECONDS - start)) s"

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

set +e
/usr/bin/python3 bench/run.py --build build-bench --servers "$D" --out "bench/out/$MODE" "$@"
rc=$?
set -e
echo "bench: $MODE run took $((SECONDS - start)) s in all"
exit $rc
