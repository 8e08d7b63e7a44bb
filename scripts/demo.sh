#!/usr/bin/env bash
# The library's main job: installs what it needs, builds, starts a throwaway
# local SSH server, and runs tools/demo.cpp against it: a key login, the
# session description, a listing, and a file of TW_DEMO_MIB MiB (default 256)
# copied up and down over SFTP and SCP with live progress, checked byte for
# byte. Everything the session touches lives on tmpfs when /dev/shm exists.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target tw_demo

if [[ -d /dev/shm ]]; then export TMPDIR=/dev/shm; fi
export TW_DEMO_MIB="${TW_DEMO_MIB:-256}"
# shellcheck disable=SC2016 # expanded by the inner shell, once the servers run
bash scripts/with-servers.sh bash -c '
  set -u
  local_dir=$(mktemp -d)
  config="{\"host\":\"127.0.0.1\",\"port\":$TW_SSHD_PORT,\"user\":\"$TW_SSH_USER\",\"private_key\":\"$TW_KEYS_DIR/id_ed25519\"}"
  build/tools/tw_demo "$config" "$TW_SSH_HOME" "$local_dir" "$TW_DEMO_MIB"
  rc=$?
  rm -rf "$local_dir"
  exit $rc'
