#!/usr/bin/env bash
# Compiles the C# binding with its test under mono and runs it against the
# test servers (run under scripts/with-servers.sh). Usage: run.sh <module>
set -euo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
MODULE="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
: "${TW_SSH_HOME:?run through scripts/with-servers.sh}"
W="$(mktemp -d)"
REMOTE="$TW_SSH_HOME/csharp.$$"
trap 'rm -rf "$W" "$REMOTE"' EXIT
mkdir -p "$W/local" "$REMOTE"
chown "$TW_SSH_UID:$TW_SSH_UID" "$REMOTE"
mcs -nologo -warnaserror -out:"$W/test.exe" "$HERE/../TarnwickSftp.cs" "$HERE/TestBinding.cs"
# mono finds lib<name>.so through the loader's path; the module file may carry
# its version in its name, so a link with the plain name goes beside the test.
ln -s "$MODULE" "$W/libtarnwick-libssh2-sftp-client-transfer.so"
LD_LIBRARY_PATH="$W${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" mono "$W/test.exe" "$REMOTE" "$W/local"
