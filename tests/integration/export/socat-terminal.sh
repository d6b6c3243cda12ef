#!/usr/bin/env bash
# A terminal on the network: posterm on a pseudo-terminal that socat bridges to a TCP port (a device
# server's side), a second socat that links the register's pseudo-terminal to that TCP port, and a
# purchase through [COM] Device pointing at the register's end.
# Usage: socat-terminal.sh <build dir>
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../../.." && pwd)
BUILD=$(cd "$1" && pwd)
W=$(mktemp -d /tmp/korvessa-socat.XXXXXX)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$W"
}
trap cleanup EXIT
fail() { echo "socat-terminal: FAIL: $*" >&2; exit 1; }
# wait_for TEST...: up to 5 s for the test to pass.
wait_for() {
  for _ in $(seq 50); do "$@" && return 0; sleep 0.1; done
  return 1
}
PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
socat pty,link="$W/terminal",raw,echo=0 tcp-listen:"$PORT",bind=127.0.0.1,reuseaddr 2>"$W/socat-a.err" &
PIDS+=($!)
wait_for test -e "$W/terminal" || fail "socat made no terminal-side pseudo-terminal: $(cat "$W/socat-a.err")"
"$BUILD/posterm" --device "$W/terminal" >"$W/posterm.out" 2>&1 &
PIDS+=($!)
wait_for grep -q '^READY' "$W/posterm.out" || fail "posterm did not start: $(cat "$W/posterm.out")"
socat pty,link="$W/register",raw,echo=0 tcp:127.0.0.1:"$PORT" 2>"$W/socat-b.err" &
PIDS+=($!)
wait_for test -e "$W/register" || fail "socat made no register-side pseudo-terminal: $(cat "$W/socat-b.err")"

mkdir "$W/till"
cp "$BUILD/libKorvessaDLL.so" "$BUILD/korvessa" "$W/till/"
iconv -f UTF-8 -t GBK "$ROOT/tools/demo/Config.ini.sample" |
  sed -e "s|^;Device=.*|Device=$W/register|" -e 's/^TradeTimeOut=.*/TradeTimeOut=5/' >"$W/till/Config.ini"
grep -q "^Device=$W/register" "$W/till/Config.ini" || fail "the sample has no ;Device= line to set"
out=$(cd "$W/till" && ./korvessa --type 30 --amount 1.23 --no-receipt) || fail "purchase failed: $out"
grep -q '^Result: 0 (approved)$' <<<"$out" || fail "not approved: $out"
grep -q 'REQUEST A030' "$W/posterm.out" || fail "posterm saw no purchase: $(cat "$W/posterm.out")"
echo "socat-terminal: ok: purchase approved through a TCP link"
