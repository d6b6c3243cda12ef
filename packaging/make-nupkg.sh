#!/usr/bin/env bash
# The NuGet package Korvessa.<version>.nupkg, laid out by hand (a nupkg is a zip): the nuspec, the
# package's [Content_Types].xml and _rels/.rels, the C# declarations of bindings/csharp as a managed
# assembly built with Mono's compiler (lib/net45/Korvessa.dll), and the DLLs where .NET looks for native
# libraries: runtimes/win-x86/native/KorvessaDLL.dll (32-bit) and runtimes/win-x64/native/KorvessaDLL.dll.
#
# Usage: packaging/make-nupkg.sh <32-bit build> <64-bit build> <output folder>
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
W32=$(cd "$1" && pwd)
W64=$(cd "$2" && pwd)
mkdir -p "$3"
OUT=$(cd "$3" && pwd)
VERSION=$(cat "$W32/VERSION")
[ "$VERSION" = "$(cat "$W64/VERSION")" ] || { echo "make-nupkg: the two builds differ in version" >&2; exit 1; }
STAGE=$(mktemp -d)
trap 'rm -rf "$STAGE"' EXIT
mkdir -p "$STAGE/lib/net45" "$STAGE/runtimes/win-x86/native" "$STAGE/runtimes/win-x64/native" "$STAGE/_rels"
cp "$W32/KorvessaDLL.dll" "$STAGE/runtimes/win-x86/native/"
cp "$W64/KorvessaDLL.dll" "$STAGE/runtimes/win-x64/native/"
mcs -nologo -warn:4 -warnaserror -target:library -out:"$STAGE/lib/net45/Korvessa.dll" "$ROOT/bindings/csharp/KorvessaDLL.cs"

cat >"$STAGE/Korvessa.nuspec" <<NUSPEC
<?xml version="1.0" encoding="utf-8"?>
<package xmlns="http://schemas.microsoft.com/packaging/2013/05/nuspec.xsd">
  <metadata>
    <id>Korvessa</id>
    <version>$VERSION</version>
    <authors>Korvessa</authors>
    <description>Card-terminal library for cash registers: KorvessaDLL.dll (32- and 64-bit, under runtimes/) and its C# declarations (namespace Korvessa, class KorvessaDLL). The library reads Config.ini and writes its log beside itself: deploy it with Config.ini in a folder the register may write.</description>
    <tags>native pos payment serial</tags>
  </metadata>
</package>
NUSPEC
cat >"$STAGE/[Content_Types].xml" <<'TYPES'
<?xml version="1.0" encoding="utf-8"?>
<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">
  <Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml" />
  <Default Extension="nuspec" ContentType="application/octet" />
  <Default Extension="dll" ContentType="application/octet" />
</Types>
TYPES
cat >"$STAGE/_rels/.rels" <<'RELS'
<?xml version="1.0" encoding="utf-8"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">
  <Relationship Type="http://schemas.microsoft.com/packaging/2010/07/manifest" Target="/Korvessa.nuspec" Id="R1" />
</Relationships>
RELS
NUPKG=$OUT/Korvessa.$VERSION.nupkg
rm -f "$NUPKG"
(cd "$STAGE" && cmake -E tar cf "$NUPKG" --format=zip -- "[Content_Types].xml" _rels Korvessa.nuspec lib runtimes)
echo "$NUPKG"
