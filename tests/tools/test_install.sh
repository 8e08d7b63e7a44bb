#!/usr/bin/env bash
# Installs a build tree into a fresh prefix, builds a small C program against
# the installed tree through the CMake package and through pkg-config (and as
# C++ too, for the header's extern "C"), and runs each against the OpenSSH
# test server.
# Usage: test_install.sh <build tree>
set -euo pipefail

BUILD="$(cd "$1" && pwd)"
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
: "${TW_SSHD_PORT:?run through scripts/with-servers.sh}"
W="$(mktemp -d)"
trap 'rm -rf "$W"' EXIT
PREFIX="$W/prefix"

cmake --install "$BUILD" --prefix "$PREFIX" >"$W/install.log"
CONFIG="{\"host\":\"127.0.0.1\",\"port\":$TW_SSHD_PORT,\"user\":\"$TW_SSH_USER\",\"private_key\":\"$TW_KEYS_DIR/id_ed25519\"}"

check_run() {
  "$@" "$CONFIG" >"$W/out"
  grep -qx 'library 1.1.1' "$W/out" && grep -q '"name":"\.\."' "$W/out" &&
    grep -q 'DISCONNECT ' "$W/out" || { echo "FAILED: $*" >&2; cat "$W/out" >&2; exit 1; }
}

# The CMake package, found by prefix, with its version checked.
cmake -S "$HERE/consumer" -B "$W/cmake-build" -DCMAKE_PREFIX_PATH="$PREFIX" >"$W/configure.log"
cmake --build "$W/cmake-build" >"$W/build.log"
check_run "$W/cmake-build/consumer"

# pkg-config, version included.
export PKG_CONFIG_PATH="$PREFIX/lib/pkgconfig"
[[ "$(pkg-config --modversion tarnwick_sftp)" == 1.1.1 ]] || { echo "FAILED: pkg-config version" >&2; exit 1; }
read -r -a flags <<<"$(pkg-config --cflags --libs tarnwick_sftp)"
cc -Wall -Wextra -Werror -o "$W/pc-consumer" "$HERE/consumer/consumer.c" "${flags[@]}" \
  -Wl,-rpath,"$PREFIX/lib"
check_run "$W/pc-consumer"
# A program records the SONAME, the major version alone, so a later 1.x runs it unchanged.
readelf -d "$W/pc-consumer" | grep -q 'NEEDED.*\[libtarnwick-libssh2-sftp-client-transfer\.so\.1\]' ||
  { echo "FAILED: the program does not need the SONAME .so.1" >&2; exit 1; }
c++ -Wall -Wextra -Werror -x c++ -o "$W/cxx-consumer" "$HERE/consumer/consumer.c" "${flags[@]}" \
  -Wl,-rpath,"$PREFIX/lib"
check_run "$W/cxx-consumer"

# The installed sftpc finds the installed module.
"$PREFIX/bin/sftpc" version | grep -qx 'sftpc 1.1.1, library 1.1.1'
echo "install: 5 passed, 0 failed"
