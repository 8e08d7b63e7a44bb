#!/usr/bin/env bash
# End-to-end tests of sftpc against the test servers (run under
# scripts/with-servers.sh, which exports the TW_* variables).
# Usage: test_sftpc.sh <case> <path to sftpc>
# Cases: commands, batch, secrets, cancel, terminal, fingerprint.
set -uo pipefail

CASE="$1"
SFTPC="$(cd "$(dirname "$2")" && pwd)/$(basename "$2")"
: "${TW_SSHD_PORT:?run through scripts/with-servers.sh}"
passed=0
failed=0
WORK="$(mktemp -d)"
REMOTE="$TW_SSH_HOME/sftpc.$CASE.$$"
mkdir -p "$REMOTE"
chown "$TW_SSH_UID:$TW_SSH_UID" "$REMOTE"
TMUX_SOCK="$WORK/tmux.sock"
cleanup() {
  [[ -S "$TMUX_SOCK" ]] && tmux -S "$TMUX_SOCK" kill-server 2>/dev/null
  rm -rf "$WORK" "$REMOTE"
}
trap cleanup EXIT
cd "$WORK" || exit 1
# A home of the run's own: no ~/.ssh of the user is read or written, and the
# throwaway servers' keys are trusted on first use.
export HOME="$WORK/home"
unset SSH_AUTH_SOCK
mkdir -p "$HOME/.ssh"
printf 'StrictHostKeyChecking accept-new\n' >"$HOME/.ssh/config"

ok() {
  if [[ "$2" == 0 ]]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $1" >&2
    [[ -s out ]] && sed 's/^/  stdout: /' out >&2
    [[ -s err ]] && sed 's/^/  stderr: /' err >&2
  fi
}
# expect NAME STATUS CMD...: runs CMD with stdout in ./out and stderr in ./err and checks that
# it exits with STATUS.
expect() {
  local name="$1" want="$2"
  shift 2
  "$@" >out 2>err </dev/null
  local rc=$?
  [[ $rc == "$want" ]]
  ok "$name (exit $rc, expected $want)" $?
}
has() { grep -qF -- "$2" "$1"; }

KEYED=(--host 127.0.0.1 --port "$TW_SSHD_PORT" --user "$TW_SSH_USER" --key "$TW_KEYS_DIR/id_ed25519")
export TW_PW="$TW_SSH_PASSWORD" TW_FAKE_PW="$TW_FAKE_PASSWORD"
slow_peer() { echo --host 127.0.0.1 --port "$TW_FAKE_PORT" --user "slow.$1" --password-env TW_FAKE_PW; }

