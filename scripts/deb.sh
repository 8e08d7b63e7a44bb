#!/usr/bin/env bash
# Builds the Debian packages into dist/: the module (libtarnwick-libssh2-sftp-client-transfer1),
# the development files (libtarnwick-libssh2-sftp-client-transfer-dev) and sftpc (sftpc).
# Install them with `apt-get install ./dist/<name>.deb ...`; apt brings their dependencies,
# which are Debian's own packages.
# Usage: bash scripts/deb.sh       (build tree: build-deb, configured with the prefix /usr)
# TW_DIST names another output folder.
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$REPO"
bash scripts/deps.sh >/dev/null
# The prefix /usr gives Debian's multiarch library folder (lib/x86_64-linux-gnu).
cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DBUILD_TESTING=OFF -DTW_SANITIZE= >/dev/null
cmake --build build-deb -j2 >/dev/null
DIST="${TW_DIST:-$REPO/dist}"
mkdir -p "$DIST"
(cd build-deb && cpack -G DEB -B "$DIST" >/dev/null)
rm -rf "$DIST/_CPack_Packages"
ls "$DIST"/*.deb
