#!/usr/bin/env bash
# Installs what the project needs to build and test, as root on Debian 12.
# Safe to run again: it skips the apt work and the libssh2 build when they are already done.
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=lib/debsrc.sh
source "$REPO/scripts/lib/debsrc.sh"
WANT_SSH2=1.11.1
export DEBIAN_FRONTEND=noninteractive

PKGS=(cmake g++ make pkg-config patch libgtest-dev libjsmn-dev libssl-dev zlib1g-dev dpkg-dev
      openssh-server openssh-sftp-server openssh-client python3-asyncssh clang-format
      python3-bcrypt procps openssl util-linux python3 ca-certificates debian-archive-keyring
      tmux python3-pytest python3-pip mono-mcs mono-runtime libedit-dev python3-venv
      dropbear-bin proftpd-core proftpd-mod-crypto)

# The test run starts Dropbear and ProFTPD itself; installing them must not start their system
# services. A policy-rc.d that denies every start stays in place while apt runs, unless the
# machine keeps one of its own.
if [[ ! -e /usr/sbin/policy-rc.d ]]; then
  printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
  chmod 755 /usr/sbin/policy-rc.d
  trap 'rm -f /usr/sbin/policy-rc.d' EXIT
fi
tw_install_missing deps "${PKGS[@]}"

# sshd refuses to start without its privilege separation folder, which containers often lack.
mkdir -p /run/sshd

# Debian 12 ships libssh2 1.10, whose RSA signatures (SHA-1) OpenSSH refuses, and every Debian
# libssh2 lacks our fixes, so Debian 13's 1.11.1 source is built with our patches, static. The
# build lives in the cache outside the clone, keyed on the version and the patch set, and the
# clone's .deps/libssh2 points at it.
KEY="$(tw_patch_key "$TW_LIBSSH2_PATCHES")"
PREFIX="$(tw_cache_root)/libssh2-linux-$WANT_SSH2-$KEY"
mkdir -p "$REPO/.deps"
link_prefix() {
  # Build trees link .deps/libssh2/lib/libssh2.a; when the link moves to another build, that
  # build may be older than the programs linked before, so it is touched to make them relink.
  if [[ "$(readlink "$REPO/.deps/libssh2" 2>/dev/null)" != "$PREFIX" ]]; then
    touch "$PREFIX/lib/libssh2.a"
  fi
  ln -sfn "$PREFIX" "$REPO/.deps/libssh2"
  echo "deps: libssh2 $WANT_SSH2 from $PREFIX ($(cat "$PREFIX/share/tarnwick/source")," \
    "patches: $(paste -sd ' ' "$PREFIX/share/tarnwick/patches" | sed 's/^$/none/'))"
}
if [[ -f "$PREFIX/share/tarnwick/patches" && -f "$PREFIX/lib/libssh2.a" ]]; then
  link_prefix
  exit 0
fi

src="$(tw_fetch_source libssh2 "$WANT_SSH2-")"
work="$(tw_cache_root)/work/libssh2-linux-$KEY"
rm -rf "$work" "$PREFIX"
mkdir -p "$work"
cp -a "$src" "$work/src"
tw_apply_patches "$work/src" "$TW_LIBSSH2_PATCHES"

cmake -S "$work/src" -B "$work/build" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$PREFIX" -DCMAKE_INSTALL_LIBDIR=lib \
  -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
  -DCRYPTO_BACKEND=OpenSSL -DENABLE_ZLIB_COMPRESSION=ON -DBUILD_EXAMPLES=OFF -DBUILD_TESTING=OFF \
  >"$work/configure.log"
cmake --build "$work/build" -j"$(nproc)" >"$work/build.log"
cmake --install "$work/build" >"$work/install.log"
mkdir -p "$PREFIX/share/tarnwick"
cp "$work/src/.tw-patches" "$PREFIX/share/tarnwick/patches"
basename "$(dirname "$src")" >"$PREFIX/share/tarnwick/source"
rm -rf "$work"
link_prefix
