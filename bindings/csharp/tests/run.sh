#!/usr/bin/env bash
# Compiles the C# binding with its test and its example program under mono and
# runs both against the test servers (run under scripts/with-servers.sh). The
# README's console program must be the example, as written. Usage: run.sh <module>
set -euo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
MODULE="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
: "${TW_SSH_HOME:?run through scripts/with-servers.sh}"
W="$(mktemp -d)"
REMOTE="$TW_SSH_HOME/csharp.$$"
trap 'rm -rf "$W" "$REMOTE" "$TW_SSH_HOME/tarnwick-example.txt"' EXIT
mkdir -p "$W/local" "$REMOTE"
chown "$TW_SSH_UID:$TW_SSH_UID" "$REMOTE"
mcs -nologo -warnaserror -out:"$W/test.exe" "$HERE/../TarnwickSftp.cs" "$HERE/TestBinding.cs"
EXAMPLE="$HERE/../examples/Example.cs"
mcs -nologo -warnaserror -out:"$W/example.exe" "$HERE/../TarnwickSftp.cs" "$EXAMPLE"
awk '$0 == "<!-- example: csharp -->" {on = 1; next} on && /^```/ {if (in_) exit; in_ = 1; next} in_' \
  "$HERE/../../../README.md" | diff -u "$EXAMPLE" - || { echo "README.md: its C# example is not $EXAMPLE" >&2; exit 1; }
# mono finds lib<name>.so through the loader's path; the module file may carry
# its version in its name, so a link with the plain name goes beside the test.
ln -s "$MODULE" "$W/libtarnwick-libssh2-sftp-client-transfer.so"
export TW_LIBRARY_HEADER="$HERE/../../../include/tarnwick_sftp.h"
export LD_LIBRARY_PATH="$W${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
mono "$W/test.exe" "$REMOTE" "$W/local"
OUT="$(TMPDIR="$W/local" mono "$W/example.exe" 127.0.0.1 "$TW_SSHD_PORT" "$TW_SSH_USER" "$TW_KEYS_DIR/id_ed25519")"
grep -qx "downloaded: Hello over SFTP" <<<"$OUT" && grep -q " csharp\.$$\$" <<<"$OUT" || { echo "example program: $OUT" >&2; exit 1; }
echo "csharp example: connected, listed, uploaded and downloaded"