case_commands() {
  head -c 3000000 /dev/urandom >src.bin
  expect "version" 0 "$SFTPC" version
  has out "sftpc 1.1.1, library 1.1.1"; ok "version text" $?
  expect "info" 0 "$SFTPC" "${KEYED[@]}" info
  grep -qE '^auth +publickey$' out && grep -qE '^fingerprint +([0-9a-f]{2}:){19}[0-9a-f]{2}$' out
  ok "info lines" $?
  expect "info --json" 0 "$SFTPC" "${KEYED[@]}" --json info
  grep -qE '^\{"connected":true,.*"auth":"publickey",.*\}$' out; ok "info JSON" $?

  local r="$REMOTE"
  expect "mkdir" 0 "$SFTPC" "${KEYED[@]}" mkdir "$r/d"
  expect "put over SFTP into a directory" 0 "$SFTPC" "${KEYED[@]}" put src.bin "$r/d"
  has out "uploaded src.bin -> $r/d/src.bin: 2.9 MiB"; ok "upload summary" $?
  expect "put over SCP with a mode" 0 "$SFTPC" "${KEYED[@]}" --scp --mode 600 put src.bin "$r/d/scp.bin"
  expect "chmod" 0 "$SFTPC" "${KEYED[@]}" chmod 640 "$r/d/src.bin"
  expect "ls" 0 "$SFTPC" "${KEYED[@]}" ls "$r/d"
  # Aligned columns: mode, size, date, name; names sorted.
  grep -qE '^-rw-------  3000000  [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}  scp\.bin$' out &&
    grep -qE '^-rw-r-----  3000000  .*  src\.bin$' out && grep -qE '^d.{9} +[0-9]+  .*  \.\.$' out
  ok "ls lines" $?
  expect "ls --json" 0 "$SFTPC" "${KEYED[@]}" ls --json "$r/d"
  grep -qE '^\[\{"name":.*\}\]$' out && has out '"name":"scp.bin"'; ok "ls JSON" $?
  expect "stat" 0 "$SFTPC" "${KEYED[@]}" stat "$r/d/scp.bin"
  grep -qE "^-rw-------  3000000  .*  $r/d/scp.bin\$" out; ok "stat line" $?
  expect "mv" 0 "$SFTPC" "${KEYED[@]}" mv "$r/d/scp.bin" "$r/d/moved.bin"
  expect "get over SCP" 0 "$SFTPC" "${KEYED[@]}" --scp get "$r/d/moved.bin" .
  cmp -s src.bin moved.bin; ok "SCP copy identical" $?
  expect "get over SFTP as JSON" 0 "$SFTPC" "${KEYED[@]}" get --json "$r/d/src.bin" copy.bin
  cmp -s src.bin copy.bin && grep -qE '^\{"active":false,.*"transferred":3000000,.*"error":""\}$' out
  ok "SFTP copy identical, record printed" $?
  expect "realpath" 0 "$SFTPC" "${KEYED[@]}" realpath "$r/d/.."
  [[ "$(cat out)" == "$r" ]]; ok "realpath text" $?
  expect "rm" 0 "$SFTPC" "${KEYED[@]}" rm "$r/d/moved.bin"
  expect "rmdir of a full directory fails" 1 "$SFTPC" "${KEYED[@]}" rmdir "$r/d"
  has err "sftpc: cannot remove directory '$r/d' (is it empty?)"; ok "library's text on stderr" $?
  expect "get of a missing file fails" 1 "$SFTPC" "${KEYED[@]}" get "$r/none" none.bin
  has err "sftpc: cannot open remote file '$r/none'" && [[ ! -e none.bin ]]; ok "failure text" $?
  expect "lls" 0 "$SFTPC" lls "$WORK"
  grep -qE '^-rw-r--r--  3000000  .*  src\.bin$' out; ok "lls lines" $?
  expect "log" 0 "$SFTPC" "${KEYED[@]}" log
  grep -qE '^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}  CONNECTED ' out; ok "log lines" $?

  printf '{"host":"127.0.0.1","port":%s,"user":"%s","key":"%s","timeout":5}' \
    "$TW_SSHD_PORT" "$TW_SSH_USER" "$TW_KEYS_DIR/id_ed25519" >cfg.json
  expect "settings from --config" 0 "$SFTPC" --config cfg.json realpath
  printf '{"host":"127.0.0.1","port":%s,"user":"%s"}' "$TW_CLOSED_PORT" "$TW_SSH_USER" >closed.json
  expect "flags override --config" 0 "$SFTPC" --config=closed.json "${KEYED[@]}" realpath
  expect "connect failure" 1 "$SFTPC" --config closed.json --password-env TW_PW ls
  has err "sftpc: cannot connect to 127.0.0.1:$TW_CLOSED_PORT"; ok "connect failure text" $?
  expect "unknown command" 2 "$SFTPC" "${KEYED[@]}" frobnicate
  expect "missing host" 2 "$SFTPC" --user u --key k
  expect "bad mode" 2 "$SFTPC" "${KEYED[@]}" chmod 9 x
  expect "help" 0 "$SFTPC" --help
  for word in --password-env --passphrase-env --fingerprint --config --batch --json --scp --mode \
    info ls stat realpath mkdir rmdir rm mv chmod get put lls log version 130; do
    has out "$word" || { echo "help lacks $word" >err; false; } || break
  done
  ok "help documents every option and command" $?
}

