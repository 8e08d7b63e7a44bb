#!/usr/bin/env bash
# Installs what the project needs to build and test, as root on Debian 12.
# Safe to run again: it skips the apt work and the libssh2 build when they are already done.
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DEPS="$REPO/.deps"
WANT_SSH2=1.11.1
export DEBIAN_FRONTEND=noninteractive

PKGS=(cmake g++ make pkg-config libgtest-dev libjsmn-dev libssl-dev zlib1g-dev dpkg-dev
      openssh-server openssh-sftp-server openssh-client python3-asyncssh clang-format
      python3-bcrypt procps openssl util-linux python3 ca-certificates debian-archive-keyring)

# Only the packages that dpkg does not report as fully installed are fetched, so a re-run costs
# one dpkg-query instead of an apt-get update.
missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null | grep -qx installed; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  echo "deps: installing ${missing[*]}"
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

# sshd refuses to start without its privilege separation folder, which containers often lack.
mkdir -p /run/sshd

# A system libssh2 that is new enough is used as it is.
sys_ver="$(pkg-config --modversion libssh2 2>/dev/null || true)"
if [[ -n "$sys_ver" ]] && dpkg --compare-versions "$sys_ver" ge "$WANT_SSH2"; then
  echo "deps: libssh2 $sys_ver from the system (pkg-config)"
  exit 0
fi

PREFIX="$DEPS/libssh2"
installed_ver() {
  sed -n 's/^#define LIBSSH2_VERSION[[:space:]]*"\([^"]*\)".*/\1/p' "$PREFIX/include/libssh2.h" 2>/dev/null || true
}
if [[ "$(installed_ver)" == "$WANT_SSH2" && -f "$PREFIX/lib/libssh2.a" ]]; then
  echo "deps: libssh2 $WANT_SSH2 from $PREFIX (already built)"
  exit 0
fi

# Debian 12 ships libssh2 1.10, whose RSA signatures (SHA-1) OpenSSH refuses, so Debian 13's
# source package is fetched with a private apt setup that leaves the machine's apt state alone.
# The mirror is the first Debian archive named in the machine's own sources.
mirror="$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null \
  | sed -e 's/#.*//' | grep -oE '(https?|file)://[^[:space:]]*/debian/?([[:space:]]|$)' | head -n1 | tr -d '[:space:]' || true)"
if [[ -z "$mirror" ]]; then
  echo "deps: no Debian mirror found in /etc/apt/sources.list*" >&2
  exit 1
fi

W="$DEPS/apt"
mkdir -p "$W/etc" "$W/lists/partial" "$W/cache/archives/partial"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror trixie main" >"$W/etc/sources.list"
APTO=(-o "Dir::Etc::SourceList=$W/etc/sources.list" -o Dir::Etc::SourceParts=/dev/null
      -o "Dir::State::Lists=$W/lists" -o "Dir::Cache=$W/cache" -o APT::Sandbox::User=root)
apt-get "${APTO[@]}" update

# Revisions such as 1.11.1-1+deb13u2 can vanish after a point release, so the newest 1.11.1
# revision on offer is taken.
rev=""
for v in $(apt-cache "${APTO[@]}" showsrc libssh2 | sed -n 's/^Version: //p'); do
  if [[ "$v" == "$WANT_SSH2"-* ]] && { [[ -z "$rev" ]] || dpkg --compare-versions "$v" gt "$rev"; }; then
    rev="$v"
  fi
done
if [[ -z "$rev" ]]; then
  echo "deps: no libssh2 $WANT_SSH2 source package in trixie at $mirror" >&2
  exit 1
fi

SRC="$DEPS/src"
rm -rf "$SRC" "$DEPS/build-libssh2" "$PREFIX"
mkdir -p "$SRC"
(cd "$SRC" && apt-get "${APTO[@]}" source "libssh2=$rev")
srcdir="$(find "$SRC" -mindepth 1 -maxdepth 1 -type d -name 'libssh2-*' | head -n1)"

cmake -S "$srcdir" -B "$DEPS/build-libssh2" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$PREFIX" -DCMAKE_INSTALL_LIBDIR=lib \
  -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
  -DCRYPTO_BACKEND=OpenSSL -DENABLE_ZLIB_COMPRESSION=ON -DBUILD_EXAMPLES=OFF -DBUILD_TESTING=OFF
cmake --build "$DEPS/build-libssh2" -j"$(nproc)"
cmake --install "$DEPS/build-libssh2"

if [[ "$(installed_ver)" != "$WANT_SSH2" || ! -f "$PREFIX/lib/libssh2.a" ]]; then
  echo "deps: libssh2 install in $PREFIX is incomplete" >&2
  exit 1
fi
echo "deps: libssh2 $WANT_SSH2 from $PREFIX (built from Debian source $rev)"
