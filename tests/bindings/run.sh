#!/bin/sh
# Binding tests: installs the Python package into a virtual environment (Debian's Python and pytest; pip
# works offline here), then runs pytest over tests/bindings: the package against the simulated terminal,
# and the C#, Free Pascal and Java examples built and run against the Linux library.
# Usage: tests/bindings/run.sh [build dir]    (default build/linux, with the library and posterm built)
set -eu
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=$(cd "${1:-$ROOT/build/linux}" && pwd)
PYTHON=${PYTHON:-/usr/bin/python3}
VENV=$BUILD/bindings-venv
# The package's version must be the project's (the project() line of CMakeLists.txt).
WANT=$(cat "$BUILD/VERSION")
grep -qx "version = \"$WANT\"" "$ROOT/bindings/python/pyproject.toml" ||
  { echo "bindings/python/pyproject.toml: version is not $WANT" >&2; exit 1; }
[ -x "$VENV/bin/pip" ] || { rm -rf "$VENV"; "$PYTHON" -m venv --system-site-packages "$VENV"; }
# pip builds in the folder it is given: a copy keeps build files out of the source tree.
SRC=$(mktemp -d)
trap 'rm -rf "$SRC"' EXIT
cp -R "$ROOT/bindings/python" "$SRC/"
"$VENV/bin/pip" install -q --disable-pip-version-check --no-cache-dir --no-build-isolation --no-index \
  --no-deps --force-reinstall "$SRC/python"
export PYTHONDONTWRITEBYTECODE=1
cd "$BUILD"
KORVESSA_BUILD=$BUILD "$VENV/bin/python" -m pytest -q -p no:cacheprovider --basetemp "$BUILD/bindings-tmp" \
  "$ROOT/tests/bindings"
