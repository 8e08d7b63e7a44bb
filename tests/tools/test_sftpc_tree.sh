#!/usr/bin/env bash
# End-to-end test of sftpc's tree copies (get -r, put -r, -p) and of patterns
# in the last path element, against the private OpenSSH server (run under
# scripts/with-servers.sh). Usage: test_sftpc_tree.sh <path to sftpc>
set -uo pipefail

SFTPC="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
: "${TW_SSHD_PORT:?run through scripts/with-servers.sh}"
passed=0 failed=0
WORK="$(mktemp -d)"
REMOTE="$TW_SSH_HOME/tree.$$"
mkdir -p "$REMOTE" "$WORK/home"
chown "$TW_SSH_UID:$TW_SSH_UID" "$REMOTE"
trap 'rm -rf "$WORK" "$REMOTE"' EXIT
cd "$WORK" || exit 1
export HOME="$WORK/home"

ok() {
  if [[ "$2" == 0 ]]; then passed=$((passed + 1)); else
    failed=$((failed + 1))
    echo "FAILED: $1" >&2
    sed 's/^/  out: /' out err >&2
  fi
}
PIN="$(ssh-keygen -l -E sha256 -f "$TW_TEST_DIR/host_ed25519.pub" | cut -d' ' -f2)"
run() { "$SFTPC" --host 127.0.0.1 --port "$TW_SSHD_PORT" --user "$TW_SSH_USER" \
  --key "$TW_KEYS_DIR/id_ed25519" --fingerprint "$PIN" --no-progress "$@" >out 2>err </dev/null; }
pin() { ssh-keyscan -t ed25519 -p "$TW_FAKE_PORT" 127.0.0.1 2>/dev/null | ssh-keygen -l -E sha256 -f - | cut -d' ' -f2; }
names() {
  local f out=()
  for f in "$1"/* "$1"/.[!.]*; do [[ -e "$f" ]] && out+=("${f##*/}"); done
  echo "${out[*]}"
}
mtime_mode() { stat -c '%Y %a' "$@"; }

# A tree with nested and empty folders, a name with a space, a link and
# modes and times that -p must keep.
mkdir -p src/a/b src/empty
head -c 300000 /dev/urandom >src/a/b/big.bin
echo one >"src/with space.txt"
echo two >src/a/two.txt
ln -s ../with\ space.txt src/a/link
chmod 751 src/a/b/big.bin
chmod 700 src/a
R="$REMOTE/up"

run put -r -p src "$R"
ok "put -r -p" $?
grep -qx "skipped link src/a/link" out &&
  grep -qE "^uploaded tree src -> $R: 3 files, 4 folders, 1 skipped, 0\.3 MiB in [0-9.]+ s$" out
ok "put -r reports the link and sums up the tree" $?
[[ "$(diff -r --no-dereference src "$R")" == "Only in src/a: link" ]]
ok "the uploaded tree is the same, but for the link" $?
[[ $(stat -c %a "$R/a/b/big.bin" "$R/a") == $'751\n700' ]]
ok "put -p keeps permission bits" $?

# Remote times and a remote link for the way back.
touch -d '2001-02-03 04:05:06' "$R/a/b/big.bin" "$R/a/b" "$R/with space.txt"
ln -s a/two.txt "$R/rlink"
run get -r -p "$R" back
ok "get -r -p" $?
grep -qx "skipped link $R/rlink" out && [[ ! -e back/rlink && ! -L back/rlink ]]
ok "get -r reports and skips a remote link" $?
[[ "$(mtime_mode back/a/b/big.bin back/a/b "back/with space.txt" back/a)" == \
  "$(mtime_mode "$R/a/b/big.bin" "$R/a/b" "$R/with space.txt" "$R/a")" ]] && [[ -d back/empty ]]
ok "get -p keeps times and permission bits of files and folders" $?
cmp -s src/a/b/big.bin back/a/b/big.bin && cmp -s "src/with space.txt" "back/with space.txt"
ok "downloaded files are byte for byte" $?
run get "$R/a" x.bin
[[ $? == 1 ]] && grep -qF "is a folder (use get -r)" err
ok "a folder without -r is refused" $?

# Patterns: one listing, fnmatch on the last element, dot files left alone.
mkdir -p "$REMOTE/p" pat
for n in a1.log b2.log c3.log ab.txt .hidden.log; do echo "$n" >"$REMOTE/p/$n"; done
chown -R "$TW_SSH_UID:$TW_SSH_UID" "$REMOTE/p"
cases=(
  "*.log|a1.log b2.log c3.log"
  "?b.*|ab.txt"
  "[ab]?.log|a1.log b2.log"
  ".*.log|.hidden.log"
)
for c in "${cases[@]}"; do
  run ls "$REMOTE/p/${c%%|*}"
  [[ "$(awk '{print $NF}' out | xargs)" == "${c#*|}" ]]
  ok "ls ${c%%|*} lists ${c#*|}" $?
done
run get "$REMOTE/p/[bc]*" pat
[[ "$(names pat)" == "b2.log c3.log" ]] && cmp -s pat/b2.log "$REMOTE/p/b2.log"
ok "get with a pattern into a folder" $?
run get "$REMOTE/p/*.log" one.file
[[ $? == 1 ]] && grep -qF "'one.file' is not a folder, and 3 files match" err
ok "several matches need a folder" $?
run put "pat/*.log" "$REMOTE/p/"
[[ $? == 0 && $(grep -c '^uploaded pat/' out) == 2 ]]
ok "put with a local pattern" $?
run rm "$REMOTE/p/[ab]?.log"
[[ "$(names "$REMOTE/p")" == "ab.txt c3.log .hidden.log" ]]
ok "rm with a pattern deletes only the matches" $?
run ls "$REMOTE/p/c3.log"
grep -qE "^-rw-r--r--  7  .*  $REMOTE/p/c3\.log$" out
ok "ls of a file shows the file" $?
run get "$REMOTE/p/*.none"
[[ $? == 1 ]] && grep -qF "no remote file matches '$REMOTE/p/*.none'" err
ok "no match fails" $?

# A hostile server's names must not lead a tree out of its target folder.
mkdir -p hostile
(cd hostile && TW_PW="$TW_FAKE_PASSWORD" "$SFTPC" --host 127.0.0.1 --port "$TW_FAKE_PORT" --user fsunsafe \
  --password-env TW_PW --fingerprint "$(pin)" get -r . in >../out 2>../err)
ok "get -r from a hostile server" $?
grep -qx "skipped unsafe name ./../escaped" out && grep -qx "skipped unsafe name ./a/b" out &&
  [[ "$(find hostile -printf '%p ')" == "hostile hostile/in " ]]
ok "names with .. or / are skipped" $?

echo "sftpc trees: $passed passed, $failed failed"
((failed == 0))
