#!/usr/bin/env bash
# Checks the packages `make dist` made, as an integrator meets them:
#  - the .deb, unpacked with dpkg-deb -x into a scratch root (never installed), holds the kit; a
#    small register built once with pkg-config and once with find_package against it runs a
#    purchase against the packaged posterm, with a copy of the library in its own folder;
#  - the .tar.gz holds the same files;
#  - the .zip's listing; its Config.ini is GBK with CR LF; both DLLs are the right machine, export
#    the four names at their ordinals and carry the version resource; programs linked with
#    lld-link against KorvessaDLL.lib and with MinGW against libKorvessaDLL.dll.a import the four
#    plain names from KorvessaDLL.dll;
#  - the Python wheel installed into a fresh virtual environment runs a purchase against posterm;
#  - the .nupkg's layout, and the C# example compiled against its assembly runs a purchase under Mono.
#
# Usage: tests/packaging/check-dist.sh <dist folder> <version>
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
DIST=$(cd "$1" && pwd)
VERSION=$2
SCRATCH=$(mktemp -d /tmp/korvessa-dist.XXXXXX)
PT=
cleanup() {
  [ -z "$PT" ] || kill "$PT" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$SCRATCH"
}
trap cleanup EXIT
fail() { echo "check-dist: FAIL: $*" >&2; exit 1; }
# same NAME EXPECTED ACTUAL: compares two texts, showing the difference.
same() { diff -u <(printf '%s\n' "$2") <(printf '%s\n' "$3") >&2 || fail "$1"; }
pass() { echo "check-dist: ok: $*"; }
tool() { command -v "$1-14" || command -v "$1"; }
READOBJ=$(tool llvm-readobj)
LLD_LINK=$(tool lld-link)

# ---------------------------------------------------------------- Linux packages
DEB=$DIST/korvessa_${VERSION}_amd64.deb
TGZ=$DIST/korvessa-$VERSION-linux-x86_64.tar.gz
[ -f "$DEB" ] && [ -f "$TGZ" ] || fail "missing $DEB or $TGZ"
KIT_FILES="bin/bankhost
bin/korvessa
bin/posterm
include/KorvessaDLL.h
lib/cmake/Korvessa/KorvessaConfig.cmake
lib/cmake/Korvessa/KorvessaConfigVersion.cmake
lib/libKorvessaDLL.so
lib/pkgconfig/korvessa.pc
share/doc/korvessa/README.md
share/korvessa/Config.ini"
ROOTFS=$SCRATCH/root
dpkg-deb -x "$DEB" "$ROOTFS"
same ".deb contents" "$KIT_FILES" "$(cd "$ROOTFS/usr" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)"
same ".tar.gz contents" "$KIT_FILES" "$(tar tzf "$TGZ" | grep -v '/$' | sed "s|^korvessa-$VERSION-linux-x86_64/||" | LC_ALL=C sort)"
[ "$(dpkg-deb -f "$DEB" Version)" = "$VERSION" ] || fail ".deb version"
iconv -f GBK -t UTF-8 "$ROOTFS/usr/share/korvessa/Config.ini" | grep -q '^001=银行卡POS签购单$' || fail "Config.ini is not the GBK sample"
pass ".deb and .tar.gz hold the kit"

# The packaged simulated terminal on a new pseudo-terminal.
KIT=$ROOTFS/usr
"$KIT/bin/posterm" >"$SCRATCH/posterm.out" 2>&1 &
PT=$!
LINE=
for _ in $(seq 50); do
  LINE=$(sed -n 's/^READY //p' "$SCRATCH/posterm.out" | head -n 1)
  [ -n "$LINE" ] && break
  sleep 0.1
done
[ -n "$LINE" ] || fail "posterm did not start: $(cat "$SCRATCH/posterm.out")"

# register_folder NAME: a folder with the kit's Config.ini (log level 4), the port given by [COM] Device.
register_folder() {
  mkdir -p "$SCRATCH/$1"
  sed -e "s|^;Device=.*|Device=$LINE|" -e 's/^TradeTimeOut=.*/TradeTimeOut=5/' -e 's/^DebugLog=.*/DebugLog=4/' \
    "$KIT/share/korvessa/Config.ini" >"$SCRATCH/$1/Config.ini"
}

# run_app NAME BUILT-PROGRAM: the program with its own copy of the library and Config.ini (the
# port given by [COM] Device) in a folder of its own; the purchase is approved and the log is
# written beside that copy.
run_app() {
  local app=$SCRATCH/$1
  register_folder "$1"
  cp "$2" "$KIT/lib/libKorvessaDLL.so" "$app/"
  local out
  out=$(cd "$app" && env -u LD_LIBRARY_PATH ./purchase) || fail "$1: purchase failed: $out"
  same "$1 result" "result=0 rejCode=00 amount=000000012345" "$out"
  ls "$app"/Log/ErrorLog*.log >/dev/null 2>&1 || fail "$1: no log beside the library's copy"
  pass "$1: purchase approved with the library beside the program"
}

