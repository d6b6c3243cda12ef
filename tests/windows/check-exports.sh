#!/usr/bin/env bash
# Checks the Windows library's export table and imports:
#   exactly BankTrans, PutValue, TransProcess, GetValue at ordinals 1 to 4, under their plain names;
#   imports from system DLLs only (the runtime is linked statically).
set -euo pipefail
dll=$1
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
fail() { echo "FAIL: $*"; exit 1; }
out=$("$objdump" -p "$dll")

grep -q 'Magic.*010b' <<<"$out" || fail "$dll is not PE32 (32-bit)"
base=$(awk '/^Ordinal Base/ {print $3}' <<<"$out")
[ "$base" = "1" ] || fail "ordinal base is '$base', expected 1"

# Rows of the name pointer table: "[   0] BankTrans", the index counting from the ordinal base.
names=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$out" | grep -E '^\s*\[ *[0-9]+\]' |
  sed -E 's/^\s*\[ *([0-9]+)\] +([A-Za-z_@0-9]+).*/\1 \2/' |
  while read -r idx name; do echo "$((idx + base)) $name"; done | sort -n)
expected=$'1 BankTrans\n2 PutValue\n3 TransProcess\n4 GetValue'
if [ "$names" != "$expected" ]; then
  echo "export table:"; echo "$names"
  fail "exports differ from: $(echo "$expected" | tr '\n' ',')"
fi

imports=$(awk '/DLL Name:/ {print toupper($3)}' <<<"$out" | sort -u)
for d in $imports; do
  case "$d" in
    KERNEL32.DLL|WS2_32.DLL|USER32.DLL|MSVCRT.DLL|WSOCK32.DLL|ADVAPI32.DLL) ;;
    *) fail "imports non-system DLL $d" ;;
  esac
done
echo "exports: $(echo "$names" | tr '\n' ' ')"
echo "imports: $(echo "$imports" | tr '\n' ' ')"
echo "1 passed, 0 failed"
