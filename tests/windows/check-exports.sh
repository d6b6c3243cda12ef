#!/usr/bin/env bash
# Checks the Windows library's export table and imports:
#   exactly BankTrans, PutValue, TransProcess, GetValue at ordinals 1 to 4, under their plain names;
#   imports from system DLLs only (the runtime is linked statically).
set -euo pipefail
dll=$1
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
fail() { echo "FAIL: $*"; exit 1; }
out=$("$objdump" -p "$dll")

echo "$out" | grep -q 'Magic.*10b' || fail "$dll is not PE32 (32-bit)"
base=$(echo "$out" | awk '/^Ordinal Base/ {print $3}')
[ "$base" = "1" ] || fail "ordinal base is '$base', expected 1"

# Rows of the name pointer table: "[   0] +base[   1] 0000 BankTrans" (newer binutils) or "[   0] BankTrans".
names=$(echo "$out" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep '\[' | grep -v 'Table' |
  sed -E 's/.*\+base\[ *([0-9]+)\] +[0-9a-f]+ +([A-Za-z_@0-9]+).*/\1 \2/; t; s/^\s*\[ *([0-9]+)\] +([A-Za-z_@0-9]+).*/\1 \2/' |
  sort -n)
expected=$'1 BankTrans\n2 PutValue\n3 TransProcess\n4 GetValue'
if [ "$names" != "$expected" ]; then
  echo "export table:"; echo "$names"
  fail "exports differ from: $(echo "$expected" | tr '\n' ',')"
fi

imports=$(echo "$out" | awk '/DLL Name:/ {print toupper($3)}' | sort -u)
for d in $imports; do
  case "$d" in
    KERNEL32.DLL|WS2_32.DLL|USER32.DLL|MSVCRT.DLL|WSOCK32.DLL|ADVAPI32.DLL) ;;
    *) fail "imports non-system DLL $d" ;;
  esac
done
echo "exports: $(echo "$names" | tr '\n' ' ')"
echo "imports: $(echo "$imports" | tr '\n' ' ')"
echo "1 passed, 0 failed"
