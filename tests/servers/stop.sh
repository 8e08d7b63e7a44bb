#!/usr/bin/env bash
# Stops the test servers that tests/servers/start.sh started into <dir>; safe to call twice.
# Usage: tests/servers/stop.sh <dir>
set -euo pipefail

if [[ $# -ne 1 ]]; then
  echo "usage: $0 <dir>" >&2
  exit 2
fi
[[ -d "$1" ]] || exit 0
D="$(cd "$1" && pwd)"

# A pid is only signalled while its command line still names <dir>, or (for ProFTPD, which
# rewrites its command line) its error output goes to a file below <dir>, so a pid file left
# behind after the server exited can never hit an unrelated process that reused the number.
ours() {
  [[ -r "/proc/$1/cmdline" ]] && tr '\0' ' ' <"/proc/$1/cmdline" | grep -qF "$D" && return 0
  [[ "$(readlink "/proc/$1/fd/2" 2>/dev/null)" == "$D"/* ]]
}

# The per-connection processes of sshd, Dropbear and ProFTPD go first and by force: a test that was killed while it
# held some of them stopped (SIGSTOP) would otherwise leave them behind.
descendants() {
  local child
  for child in $(pgrep -P "$1" 2>/dev/null); do
    echo "$child"
    descendants "$child"
  done
}
for f in "$D"/sshd.pid "$D"/dropbear.pid "$D"/proftpd.pid; do
  [[ -f "$f" ]] || continue
  listener="$(head -n1 "$f" | tr -dc 0-9)"
  if [[ -n "$listener" ]] && ours "$listener"; then
    for pid in $(descendants "$listener"); do kill -KILL "$pid" 2>/dev/null || true; done
  fi
done

pids=()
for f in "$D"/sshd.pid "$D"/dropbear.pid "$D"/proftpd.pid "$D"/fake_sshd.pid "$D"/not_ssh.pid \
         "$D"/sshd_kbdint.pid "$D"/ssh_agent.pid; do
  [[ -f "$f" ]] || continue
  pid="$(head -n1 "$f" | tr -dc 0-9)"
  if [[ -n "$pid" ]] && ours "$pid"; then
    kill -TERM "$pid" 2>/dev/null || true
    pids+=("$pid")
  fi
  rm -f "$f"
done

# Servers stop within milliseconds of SIGTERM; whatever is still there after 3 s is killed.
for _ in $(seq 60); do
  alive=()
  for pid in ${pids[@]+"${pids[@]}"}; do ours "$pid" && alive+=("$pid"); done
  ((${#alive[@]})) || exit 0
  sleep 0.05
done
for pid in "${alive[@]}"; do
  echo "stop.sh: killing $pid, still running after SIGTERM" >&2
  kill -KILL "$pid" 2>/dev/null || true
done
