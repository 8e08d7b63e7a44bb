#!/usr/bin/env bash
# Builds a Python wheel that carries the native module, into dist/:
#   bash scripts/wheel.sh              the Linux module from the plain tree (built if needed),
#                                      tagged for this platform (linux_x86_64)
#   bash scripts/wheel.sh --windows    the DLL from build-win (scripts/windows.sh builds it),
#                                      tagged win_amd64
# `pip install dist/<wheel>` then gives a working package, with no environment variable.
# TW_DIST names another output folder; TW_MODULE another module to carry (the tests pass theirs).
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$REPO"
DIST="${TW_DIST:-$REPO/dist}"
if [[ -n "${TW_MODULE:-}" ]]; then
  MODULE="$TW_MODULE"
  NAME=libtarnwick-libssh2-sftp-client-transfer.so
elif [[ "${1:-}" == --windows ]]; then
  MODULE="$REPO/build-win/tarnwick-libssh2-sftp-client-transfer.dll"
  [[ -f "$MODULE" ]] || TW_WIN_BUILD_ONLY=1 bash scripts/windows.sh >/dev/null
  NAME=tarnwick-libssh2-sftp-client-transfer.dll
else
  bash scripts/deps.sh >/dev/null
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTW_SANITIZE= >/dev/null
  cmake --build build -j2 --target tarnwick >/dev/null
  MODULE="$REPO/build/libtarnwick-libssh2-sftp-client-transfer.so"
  NAME=libtarnwick-libssh2-sftp-client-transfer.so
fi

# The package is staged in a scratch copy, so the source tree never holds a module.
STAGE="$(mktemp -d)"
trap 'rm -rf "$STAGE"' EXIT
cp -r bindings/python/. "$STAGE/"
rm -rf "$STAGE/tests" "$STAGE"/tarnwick_sftp/__pycache__
cp -L "$MODULE" "$STAGE/tarnwick_sftp/$NAME"
mkdir -p "$DIST"
/usr/bin/python3 -c 'import os, sys; sys.path.insert(0, sys.argv[1] + "/_backend")
import tarnwick_backend as b; print(os.path.join(sys.argv[2], b.build_wheel(sys.argv[2])))' \
  "$STAGE" "$DIST"
