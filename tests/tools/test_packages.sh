#!/usr/bin/env bash
# Builds one of the packages, installs it into a clean place and runs the README's example
# for its language against the private OpenSSH server.
#   test_packages.sh wheel <module>   the wheel, into a fresh virtual environment
#   test_packages.sh deb              the three Debian packages, with apt-get, into a clean
#                                     Debian 12 root (cached; an overlay per run), where the
#                                     C example builds with pkg-config and runs as it is
#   test_packages.sh nuget <module>   the NuGet package's layout, and its assembly loaded by
#                                     a program compiled against it (mono), calling <module>
set -euo pipefail

CASE="$1"
REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
W="$(mktemp -d)"
cleanup() {
  if [[ -n "${MERGED:-}" ]]; then umount "$MERGED/proc" 2>/dev/null || true; umount "$MERGED" || true; fi
  rm -rf "$W"
}
trap cleanup EXIT

# The fenced block of the README that follows the line "<!-- example: NAME -->", with the
# example's server, account, key and folder replaced by the test server's.
example() {
  local port user key="s|/home/me/\.ssh/id_ed25519|$2|g" data="s|/srv/data|$TW_SSH_HOME/pkgdata|g"
  if [[ "$1" == python ]]; then
    port="s|host=\"files\.example\.org\"|host=\"127.0.0.1\", port=$TW_SSHD_PORT|"
    user="s|user=\"me\"|user=\"$TW_SSH_USER\"|"
  else  # C: the configuration is a string literal, its quotes escaped
    port='s|\\"files\.example\.org\\"|\\"127.0.0.1\\",\\"port\\":'"$TW_SSHD_PORT|"
    user='s|\\"me\\"|\\"'"$TW_SSH_USER"'\\"|'
  fi
  awk -v m="<!-- example: $1 -->" '$0 == m {on = 1; next} on && /^```/ {if (in_) exit; in_ = 1; next}
                                   on && in_ {print}' "$REPO/README.md" |
    sed -e "$port" -e "$user" -e "$key" -e "$data"
}
# The folder the examples list and download from, in the test server's home.
example_data() {
  : "${TW_SSHD_PORT:?run through scripts/with-servers.sh}"
  mkdir -p "$TW_SSH_HOME/pkgdata"
  head -c 100000 /dev/urandom >"$TW_SSH_HOME/pkgdata/big.iso"
  chmod -R a+rX "$TW_SSH_HOME/pkgdata"
}

case "$CASE" in
  wheel)
    example_data
    TW_MODULE="$2" TW_DIST="$W/dist" bash "$REPO/scripts/wheel.sh" >"$W/wheel.log"
    /usr/bin/python3 -m venv "$W/venv"
    "$W/venv/bin/pip" install -q --no-index "$W"/dist/*.whl
    example python "$TW_KEYS_DIR/id_ed25519" >"$W/example.py"
    (cd "$W" && env -u TARNWICK_SFTP_LIBRARY -u PYTHONPATH "$W/venv/bin/python" example.py) >"$W/out"
    grep -q ' big.iso$' "$W/out" && cmp -s "$W/big.iso" "$TW_SSH_HOME/pkgdata/big.iso" ||
      { echo "FAILED: the README's Python example" >&2; cat "$W/out" >&2; exit 1; }
    ;;
  deb)
    example_data
    TW_DIST="$W/dist" bash "$REPO/scripts/deb.sh" >"$W/deb.log"
    source "$REPO/scripts/lib/debsrc.sh"
    LOWER="$(tw_debian12_root)"
    MERGED="$W/root"
    mkdir -p "$W/upper" "$W/work" "$MERGED"
    mount -t overlay overlay -o "lowerdir=$LOWER,upperdir=$W/upper,workdir=$W/work" "$MERGED"
    mount -t proc proc "$MERGED/proc"
    mkdir -p "$MERGED/tmp/pkg"
    cp "$W"/dist/*.deb "$TW_KEYS_DIR/id_ed25519" "$MERGED/tmp/pkg/"
    chroot "$MERGED" sh -c 'apt-get install -y -q ./tmp/pkg/*.deb' >"$W/apt.log" 2>&1 ||
      { echo "FAILED: apt-get install" >&2; cat "$W/apt.log" >&2; exit 1; }
    example c /tmp/pkg/id_ed25519 >"$MERGED/tmp/pkg/app.c"
    man=true  # the manual page, where the tree has one
    [[ -f "$REPO/tools/sftpc.1" ]] && man='ls /usr/share/man/man1/sftpc.1*'
    chroot "$MERGED" sh -c "cd /tmp/pkg && cc app.c \$(pkg-config --cflags --libs tarnwick_sftp) -o app &&
                            ./app && sftpc --help >/dev/null && $man" >"$W/out" 2>&1 ||
      { echo "FAILED: the README's C example in the Debian root" >&2; cat "$W/out" >&2; exit 1; }
    grep -q '"name":"pkgdata"' "$W/out" ||
      { echo "FAILED: the C example's listing" >&2; cat "$W/out" >&2; exit 1; }
    ;;
  nuget)
    TW_DIST="$W/dist" bash "$REPO/scripts/nuget.sh" >"$W/nuget.log"
    mkdir "$W/pkg"
    /usr/bin/python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' \
      "$W"/dist/Tarnwick.Sftp.1.1.1.nupkg "$W/pkg"
    for f in Tarnwick.Sftp.nuspec lib/net45/Tarnwick.Sftp.dll \
             runtimes/win-x64/native/tarnwick-libssh2-sftp-client-transfer.dll; do
      [[ -f "$W/pkg/$f" ]] || { echo "FAILED: the package lacks $f" >&2; exit 1; }
    done
    grep -q '<version>1.1.1</version>' "$W/pkg/Tarnwick.Sftp.nuspec"
    # A Windows x86-64 module: the PE signature, and machine 0x8664 behind it.
    /usr/bin/python3 -c 'import struct, sys; b = open(sys.argv[1], "rb").read(4096)
o = struct.unpack_from("<I", b, 0x3c)[0]
sys.exit(b[:2] != b"MZ" or b[o:o + 6] != b"PE\0\0\x64\x86")' "$W"/pkg/runtimes/win-x64/native/*.dll
    printf '%s\n' 'class P { static void Main() {' \
      'System.Console.WriteLine(Tarnwick.Sftp.SftpClient.LibraryVersion); } }' >"$W/p.cs"
    mcs -nologo -r:"$W/pkg/lib/net45/Tarnwick.Sftp.dll" -out:"$W/p.exe" "$W/p.cs"
    cp "$W/pkg/lib/net45/Tarnwick.Sftp.dll" "$W/"
    ln -s "$(realpath "$2")" "$W/libtarnwick-libssh2-sftp-client-transfer.so"
    [[ "$(LD_LIBRARY_PATH="$W" mono "$W/p.exe")" == 1.1.1 ]] ||
      { echo "FAILED: the package's assembly" >&2; exit 1; }
    ;;
  *) echo "usage: $0 wheel <module> | deb | nuget <module>" >&2; exit 2 ;;
esac
echo "packages ($CASE): 1 passed, 0 failed"