case_batch() {
  head -c 100000 /dev/urandom >src.bin
  printf '%s\n' "# a comment" "mkdir $REMOTE/b" "" "-mkdir $REMOTE/b" \
    "put --scp --mode 640 src.bin '$REMOTE/b/with space.bin'" "ls $REMOTE/b" \
    "get \"$REMOTE/b/with space.bin\" back.bin" "rm $REMOTE/b/none" "rmdir $REMOTE/b" >script
  "$SFTPC" "${KEYED[@]}" -b script >out 2>err </dev/null
  ok "stops at the first failure that is not marked" $(($? != 1))
  has out "sftpc> -mkdir $REMOTE/b" && has out "sftpc> rm $REMOTE/b/none" &&
    ! has out "sftpc> rmdir" && ! has out "# a comment"
  ok "echoes the lines it runs, and stops" $?
  has err "sftpc: cannot create directory '$REMOTE/b'" && has err "sftpc: cannot delete '$REMOTE/b/none'"
  ok "each failure's text" $?
  grep -qE '^-rw-r-----  100000  .*  with space\.bin$' out && cmp -s src.bin back.bin
  ok "quoted words, per-line options" $?
  printf '%s\n' "rm '$REMOTE/b/with space.bin'" "rmdir $REMOTE/b" "log" | "$SFTPC" "${KEYED[@]}" --batch - >out 2>err
  ok "batch from standard input" $?
  [[ $(grep -c ' CONNECTED ' out) == 1 ]] && has out "RMDIR $REMOTE/b"; ok "one session for the batch" $?
  printf 'ls --host elsewhere\n' | "$SFTPC" "${KEYED[@]}" -b - >out 2>err
  ok "a batch line cannot change the connection" $(($? != 2))
}

case_secrets() {
  local pw="$TW_SSH_PASSWORD"
  local login=(--host 127.0.0.1 --port "$TW_SSHD_PORT" --user "$TW_SSH_USER" --password-env TW_PW)
  head -c 1000 /dev/urandom >src.bin
  : >all
  # The password holds a quote and a backslash, so it also tests the escaping of the config.
  for cmd in info "--json info" "--json log" "-v ls" "--json put src.bin $REMOTE/s.bin"; do
    # shellcheck disable=SC2086 # cmd is split on purpose
    expect "password login: $cmd" 0 "$SFTPC" "${login[@]}" $cmd
    cat out err >>all
  done
  has all "(password)"; ok "the logins used the password" $?
  printf 'info\n--json info\nlog\n' | "$SFTPC" "${login[@]}" -v -b - >>all 2>&1
  export TW_WRONG="not-$pw"
  expect "wrong password" 1 "$SFTPC" "${login[@]/TW_PW/TW_WRONG}" -v --json info
  has err "authentication failed for user '$TW_SSH_USER' (password)"; ok "auth failure text" $?
  cat out err >>all
  export TW_PHRASE="$TW_KEY_PASSPHRASE"
  expect "key with a passphrase" 0 "$SFTPC" --host 127.0.0.1 --port "$TW_SSHD_PORT" \
    --user "$TW_SSH_USER" --key "$TW_KEYS_DIR/id_ed25519_enc" --passphrase-env TW_PHRASE -v --json info
  cat out err >>all
  ! has all "$pw" && ! has all "not-" && ! has all "$TW_KEY_PASSPHRASE"
  ok "no password or passphrase in any output" $?
  printf '{"host":"h","user":"u","password":"x"}' >cfg.json
  expect "a password in --config is refused" 2 "$SFTPC" --config cfg.json ls
  # Without --password-env and without a terminal there is nobody to ask.
  expect "no terminal to ask on" 2 setsid -w "$SFTPC" --host 127.0.0.1 --port "$TW_SSHD_PORT" --user "$TW_SSH_USER" ls
  has err "no password"; ok "says how to give one" $?
  expect "unset variable" 2 "$SFTPC" --host 127.0.0.1 --user u --password-env TW_NO_SUCH_VAR ls
}

