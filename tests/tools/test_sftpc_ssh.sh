#!/usr/bin/env bash
# End-to-end tests of what sftpc shares with OpenSSH's client: the command
# line, ssh_config, the credentials it finds, and known_hosts. Run under
# scripts/with-servers.sh. HOME is a folder of the run's own, so nothing of
# the user's ~/.ssh is read or written.
# Usage: test_sftpc_ssh.sh <config|known_hosts> <path to sftpc>
set -uo pipefail

CASE="$1"
SFTPC="$(cd "$(dirname "$2")" && pwd)/$(basename "$2")"
MAN="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../tools" && pwd)/sftpc.1"
: "${TW_SSHD_PORT:?run through scripts/with-servers.sh}"
passed=0
failed=0
WORK="$(mktemp -d)"
TMUX_SOCK="$WORK/tmux.sock"
trap '[[ -S "$TMUX_SOCK" ]] && tmux -S "$TMUX_SOCK" kill-server; rm -rf "$WORK"' EXIT
cd "$WORK" || exit 1
export HOME="$WORK/home"
unset SSH_AUTH_SOCK
PORT="$TW_SSHD_PORT" U="$TW_SSH_USER" K="$TW_KEYS_DIR"
NAME="[127.0.0.1]:$PORT"
HOST_KEY="$(cut -d' ' -f1,2 "$TW_TEST_DIR/host_ed25519.pub")"

ok() {
  if [[ "$2" == 0 ]]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $1" >&2
    sed 's/^/  out: /' out err >&2 2>/dev/null
  fi
}
# expect NAME STATUS CMD...: runs CMD without a terminal, output in ./out and ./err.
expect() {
  local name="$1" want="$2"
  shift 2
  setsid -w "$@" >out 2>err </dev/null
  local rc=$?
  [[ $rc == "$want" ]]
  ok "$name (exit $rc, expected $want)" $?
}
has() { grep -qF -- "$2" "$1"; }
fresh_home() { rm -rf "$HOME" && mkdir -p "$HOME/.ssh"; }

