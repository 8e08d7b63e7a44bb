#!/usr/bin/env bash
# Builds the Windows DLL from this tree with mingw-w64 and tests it under Wine
# against the local test servers, as root on Debian 12.
# Usage: bash scripts/windows.sh        (TW_WIN_BUILD_ONLY=1 skips the Wine tests)
#
# The DLL (build-win/tarnwick-libssh2-sftp-client-transfer.dll) carries
# libssh2 1.11.1 with our patches, OpenSSL's libcrypto and the C++ runtime,
# all linked statically. Both libraries are cross-built from Debian's source
# packages into the cache outside the clone, keyed on the source revisions and
# the patch set, so a second run on the same machine skips those builds.
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=lib/debsrc.sh
source "$REPO/scripts/lib/debsrc.sh"
cd "$REPO"
WANT_SSH2=1.11.1
WANT_OPENSSL=3.5.
CROSS=x86_64-w64-mingw32
TOOLCHAIN="$REPO/cmake/mingw-w64-x86_64.cmake"
export DEBIAN_FRONTEND=noninteractive
start=$SECONDS
say() { echo "windows: $* ($((SECONDS - start)) s)"; }

# The packages of the Linux build and the test servers, then the cross
# compilers and Wine.
bash scripts/deps.sh
tw_install_missing windows mingw-w64 wine wine64 perl
say "packages ready"

# The newest finished build in the cache whose folder name matches a pattern,
# or nothing. A build is finished once its folder has its final name.
cached() {
  local d
  for d in $(compgen -G "$(tw_cache_root)/$1" | sort -V -r); do
    [[ "$d" != *.part.* && -f "$d/share/tarnwick/source" ]] && { echo "$d"; return 0; }
  done
  return 0
}

# Builds into <prefix>.part.<pid> and renames it when complete, so that an
# interrupted build is never taken for a finished one, and two runs at once do
# not write the same folder.
finish_prefix() {
  local part="$1" prefix="$2" source="$3"
  mkdir -p "$part/share/tarnwick"
  echo "$source" >"$part/share/tarnwick/source"
  rm -rf "$prefix"
  mv "$part" "$prefix"
}

# OpenSSL's libcrypto, static, without loadable modules and without reading a
# configuration file on its own; libssl is not needed. Parts that libssh2 never
# calls are left out, which saves a fifth of the build.
OPENSSL_OPTIONS=(mingw64 no-shared no-module no-tests no-autoload-config no-ui-console no-async
  no-engine no-legacy no-cms no-ts no-ocsp no-srp no-ct no-cmp no-comp no-sm2 no-sm3 no-sm4
  no-siphash no-whirlpool no-idea no-seed no-camellia no-aria no-mdc2 no-rc2 no-rc5 no-ec2m
  no-gost no-slh-dsa no-ml-dsa no-ml-kem)
OPENSSL_KEY="$(echo "${OPENSSL_OPTIONS[*]}" | sha256sum | cut -c1-8)"

