#!/usr/bin/env bash
# The library's main job, shown through sftpc: installs what is missing, builds, starts a
# throwaway OpenSSH server on 127.0.0.1 with generated keys, and runs a short session against
# it: the session description, a listing, then one batch over one session that uploads and
# downloads a file of TW_DEMO_MIB MiB (1024 by default) with a live progress line, and the activity
# log. The copy is checked byte for byte, and the server is stopped at the end.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
nice -n 10 cmake --build build -j2 --target sftpc

if [[ -d /dev/shm ]]; then export TMPDIR=/dev/shm; fi
# Three copies of the file live in TMPDIR (the original, the server's, the download): 1 GiB
# where there is room for them, else 256 MiB.
if [[ -z "${TW_DEMO_MIB:-}" ]]; then
  free_mib=$(df -Pm "${TMPDIR:-/tmp}" | awk 'NR == 2 { print $4 }')
  TW_DEMO_MIB=$((free_mib > 4096 ? 1024 : 256))
fi
export TW_DEMO_MIB
export SFTPC="$PWD/build/tools/sftpc"
# shellcheck disable=SC2016 # expanded by the inner shell, once the server runs
bash scripts/with-servers.sh bash -c '
  set -euo pipefail
  work=$(mktemp -d)
  trap "rm -rf \"$work\"" EXIT
  cd "$work"
  # The demo has a home of its own, whose known_hosts names the throwaway
  # server'"'"'s host key, as ssh-keyscan would have written it: sftpc checks the
  # key as ssh does, and nothing of the real ~/.ssh is read or written.
  export HOME="$work/home"
  mkdir -p "$HOME/.ssh"
  printf "[127.0.0.1]:%s %s\n" "$TW_SSHD_PORT" "$(cut -d" " -f1,2 "$TW_TEST_DIR/host_ed25519.pub")" \
    >"$HOME/.ssh/known_hosts"
  login=(-P "$TW_SSHD_PORT" -i "$TW_KEYS_DIR/id_ed25519" "$TW_SSH_USER@127.0.0.1")
  # Shows a command the way a person would type it, then runs it.
  run() {
    printf "\n\$ sftpc %s\n" "$*" | sed "s|$TW_KEYS_DIR|\$KEYS|g; s|-P $TW_SSHD_PORT|-P \$PORT|"
    "$SFTPC" "$@"
  }
  echo "A throwaway OpenSSH server listens on 127.0.0.1:$TW_SSHD_PORT (PORT below);"
  echo "its account $TW_SSH_USER logs in with a key generated in KEYS=$TW_KEYS_DIR."
  echo "Its host key is in the known_hosts file of the demo'"'"'s own HOME."
  run version
  run "${login[@]}" info
  run "${login[@]}" ls
  head -c "$((TW_DEMO_MIB << 20))" /dev/urandom >demo.bin
  printf "\nA batch over one session: upload over SFTP, list, download over SCP, the log.\n"
  printf "%s\n" "put demo.bin" "ls" "get --scp demo.bin copy.bin" "rm demo.bin" "log" >session.txt
  run --batch session.txt "${login[@]}"
  if cmp -s demo.bin copy.bin; then
    printf "\nThe %s MiB copy is identical to the original. demo OK\n" "$TW_DEMO_MIB"
  else
    echo "The copy differs from the original. demo FAILED"
    exit 1
  fi'
