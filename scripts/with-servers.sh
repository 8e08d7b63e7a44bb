#!/usr/bin/env bash
# Runs one command with all test servers up: starts them in a fresh temporary folder, exports
# the TW_* variables from its env.sh, runs the command and always stops the servers after.
# Usage: bash scripts/with-servers.sh <command...>    (exit code is the command's)
# Example: bash scripts/with-servers.sh ctest --test-dir build -R Session --output-on-failure
# Set TW_KEEP_SERVER_DIR=1 to keep the folder (logs, keys, server files) for a look afterwards.
set -euo pipefail

if [[ $# -eq 0 ]]; then
  echo "usage: $0 <command...>" >&2
  exit 2
fi
REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
D="$(mktemp -d "${TMPDIR:-/tmp}/tw-servers.XXXXXX")"

cleanup() {
  bash "$REPO/tests/servers/stop.sh" "$D" || true
  if [[ "${TW_KEEP_SERVER_DIR:-}" == 1 ]]; then
    echo "with-servers: server folder kept in $D" >&2
  else
    rm -rf "$D"
  fi
}
trap cleanup EXIT
# A signal has to end the script through exit, so that the EXIT trap stops the servers.
trap 'exit 130' INT
trap 'exit 143' TERM

bash "$REPO/tests/servers/start.sh" "$D"
# shellcheck source=/dev/null
source "$D/env.sh"

set +e
"$@"
rc=$?
set -e
# A failing run shows what the servers said, which often explains the failure.
if [[ $rc -ne 0 ]]; then
  for f in "$D"/sshd.log "$D"/fake_sshd.log "$D"/dropbear.log "$D"/proftpd-sftp.log; do
    if [[ -s "$f" ]]; then
      echo "--- last lines of $(basename "$f")" >&2
      tail -n 30 "$f" >&2
    fi
  done
fi
exit $rc