mkdir -p "$SCRATCH/pc"
export PKG_CONFIG_PATH=$KIT/lib/pkgconfig
[ "$(pkg-config --modversion korvessa)" = "$VERSION" ] || fail "pkg-config version"
# shellcheck disable=SC2046
cc -Wall -Werror -o "$SCRATCH/pc/purchase" "$HERE/purchase.c" $(pkg-config --cflags --libs korvessa) \
  -Wl,-rpath,'$ORIGIN'
run_app pkg-config "$SCRATCH/pc/purchase"

cmake -S "$HERE/consumer" -B "$SCRATCH/cmake" -DCMAKE_PREFIX_PATH="$KIT" >/dev/null
cmake --build "$SCRATCH/cmake" >/dev/null
run_app find_package "$SCRATCH/cmake/purchase"


# ---------------------------------------------------------------- Python wheel
# Installed into a fresh virtual environment, offline; the package's own library is copied into the
# register's folder on first use, and a purchase runs with no other step.
WHEELS=("$DIST"/korvessa-"$VERSION"-py3-none-linux_x86_64.whl)
[ -f "${WHEELS[0]}" ] || fail "missing the wheel korvessa-$VERSION-py3-none-linux_x86_64.whl"
grep -q '^korvessa/libKorvessaDLL.so ' <<<"$(/usr/bin/python3 -m zipfile -l "${WHEELS[0]}")" || fail "the wheel lacks the library"
/usr/bin/python3 -m venv "$SCRATCH/venv"
"$SCRATCH/venv/bin/pip" install -q --disable-pip-version-check --no-index --no-cache-dir "${WHEELS[0]}"
register_folder wheel
out=$(cd "$SCRATCH/wheel" && env -u PYTHONPATH "$SCRATCH/venv/bin/python" -c '
import korvessa
r = korvessa.Library(".").bank_trans(korvessa.Request(trans_type="30", amount=12345))
print(r.code, r.response.rej_code, r.response.amount)') || fail "wheel: purchase failed: $out"
same "wheel purchase" "0 00 000000012345" "$out"
[ -f "$SCRATCH/wheel/libKorvessaDLL.so" ] && ls "$SCRATCH/wheel"/Log/ErrorLog*.log >/dev/null 2>&1 ||
  fail "wheel: the library was not copied beside Config.ini, or wrote no log there"
pass "wheel: installed into a fresh venv, purchase approved"

# ---------------------------------------------------------------- Windows kit
ZIP=$DIST/korvessa-$VERSION-windows.zip
[ -f "$ZIP" ] || fail "missing $ZIP"
N=korvessa-$VERSION-windows
WIN_FILES="$N/Config.ini
$N/KorvessaDLL.def
$N/KorvessaDLL.dll
$N/KorvessaDLL.h
$N/KorvessaDLL.lib
$N/README.md
$N/korvessa.exe
$N/libKorvessaDLL.dll.a
$N/x64/KorvessaDLL.def
$N/x64/KorvessaDLL.dll
$N/x64/KorvessaDLL.lib
$N/x64/korvessa.exe
$N/x64/libKorvessaDLL.dll.a"
LISTING=$(cmake -E tar tf "$ZIP" | grep -v '/$' | LC_ALL=C sort)
same ".zip listing" "$WIN_FILES" "$(grep -v "^$N/bindings/" <<<"$LISTING")"
for lang in csharp pascal vb6 java python; do
  if [ -d "$HERE/../../bindings/$lang" ]; then
    grep -q "^$N/bindings/$lang/" <<<"$LISTING" || fail ".zip lacks bindings/$lang"
  fi
done
mkdir -p "$SCRATCH/zip"
(cd "$SCRATCH/zip" && cmake -E tar xf "$ZIP")
W=$SCRATCH/zip/$N
[ "$(grep -c $'\r$' "$W/Config.ini")" = "$(wc -l <"$W/Config.ini")" ] || fail "Config.ini: not CR LF on every line"
iconv -f GBK -t UTF-8 "$W/Config.ini" | grep -q $'^001=银行卡POS签购单\r$' || fail "Config.ini in the zip is not GBK"
pass ".zip listing, Config.ini GBK with CR LF"

EXPORTS="1 BankTrans
2 PutValue
3 TransProcess
4 GetValue"
IMPORTS="KorvessaDLL.dll BankTrans
KorvessaDLL.dll GetValue
KorvessaDLL.dll PutValue
KorvessaDLL.dll TransProcess"
VERPAT="P.r.o.d.u.c.t.V.e.r.s.i.o.n.\.*$(sed 's/\./\\.\\.\\./g' <<<"$VERSION")\."
for arch in i686:i386:COFF-i386:.:_Start x86_64:x64:COFF-x86-64:x64:Start; do
  IFS=: read -r triple machine format dir entry <<<"$arch"
  D=$W/$dir
  "$READOBJ" --file-headers "$D/KorvessaDLL.dll" | grep -q "^Format: $format$" || fail "$dir/KorvessaDLL.dll is not $format"
  same "$dir exports" "$EXPORTS" "$("$READOBJ" --coff-exports "$D/KorvessaDLL.dll" |
    awk '/Ordinal:/ {o=$2} /Name:/ {print o, $2}')"
  res=$("$READOBJ" --coff-resources "$D/KorvessaDLL.dll")
  grep -q 'Type: VERSIONINFO (ID 16)' <<<"$res" || fail "$dir/KorvessaDLL.dll has no version resource"
  sed -n 's/.*|\(.*\)|$/\1/p' <<<"$res" | tr -d '\n' | grep -q "$VERPAT" ||
    fail "$dir/KorvessaDLL.dll: ProductVersion is not $VERSION"
  # MSVC: an object calling the four functions through the header, linked by lld-link.
  obj=$SCRATCH/imports-$machine.obj
  "$triple-w64-mingw32-gcc" -c -O1 -ffreestanding -fno-asynchronous-unwind-tables -fno-stack-protector \
    -I"$W" -o "$obj" "$HERE/imports.c"
  # (MinGW objects carry no SEH table.)
  "$LLD_LINK" /nologo /nodefaultlib /safeseh:no /entry:Start /subsystem:console /machine:"$machine" \
    /out:"$SCRATCH/msvc-$machine.exe" "$obj" "$D/KorvessaDLL.lib"
  same "$dir: imports through KorvessaDLL.lib" "$IMPORTS" "$("$READOBJ" --coff-imports "$SCRATCH/msvc-$machine.exe" |
    awk '/Name:/ {n=$2} /Symbol:/ {print n, $2}' | LC_ALL=C sort)"
  # MinGW: the same object linked by the MinGW linker against libKorvessaDLL.dll.a.
  "$triple-w64-mingw32-gcc" -nostdlib -Wl,-e,"$entry" -o "$SCRATCH/mingw-$machine.exe" "$obj" -L"$D" -lKorvessaDLL
  same "$dir: imports through libKorvessaDLL.dll.a" "$IMPORTS" "$("$READOBJ" --coff-imports "$SCRATCH/mingw-$machine.exe" |
    awk '/Name:/ {n=$2} /Symbol:/ {print n, $2}' | LC_ALL=C sort)"
  pass "$dir: $format DLL, exports, version resource, MSVC and MinGW import libraries"