case_config() {
  fresh_home
  mkdir "$HOME/keys" && cp "$K/id_ed25519" "$HOME/keys/id_$U"
  # Numeric names only: a pattern that failed to apply must not send a name to a resolver.
  cat >cfg <<EOF
# Host 127.0.0.3 is left out of the second block, and so gets the last one's port.
Host 127.0.0.? !127.0.0.3
  HostName 127.0.0.1
  Port $PORT
  User $U
  IdentityFile ~/keys/id_%r
Host *
  Port=1
  User nobody
  HostName 127.0.0.1
  StrictHostKeyChecking accept-new
  IdentityFile %d/keys/id_%r
EOF
  local r="$TW_SSH_HOME"
  expect "Host block: HostName, Port, User, IdentityFile" 0 "$SFTPC" -F cfg 127.0.0.2 realpath
  [[ "$(cat out)" == "$r" ]]; ok "realpath printed" $?
  expect "a negated pattern skips its block" 1 "$SFTPC" -F cfg 127.0.0.3 realpath
  has err "cannot connect to 127.0.0.1:1"; ok "first value wins" $?
  local line
  while IFS='|' read -r want line; do
    # shellcheck disable=SC2086 # line holds the words on purpose
    expect "command line over config: $line" "$want" "$SFTPC" -F cfg $line realpath
  done <<EOF
0|-P $PORT $U@127.0.0.3
0|-P$PORT -o User=$U 127.0.0.3
0|-o Port=$PORT -oUser=$U 127.0.0.3
0|--port $PORT --user $U 127.0.0.3
0|$U@127.0.0.3:$PORT
0|-i $K/id_ecdsa -o Port=$PORT $U@127.0.0.3
2|-o NoSuchKeyword=1 127.0.0.2
2|-o StrictHostKeyChecking=maybe 127.0.0.2
2|127.0.0.2 -P $PORT
EOF
  # Without a user anywhere, the login name; without a key, ~/.ssh's in
  # OpenSSH's order: id_ed25519 (not accepted here), then id_ecdsa.
  setsid -w "$SFTPC" -F none -o StrictHostKeyChecking=no -i "$K/id_ed25519" -P "$PORT" 127.0.0.1 \
    --json info >out 2>err </dev/null
  has out "\"user\":\"$(id -un)\"" || has err "for user '$(id -un)'"; ok "the user defaults to the login name" $?
  cp "$K/id_ed25519_other" "$HOME/.ssh/id_ed25519" && cp "$K/id_ecdsa" "$HOME/.ssh/id_ecdsa"
  expect "default keys tried in order" 0 "$SFTPC" -F none -v -P "$PORT" "$U@127.0.0.1" info
  has err "AUTH FAILED $U@127.0.0.1:$PORT" && grep -qE '^auth +publickey$' out
  ok "the second default key logged in" $?
  expect "an agent that is not there is passed over" 0 env SSH_AUTH_SOCK="$WORK/no-agent" \
    "$SFTPC" -F none -P "$PORT" "$U@127.0.0.1" realpath
  printf 'realpath\nls\n' >jobs.txt
  expect "batch with a destination" 0 "$SFTPC" -F cfg -b jobs.txt 127.0.0.2
  has out "sftpc> ls" && has out "$r"; ok "batch ran" $?

  # --help and the manual page name the same options and commands.
  "$SFTPC" --help >help.txt
  local words
  words="$(grep -oE -- '(^| )-[A-Za-z-]+|^  [a-z]+' help.txt | tr -d ' ' | sort -u)"
  for w in $words; do
    grep -qE -- "(^|[^a-z])${w//-/\\\\-}([^a-z]|\$)" "$MAN" || echo "$w"
  done >out
  [[ ! -s out ]]; ok "every option and command of --help is in sftpc.1" $?
  for w in cd pwd lcd lpwd help exit quit bye -r -p HashKnownHosts accept-new --inplace; do
    has help.txt "$w" || echo "help lacks $w"
  done >out
  [[ ! -s out ]]; ok "--help covers the shell and ssh_config" $?
}

# A known_hosts line of another ED25519 key, and one of another type.
other_key() { cut -d' ' -f1,2 "$K/$1.pub"; }

