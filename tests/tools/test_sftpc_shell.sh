#!/usr/bin/env bash
# End-to-end test of sftpc's interactive shell on a real terminal (tmux):
# completion, cd and relative paths, history, Ctrl-C at the prompt and during
# a transfer. Run under scripts/with-servers.sh.
# Usage: test_sftpc_shell.sh <path to sftpc>
set -uo pipefail

SFTPC="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
: "${TW_SSHD_PORT:?run through scripts/with-servers.sh}"
passed=0 failed=0
WORK="$(mktemp -d)"
REMOTE="$TW_SSH_HOME/shell.$$"
SOCK="$WORK/tmux.sock"
mkdir -p "$REMOTE/alpha" "$WORK/home" "$WORK/subdir"
echo hi >"$REMOTE/alpine.txt"
chown -R "$TW_SSH_UID:$TW_SSH_UID" "$REMOTE"
trap 'tmux -S "$SOCK" kill-server 2>/dev/null; rm -rf "$WORK" "$REMOTE" "$TW_FAKE_ROOT/shell.$$.bin"' EXIT
cd "$WORK" || exit 1

ok() {
  if [[ "$2" == 0 ]]; then passed=$((passed + 1)); else
    failed=$((failed + 1))
    echo "FAILED: $1" >&2
    screen | grep -v '^$' | sed 's/^/  screen: /' >&2
  fi
}
keys() { tmux -S "$SOCK" send-keys -t tw "$@"; }
screen() { tmux -S "$SOCK" capture-pane -p -t tw -S -100; }
# Waits for a screen line matching $1, for at most $2 tenths of a second (150).
wait_screen() {
  for _ in $(seq "${2:-150}"); do
    grep -qE -- "$1" <<<"$(screen)" && return 0
    sleep 0.1
  done
  return 1
}
# Each server is trusted through a pin of the key it shows.
pin() { ssh-keyscan -t ed25519 -p "$1" 127.0.0.1 2>/dev/null | ssh-keygen -l -E sha256 -f - | cut -d' ' -f2; }

head -c 4194304 /dev/urandom >"$TW_FAKE_ROOT/shell.$$.bin"
echo data >f.bin
keep=(PATH=/usr/bin:/bin TERM=screen "HOME=$WORK/home" "TW_FAKE_PW=$TW_FAKE_PASSWORD")
for v in ASAN_OPTIONS UBSAN_OPTIONS TSAN_OPTIONS; do [[ -n "${!v:-}" ]] && keep+=("$v=${!v}"); done
tmux -S "$SOCK" new-session -d -s tw -x 100 -y 40 "env -i ${keep[*]@Q} bash --norc --noprofile"
keys "cd $WORK; PS1='$ '; clear" Enter
keys "$SFTPC --host 127.0.0.1 --port $TW_SSHD_PORT --user $TW_SSH_USER --key $TW_KEYS_DIR/id_ed25519" \
  " --fingerprint $(pin "$TW_SSHD_PORT"); echo EXIT=\$?" Enter
wait_screen '^sftpc>'
ok "the prompt" $?

keys "cd shell.$$/al" Tab Tab
wait_screen '^alpha/ +alpine\.txt$' && wait_screen "^sftpc> cd shell\.$$/alp$"
ok "Tab completes what the remote names share, then lists them" $?
keys "h" Tab Enter "pwd" Enter
wait_screen "^Remote working directory: .*/shell\.$$/alpha$"
ok "Tab completes a remote folder; cd and pwd" $?
keys "put f.bin" Enter
wait_screen "^uploaded f\.bin -> .*/shell\.$$/alpha/f\.bin" && cmp -s f.bin "$REMOTE/alpha/f.bin"
ok "a relative remote path is taken against the current folder" $?
keys "lc" Tab "su" Tab Enter "lpwd" Enter
wait_screen "^Local working directory: $WORK/subdir$"
ok "Tab completes a command and a local folder" $?
keys "no such words" C-c "help" Enter Up Up Enter
wait_screen '^bye +leave the shell'
[[ "$(screen)" != *"unknown command"* && $(screen | grep -c '^Local working directory') == 2 ]]
ok "Ctrl-C drops the line; Up brings back history" $?
keys "bye" Enter
wait_screen '^EXIT=0$'
ok "bye leaves with status 0" $?

keys "clear; $SFTPC --host 127.0.0.1 --port $TW_FAKE_PORT --user slow.0.05 --password-env TW_FAKE_PW" \
  " --fingerprint $(pin "$TW_FAKE_PORT"); echo EXIT=\$?" Enter
wait_screen '^sftpc>'
keys "get shell.$$.bin part.bin" Enter
wait_screen 'ETA'
keys C-c
wait_screen '^sftpc: transfer cancelled$' 600
ok "Ctrl-C cancels the transfer" $?
keys "lpwd" Enter
wait_screen "^Local working directory: $WORK/subdir$" && [[ ! -e subdir/part.bin ]]
ok "back at the prompt, the partial file gone" $?
keys C-d
wait_screen '^EXIT=0$'
ok "end of input leaves" $?

echo "sftpc shell: $passed passed, $failed failed"
((failed == 0))