done

# ---------------------------------------------------------------- NuGet package
NUPKG=$DIST/Korvessa.$VERSION.nupkg
[ -f "$NUPKG" ] || fail "missing $NUPKG"
NUGET_FILES="Korvessa.nuspec
[Content_Types].xml
_rels/.rels
lib/net45/Korvessa.dll
runtimes/win-x64/native/KorvessaDLL.dll
runtimes/win-x86/native/KorvessaDLL.dll"
same ".nupkg listing" "$NUGET_FILES" "$(cmake -E tar tf "$NUPKG" | grep -v '/$' | LC_ALL=C sort)"
mkdir -p "$SCRATCH/nupkg"
(cd "$SCRATCH/nupkg" && cmake -E tar xf "$NUPKG")
grep -q "<version>$VERSION</version>" "$SCRATCH/nupkg/Korvessa.nuspec" || fail ".nuspec version"
for arch in win-x86:COFF-i386 win-x64:COFF-x86-64; do
  "$READOBJ" --file-headers "$SCRATCH/nupkg/runtimes/${arch%%:*}/native/KorvessaDLL.dll" | grep -q "^Format: ${arch#*:}$" ||
    fail "runtimes/${arch%%:*}: not ${arch#*:}"
done
# The C# example compiled against the package's assembly, run under Mono with the Linux library.
register_folder csharp
cp "$SCRATCH/nupkg/lib/net45/Korvessa.dll" "$KIT/lib/libKorvessaDLL.so" "$SCRATCH/csharp/"
(cd "$SCRATCH/csharp" && mcs -nologo -warn:4 -warnaserror -r:Korvessa.dll -out:Example.exe "$HERE/../../bindings/csharp/Example.cs") ||
  fail "the C# example does not compile against the package's assembly"
out=$(cd "$SCRATCH/csharp" && mono Example.exe) || fail "C# example failed: $out"
grep -qx "BankTrans 0" <<<"$out" && grep -qx "facade rejCode 00" <<<"$out" || fail "C# example: $out"
pass ".nupkg: both DLLs under runtimes/, the C# example built against its assembly runs a purchase"
echo "check-dist: all packages checked"
