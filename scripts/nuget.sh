#!/usr/bin/env bash
# Builds the NuGet package dist/Tarnwick.Sftp.1.1.1.nupkg: the managed assembly (compiled from
# bindings/csharp/TarnwickSftp.cs with mono's mcs, for .NET Framework 4.5 and later, which .NET
# 6 and later also load) under lib/net45/, and the Windows DLL under runtimes/win-x64/native/,
# so that a .NET project on Windows needs nothing else. The DLL comes from build-win, which
# scripts/windows.sh makes (here with TW_WIN_BUILD_ONLY=1 when it is missing).
# Usage: bash scripts/nuget.sh       TW_DIST names another output folder.
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$REPO"
VERSION=1.1.1
ID=Tarnwick.Sftp
DIST="${TW_DIST:-$REPO/dist}"
DLL="$REPO/build-win/tarnwick-libssh2-sftp-client-transfer.dll"
[[ -f "$DLL" ]] || TW_WIN_BUILD_ONLY=1 bash scripts/windows.sh >/dev/null
command -v mcs >/dev/null || bash scripts/deps.sh >/dev/null

P="$(mktemp -d)"
trap 'rm -rf "$P"' EXIT
mkdir -p "$P/lib/net45" "$P/runtimes/win-x64/native" "$P/_rels" "$DIST"
mcs -nologo -warnaserror -nowarn:1591 -target:library -optimize+ -doc:"$P/lib/net45/$ID.xml" \
  -out:"$P/lib/net45/$ID.dll" bindings/csharp/TarnwickSftp.cs
cp "$DLL" "$P/runtimes/win-x64/native/"
cat >"$P/$ID.nuspec" <<XML
<?xml version="1.0" encoding="utf-8"?>
<package xmlns="http://schemas.microsoft.com/packaging/2013/05/nuspec.xsd">
  <metadata>
    <id>$ID</id>
    <version>$VERSION</version>
    <authors>tarnwick developers</authors>
    <description>One SSH file-transfer session (SFTP and SCP) for .NET: connect by password, key or agent, browse and change the remote file system, copy files with progress and cancellation. Carries the native module for Windows x64.</description>
    <tags>sftp scp ssh libssh2</tags>
  </metadata>
</package>
XML
cat >"$P/[Content_Types].xml" <<'XML'
<?xml version="1.0" encoding="utf-8"?>
<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">
  <Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml" />
  <Default Extension="nuspec" ContentType="application/octet" />
  <Default Extension="dll" ContentType="application/octet" />
  <Default Extension="xml" ContentType="application/octet" />
</Types>
XML
cat >"$P/_rels/.rels" <<XML
<?xml version="1.0" encoding="utf-8"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">
  <Relationship Type="http://schemas.microsoft.com/packaging/2010/07/manifest" Target="/$ID.nuspec" Id="R0" />
</Relationships>
XML
OUT="$DIST/$ID.$VERSION.nupkg"
rm -f "$OUT"
(cd "$P" && /usr/bin/python3 -c 'import os, sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    for d, _, fs in os.walk("."):
        for f in fs:
            z.write(os.path.join(d, f), os.path.relpath(os.path.join(d, f), "."))' "$OUT")
echo "$OUT"
