#!/usr/bin/env bash
# The Windows kit: korvessa-<version>-windows.zip with the 32-bit DLL (PE32), its .def, the MSVC
# and MinGW import libraries, the header, korvessa.exe, the sample Config.ini (GBK, CR LF), the
# README and the language declarations of bindings/; in x64/ the 64-bit DLL, its .def, import
# libraries and korvessa.exe.
#
# Usage: packaging/make-zip.sh <32-bit build> <64-bit build> <output folder>
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
W32=$(cd "$1" && pwd)
W64=$(cd "$2" && pwd)
mkdir -p "$3"
OUT=$(cd "$3" && pwd)
VERSION=$(cat "$W32/VERSION")
[ "$VERSION" = "$(cat "$W64/VERSION")" ] || { echo "make-zip: the two builds differ in version" >&2; exit 1; }
NAME=korvessa-$VERSION-windows
STAGE=$OUT/stage-zip
rm -rf "$STAGE" "$OUT/$NAME.zip"
mkdir -p "$STAGE/$NAME/x64"

# copy_build BUILD FOLDER: the DLL, its import .def and libraries, korvessa.exe.
copy_build() {
  for f in KorvessaDLL.dll korvessa.exe import/KorvessaDLL.def import/KorvessaDLL.lib import/libKorvessaDLL.dll.a; do
    [ -f "$1/$f" ] || { echo "make-zip: $1/$f is missing (build the targets KorvessaDLL korvessa kv_import_libs)" >&2; exit 1; }
    cp "$1/$f" "$2/"
  done
}
copy_build "$W32" "$STAGE/$NAME"
copy_build "$W64" "$STAGE/$NAME/x64"
cp "$ROOT/include/KorvessaDLL.h" "$ROOT/README.md" "$W32/Config.ini" "$STAGE/$NAME/"

# The declarations for the register's languages, those that exist; tracked files only where the
# sources are a git checkout, so no build output of the bindings' own tests is shipped.
for lang in csharp pascal vb6 java python; do
  src=bindings/$lang
  [ -d "$ROOT/$src" ] || continue
  if git -C "$ROOT" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$ROOT" ls-files -z -- "$src" | while IFS= read -r -d '' f; do
      mkdir -p "$STAGE/$NAME/$(dirname "$f")"
      cp "$ROOT/$f" "$STAGE/$NAME/$f"
    done
  else
    mkdir -p "$STAGE/$NAME/bindings"
    cp -r "$ROOT/$src" "$STAGE/$NAME/bindings/"
  fi
done

(cd "$STAGE" && cmake -E tar cf "$OUT/$NAME.zip" --format=zip "$NAME")
rm -rf "$STAGE"
echo "$OUT/$NAME.zip"
