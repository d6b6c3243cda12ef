#!/usr/bin/env bash
# Checks that the Linux library exports exactly the four functions.
set -euo pipefail
so=$1
syms=$(nm -D --defined-only "$so" | awk '$2 ~ /^[TtWwDdBbRrVvi]$/ {print $3}' | sort)
expected=$(printf '%s\n' BankTrans GetValue PutValue TransProcess)
if [ "$syms" != "$expected" ]; then
  echo "FAIL: exported symbols:"; echo "$syms"; exit 1
fi
echo "exports: $(echo "$syms" | tr '\n' ' ')"
echo "1 passed, 0 failed"
