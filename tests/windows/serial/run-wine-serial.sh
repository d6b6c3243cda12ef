#!/usr/bin/env bash
# Runs the serial tests of the Windows build under Wine. A socat pseudo-terminal pair stands in for
# the cable; its two ends become two COM ports of the Wine prefix (dosdevices/comN links).
#   run-wine-serial.sh <test exe> [test options...]
# Ports: KV_WINE_COM_A and KV_WINE_COM_B (default 37 and 38) for the two ends, KV_WINE_COM_MISSING
# (default 39) for a number without a device. Exits with the test program's status.
set -uo pipefail
EXE=$1
shift
ROOT=$(cd "$(dirname "$0")/../../.." && pwd)
WINE_RUN="$ROOT/scripts/wine-run"
: "${WINEPREFIX:=${KV_WINEPREFIX:-$HOME/.korvessa-wine}}"
export WINEPREFIX WINEDEBUG=${WINEDEBUG:--all}
export KV_WINE_COM_A=${KV_WINE_COM_A:-37}
export KV_WINE_COM_B=${KV_WINE_COM_B:-38}
export KV_WINE_COM_MISSING=${KV_WINE_COM_MISSING:-39}
DOS="$WINEPREFIX/dosdevices"

command -v socat >/dev/null || { echo "socat is not installed (scripts/install-deps.sh installs it)"; exit 1; }
[ -f "$EXE" ] || { echo "no test program at $EXE"; exit 1; }

WORK=$(mktemp -d /tmp/kv-wine-serial.XXXXXX)
SOCAT=
cleanup() {
  if [ -n "$SOCAT" ]; then
    kill "$SOCAT" 2>/dev/null
    wait "$SOCAT" 2>/dev/null
  fi
  rm -f "$DOS/com$KV_WINE_COM_A" "$DOS/com$KV_WINE_COM_B"
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A prefix exists after the first program has run in it.
if [ ! -d "$DOS" ]; then
  timeout 300 "$WINE_RUN" "$EXE" --gtest_list_tests >/dev/null 2>&1
  mkdir -p "$DOS"
fi

socat -d -d "pty,raw,echo=0,link=$WORK/a" "pty,raw,echo=0,link=$WORK/b" 2>"$WORK/socat.log" &
SOCAT=$!
for _ in $(seq 100); do
  [ -e "$WORK/a" ] && [ -e "$WORK/b" ] && break
  kill -0 "$SOCAT" 2>/dev/null || break
  sleep 0.05
done
if [ ! -e "$WORK/a" ] || [ ! -e "$WORK/b" ]; then
  echo "socat did not make the pseudo-terminal pair"
  cat "$WORK/socat.log"
  exit 1
fi
ln -sfn "$(readlink -f "$WORK/a")" "$DOS/com$KV_WINE_COM_A"
ln -sfn "$(readlink -f "$WORK/b")" "$DOS/com$KV_WINE_COM_B"
rm -f "$DOS/com$KV_WINE_COM_MISSING"

# A server of our own, silent: the server a program starts keeps that program's output open after
# it ends and writes its object list there when it exits. (One that already runs is kept.)
command -v wineserver >/dev/null && wineserver -p2 </dev/null >/dev/null 2>&1
timeout 300 "$WINE_RUN" "$EXE" "$@"
rc=$?
if ! kill -0 "$SOCAT" 2>/dev/null; then
  echo "socat ended during the tests:"
  cat "$WORK/socat.log"
  [ $rc -eq 0 ] && rc=1
fi
exit $rc