# Waits up to 10 s for a progress line on the file of standard error.
wait_for_progress() {
  for _ in $(seq 100); do
    grep -q '^progress ' "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

case_cancel() {
  head -c 4194304 /dev/urandom >"$TW_FAKE_ROOT/cancel.$$.bin"
  # shellcheck disable=SC2046 # slow_peer's words
  "$SFTPC" $(slow_peer 0.05) -v get "cancel.$$.bin" part.bin >out 2>err </dev/null &
  local pid=$!
  wait_for_progress err; ok "the download started" $?
  kill -INT "$pid"
  wait "$pid"
  ok "SIGINT exits with 130" $(($? != 130))
  has err "sftpc: transfer cancelled" && has err "CANCEL requested" && has err "DOWNLOAD CANCELLED cancel.$$.bin"
  ok "cancelled through the library" $?
  [[ ! -e part.bin ]] && ! compgen -G '.part.bin.*' >/dev/null; ok "the partial download is gone" $?
  rm -f "$TW_FAKE_ROOT/cancel.$$.bin"
}

# tmux drives sftpc on a real terminal; its screen is read with capture-pane.
screen() { tmux -S "$TMUX_SOCK" capture-pane -p -t tw; }
# Waits for a line matching $1 on the screen, for at most $2 tenths of a second (150).
wait_screen() {
  for _ in $(seq "${2:-150}"); do
    screen | grep -qE -- "$1" && return 0
    sleep 0.1
  done
  return 1
}

case_terminal() {
  head -c 4194304 /dev/urandom >"$TW_FAKE_ROOT/tty.$$.bin"
  # A clean environment, but for the sanitizers' options of the run.
  local keep=(PATH=/usr/bin:/bin TERM=screen "HOME=$HOME" HISTFILE=/dev/null "TW_FAKE_PW=$TW_FAKE_PW")
  for v in ASAN_OPTIONS UBSAN_OPTIONS TSAN_OPTIONS; do [[ -n "${!v:-}" ]] && keep+=("$v=${!v}"); done
  tmux -S "$TMUX_SOCK" new-session -d -s tw -x 100 -y 30 "env -i ${keep[*]@Q} bash --norc --noprofile"
  tmux -S "$TMUX_SOCK" send-keys -t tw "cd $WORK; PS1='$ '; clear" Enter
  # shellcheck disable=SC2046
  tmux -S "$TMUX_SOCK" send-keys -t tw "$SFTPC $(slow_peer 0.02) get tty.$$.bin a.bin; echo EXIT=\$?" Enter
  wait_screen '^tty\.[0-9]+\.bin \[#*\.*\] +[0-9.]+%  [0-9.]+ [KM]iB of 4\.0 MiB  [0-9.]+ [KM]iB/s  ETA [0-9]+:[0-9]{2}$'
  ok "the progress line appears" $?
  wait_screen '^EXIT='
  # The screen goes to ./out, which a failing check shows.
  screen >out
  grep -qx 'EXIT=0' out && grep -qE "^downloaded tty\.$$\.bin -> a\.bin: 4\.0 MiB in" out
  ok "the transfer finished" $?
  ! grep -qE 'ETA|\[#|\.\.\.\.' out; ok "the screen ends clean" $?
  cmp -s "$TW_FAKE_ROOT/tty.$$.bin" a.bin; ok "the copy is identical" $?
  tmux -S "$TMUX_SOCK" send-keys -t tw "clear; $SFTPC $(slow_peer 0.05) get tty.$$.bin b.bin; echo EXIT=\$?" Enter
  wait_screen 'ETA'
  tmux -S "$TMUX_SOCK" send-keys -t tw C-c
  # The library drains the reads it has in flight before the cancelled
  # download returns, which takes seconds at this peer's pace.
  wait_screen '^EXIT=' 600
  screen >out
  grep -qx 'EXIT=130' out && grep -qx 'sftpc: transfer cancelled' out && [[ ! -e b.bin ]]
  ok "Ctrl-C cancels" $?
  ! grep -qE 'ETA|\[#' out; ok "the screen ends clean after Ctrl-C" $?
  rm -f "$TW_FAKE_ROOT/tty.$$.bin"
}

case_fingerprint() {
  "$SFTPC" "${KEYED[@]}" --json info >out 2>err
  local sha1 sha256
  sha1="$(sed -E 's/.*"fingerprint":"([^"]*)".*/\1/' out)"
  sha256="$(ssh-keygen -l -E sha256 -f "$TW_TEST_DIR/host_ed25519.pub" | cut -d' ' -f2)"
  expect "the SHA-1 pin matches" 0 "$SFTPC" "${KEYED[@]}" --fingerprint "$sha1" realpath
  expect "the SHA-1 pin in upper case matches" 0 "$SFTPC" "${KEYED[@]}" --fingerprint "${sha1^^}" realpath
  expect "the SHA256 pin matches" 0 "$SFTPC" "${KEYED[@]}" --fingerprint "$sha256" realpath
  printf '{"fingerprint":"%s00"}' "$(printf '00:%.0s' {1..19})" >cfg.json
  expect "a wrong pin is refused" 1 "$SFTPC" --config cfg.json "${KEYED[@]}" realpath
  has err "sftpc: host key mismatch for 127.0.0.1:$TW_SSHD_PORT"; ok "mismatch text" $?
}

"case_$CASE"
echo "sftpc $CASE: $passed passed, $failed failed"
((failed == 0))
