#!/usr/bin/env bash
# The Python wheel: the package korvessa of bindings/python with the Linux library inside
# (korvessa/libKorvessaDLL.so, debug sections stripped), tagged py3-none-linux_x86_64. Built offline with
# Debian's pip, setuptools and wheel: no package index is asked.
#
# Usage: packaging/make-wheel.sh <Linux build> <output folder>
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "$1" && pwd)
mkdir -p "$2"
OUT=$(cd "$2" && pwd)
PYTHON=${PYTHON:-/usr/bin/python3}
STAGE=$(mktemp -d)
trap 'rm -rf "$STAGE"' EXIT
cp -R "$ROOT/bindings/python" "$STAGE/"
cp "$ROOT/packaging/python/setup.py" "$STAGE/python/"
strip --strip-debug -o "$STAGE/python/korvessa/libKorvessaDLL.so" "$BUILD/libKorvessaDLL.so"
rm -f "$OUT"/korvessa-*.whl
"$PYTHON" -m pip wheel -q --disable-pip-version-check --no-cache-dir --no-deps --no-build-isolation --no-index \
  -w "$OUT" "$STAGE/python"
ls "$OUT"/korvessa-*.whl