build_openssl() {
  local src rev work part prefix
  src="$(tw_fetch_source openssl "$WANT_OPENSSL")"
  rev="$(cat "$(dirname "$src")/.tw-unpacked")"
  prefix="$(tw_cache_root)/openssl-mingw64-$rev-$OPENSSL_KEY"
  part="$prefix.part.$$"
  work="$(tw_cache_root)/work/openssl-mingw64-$$"
  rm -rf "$work" "$part" && mkdir -p "$work" "$part/lib" "$part/include"
  say "building OpenSSL $rev for Windows (a few minutes)"
  (cd "$work" && CC=gcc-win32 perl "$src/Configure" "${OPENSSL_OPTIONS[@]}" \
      --cross-compile-prefix="$CROSS-" --prefix="$part" --libdir=lib >configure.log 2>&1 &&
    nice -n 10 make -j2 build_generated >build.log 2>&1 && nice -n 10 make -j2 libcrypto.a >>build.log 2>&1) ||
    { echo "windows: OpenSSL build failed; logs in $work" >&2; return 1; }
  cp "$work/libcrypto.a" "$part/lib/"
  mkdir -p "$part/include/openssl"
  cp "$src"/include/openssl/*.h "$work"/include/openssl/*.h "$part/include/openssl/"
  finish_prefix "$part" "$prefix" "openssl_$rev"
  rm -rf "$work"
}

# libssh2 from Debian's source with our patches, on that OpenSSL, static.
build_libssh2() {
  local openssl="$1" key="$2" src rev work part prefix
  src="$(tw_fetch_source libssh2 "$WANT_SSH2-")"
  rev="$(cat "$(dirname "$src")/.tw-unpacked")"
  prefix="$(tw_cache_root)/libssh2-mingw64-$rev-$key-$(basename "$openssl" | sed 's/-mingw64//')"
  part="$prefix.part.$$"
  work="$(tw_cache_root)/work/libssh2-mingw64-$$"
  rm -rf "$work" "$part" && mkdir -p "$work"
  say "building libssh2 $rev for Windows"
  cp -a "$src" "$work/src"
  tw_apply_patches "$work/src" "$TW_LIBSSH2_PATCHES"
  cmake -S "$work/src" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
    -DTW_CROSS_PREFIXES="$openssl" -DOPENSSL_ROOT_DIR="$openssl" -DOPENSSL_USE_STATIC_LIBS=ON \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$part" -DCMAKE_INSTALL_LIBDIR=lib \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON -DCRYPTO_BACKEND=OpenSSL \
    -DENABLE_ZLIB_COMPRESSION=OFF -DBUILD_EXAMPLES=OFF -DBUILD_TESTING=OFF >"$work/configure.log"
  nice -n 10 cmake --build "$work/build" -j2 >"$work/build.log"
  cmake --install "$work/build" >"$work/install.log"
  mkdir -p "$part/share/tarnwick"
  cp "$work/src/.tw-patches" "$part/share/tarnwick/patches"
  finish_prefix "$part" "$prefix" "libssh2_$rev"
  rm -rf "$work"
}

OPENSSL_GLOB="openssl-mingw64-$WANT_OPENSSL*-$OPENSSL_KEY"
OPENSSL="$(cached "$OPENSSL_GLOB")"
[[ -n "$OPENSSL" ]] || { build_openssl; OPENSSL="$(cached "$OPENSSL_GLOB")"; }
KEY="$(tw_patch_key "$TW_LIBSSH2_PATCHES")"
SSH2_GLOB="libssh2-mingw64-$WANT_SSH2-*-$KEY-$(basename "$OPENSSL" | sed 's/-mingw64//')"
LIBSSH2="$(cached "$SSH2_GLOB")"
[[ -n "$LIBSSH2" ]] || { build_libssh2 "$OPENSSL" "$KEY"; LIBSSH2="$(cached "$SSH2_GLOB")"; }
mkdir -p .deps
ln -sfn "$OPENSSL" .deps/openssl-win64
ln -sfn "$LIBSSH2" .deps/libssh2-win64
say "dependencies: $(cat "$LIBSSH2/share/tarnwick/source") (patches:" \
  "$(paste -sd ' ' "$LIBSSH2/share/tarnwick/patches" | sed 's/^$/none/')) on" \
  "$(cat "$OPENSSL/share/tarnwick/source")"

cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release >/dev/null
nice -n 10 cmake --build build-win -j2
DLL=build-win/tarnwick-libssh2-sftp-client-transfer.dll
say "built $DLL ($(stat -c %s "$DLL") bytes)"
bash tests/windows/check_exports.sh "$DLL" include/tarnwick_sftp.h

if [[ "${TW_WIN_BUILD_ONLY:-}" == 1 ]]; then
  exit 0
fi
bash scripts/with-servers.sh bash tests/windows/run_wine.sh "$DLL" build-win/tests/windows/tw_wine_tests.exe
say "Windows build and tests passed"