case_known_hosts() {
  local login=(-i "$K/id_ed25519" -P "$PORT" "$U@127.0.0.1" realpath) kh="$HOME/.ssh/known_hosts"
  fresh_home
  expect "unknown host without a terminal" 1 "$SFTPC" "${login[@]}"
  has err "No ED25519 host key is known for $NAME" && has err "Host key verification failed." &&
    [[ ! -e "$kh" ]]
  ok "refused, nothing written" $?
  expect "--fingerprint counts as known" 0 "$SFTPC" --fingerprint \
    "$(ssh-keygen -lf "$TW_TEST_DIR/host_ed25519.pub" | cut -d' ' -f2)" "${login[@]}"
  [[ ! -e "$kh" ]]; ok "nothing written" $?
  expect "accept-new" 0 "$SFTPC" -o StrictHostKeyChecking=accept-new -o HashKnownHosts=yes "${login[@]}"
  has err "Warning: Permanently added '$NAME' (ED25519)" && ! has "$kh" "127.0.0.1"
  ok "says it added the key, hashed" $?
  ssh-keygen -F "$NAME" -f "$kh" | grep -qF "$HOST_KEY"; ok "ssh-keygen -F finds the line" $?
  expect "a known host needs no question" 0 "$SFTPC" "${login[@]}"

  # One file content per row: expected status, StrictHostKeyChecking, what stderr says, the
  # lines. A changed key is refused even with "no".
  local want mode text lines
  while IFS='|' read -r want mode text lines; do
    fresh_home
    printf '%b' "$lines" >"$kh"
    [[ "$text" == hashed ]] && ssh-keygen -q -H -f "$kh" >/dev/null 2>&1
    expect "known_hosts: $lines" "$want" "$SFTPC" -o StrictHostKeyChecking="$mode" "${login[@]}"
    [[ "$text" == - || "$text" == hashed ]] || has err "$text"
    ok "says: $text" $?
  done <<EOF
0|yes|-|# comment\n127.0.0.1 $(other_key id_ed25519_other)\n$NAME $HOST_KEY\n
0|yes|hashed|$NAME $HOST_KEY\n
0|yes|-|other,[127.0.0.?]:$PORT $(other_key id_ecdsa)\n[127.0.0.?]:$PORT $HOST_KEY
1|no|REMOTE HOST IDENTIFICATION HAS CHANGED|$NAME $(other_key id_ed25519_other)\n
1|no|Offending ED25519 key in $HOME/.ssh/known_hosts:2|x $HOST_KEY\n[127.0.0.1]:$PORT,y $(other_key id_ed25519_other)\n
1|no|REVOKED HOST KEY|@revoked * $HOST_KEY\n
1|yes|No ED25519 host key is known|$NAME $(other_key id_ecdsa)\n
EOF
  # Without a trailing newline the added line still stands on its own, plain here.
  fresh_home
  printf '127.0.0.9 %s' "$(other_key id_ecdsa)" >"$kh"
  expect "no, with plain names" 0 "$SFTPC" -o StrictHostKeyChecking=no -o HashKnownHosts=no "${login[@]}"
  [[ "$(tail -n 1 "$kh")" == "$NAME $HOST_KEY" ]]; ok "line appended plain" $?

  # On a terminal: the question, then an encrypted key's passphrase, without echo.
  fresh_home
  local enc=(-i "$K/id_ed25519_enc" -P "$PORT" "$U@127.0.0.1" realpath)
  tmux -S "$TMUX_SOCK" new-session -d -s tw -x 150 -y 40 \
    "env -i PATH=/usr/bin:/bin HOME=$HOME HISTFILE=/dev/null TERM=screen bash --norc --noprofile"
  tmux -S "$TMUX_SOCK" send-keys -t tw "cd $WORK; PS1='$ '; clear; ${SFTPC@Q} ${enc[*]@Q}; echo EXIT=\$?" Enter
  wait_screen 'continue connecting \(yes/no\)\?$'; ok "asks about the unknown host" $?
  screen >out
  has out "ED25519 key fingerprint is $(ssh-keygen -lf "$TW_TEST_DIR/host_ed25519.pub" | cut -d' ' -f2)."
  ok "shows the SHA256 fingerprint" $?
  tmux -S "$TMUX_SOCK" send-keys -t tw "maybe" Enter
  wait_screen "Please type 'yes', 'no' or the fingerprint:$"; ok "asks again" $?
  tmux -S "$TMUX_SOCK" send-keys -t tw "yes" Enter
  wait_screen "Enter passphrase for key '$K/id_ed25519_enc':$"; ok "asks for the passphrase" $?
  tmux -S "$TMUX_SOCK" send-keys -t tw "$TW_KEY_PASSPHRASE" Enter
  wait_screen '^EXIT='
  screen >out
  grep -qx 'EXIT=0' out && grep -qx "$TW_SSH_HOME" out && ! has out "$TW_KEY_PASSPHRASE"
  ok "logged in, passphrase not shown" $?
  ssh-keygen -F "$NAME" -f "$HOME/.ssh/known_hosts" | grep -qF "$HOST_KEY"; ok "yes added the key" $?
}

screen() { tmux -S "$TMUX_SOCK" capture-pane -p -t tw; }
wait_screen() {
  for _ in $(seq 150); do
    screen | grep -qE -- "$1" && return 0
    sleep 0.1
  done
  return 1
}

"case_$CASE"
echo "sftpc $CASE: $passed passed, $failed failed"
((failed == 0))
