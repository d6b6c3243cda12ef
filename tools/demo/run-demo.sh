#!/bin/sh
# Korvessa demo: a purchase of 123.45 on the simulated terminal, end to end.
#
# Builds the Linux products, makes a fresh directory with the library, korvessa and a Config.ini (from
# Config.ini.sample, converted to GBK), starts posterm on a new pseudo-terminal, points COM7 at it
# (KORVESSA_COM7), runs the purchase through korvessa (log level 4: the frames of each exchange) and shows
# the result, the response fields, the receipt and where the logs are.
#
# Usage: tools/demo/run-demo.sh [directory]      (default: a new directory under /tmp)
# Environment: BUILD=<build dir> (default build/linux), SKIP_BUILD=1 to use what is built already.
set -eu

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${BUILD:-$ROOT/build/linux}
PORT=7

if [ "${SKIP_BUILD:-0}" != 1 ]; then
  if [ -f "$ROOT/Makefile" ]; then
    make -C "$ROOT"
  else
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DKV_TESTS=OFF >/dev/null
    cmake --build "$BUILD" --target KorvessaDLL korvessa posterm -j2
  fi
fi
for f in libKorvessaDLL.so korvessa posterm bankhost; do
  [ -x "$BUILD/$f" ] || [ -f "$BUILD/$f" ] || { echo "demo: $BUILD/$f is missing" >&2; exit 1; }
done

DEMO=${1:-$(mktemp -d /tmp/korvessa-demo.XXXXXX)}
mkdir -p "$DEMO"
cp "$BUILD/libKorvessaDLL.so" "$BUILD/korvessa" "$DEMO/"
# The library reads its texts as GBK; the sample is kept in UTF-8.
iconv -f UTF-8 -t GBK "$ROOT/tools/demo/Config.ini.sample" |
  sed -e "s/^ComPort=.*/ComPort=$PORT/" -e 's/^TradeTimeOut=.*/TradeTimeOut=10/' -e 's/^DebugLog=.*/DebugLog=4/' >"$DEMO/Config.ini"

# first_match FILE SED-EXPR: waits up to 5 s for a line of FILE that SED-EXPR prints, and prints it.
first_match() {
  _i=0
  while [ $_i -lt 50 ]; do
    _m=$(sed -n "$2" "$1" | head -n 1)
    [ -n "$_m" ] && { echo "$_m"; return 0; }
    sleep 0.1
    _i=$((_i + 1))
  done
  return 1
}

# The simulated bank host on 127.0.0.1 (a free port), then the simulated terminal on a new pseudo-terminal.
# During the purchase the terminal sends one "D0" unit to the host through the library and checks the
# "D1" reply before it answers.
HOSTOUT="$DEMO/bankhost.out"
: >"$HOSTOUT"
# The host takes a second and the terminal a moment, so that korvessa's progress line shows each step.
"$BUILD/bankhost" --port 0 --mode answer --delay-ms 1500 --reply-text "BANK-HOST-APPROVAL-0001" \
  --record "$DEMO/bankhost.payloads" \
  >"$HOSTOUT" 2>&1 &
BH=$!
PT=
trap 'kill $BH $PT 2>/dev/null || true; wait 2>/dev/null || true' EXIT INT TERM
HOSTPORT=$(first_match "$HOSTOUT" 's/^LISTENING \([0-9]*\).*/\1/p') || { echo "demo: bankhost did not start:" >&2; cat "$HOSTOUT" >&2; exit 1; }
echo "Simulated bank host on 127.0.0.1:$HOSTPORT"

OUT="$DEMO/posterm.out"
: >"$OUT"
"$BUILD/posterm" --log "$DEMO/posterm.log" --hs-delay 500 --delay 800 --relay "127.000.000.001:$HOSTPORT:AUTHORISE 000000012345" \
  --relay-expect "BANK-HOST-APPROVAL-0001" >"$OUT" 2>&1 &
PT=$!
LINE=$(first_match "$OUT" 's/^READY //p') || { echo "demo: posterm did not start:" >&2; cat "$OUT" >&2; exit 1; }
echo "Simulated terminal on $LINE (COM$PORT)"
echo

cd "$DEMO"
export KORVESSA_COM$PORT="$LINE"
set +e
# While the call runs korvessa shows its step (one line on a terminal, a line per step otherwise):
# handshake, waiting, host (the bank host the terminal reaches through the library), finishing.
# Ctrl-C there stops waiting (and says what that means for the payment).
./korvessa --progress --type 30 --amount 123.45
STATUS=$?
set -e
echo
echo "korvessa exit status: $STATUS (0 approved, 1 refused, 2 local failure, 3 usage or load error)"
echo "Bank host's view (payloads it received through the library):"
sed 's/^/  /' "$DEMO/bankhost.payloads" 2>/dev/null || true
echo "Terminal's view:"
sed 's/^/  /' "$OUT"
echo "Library log:  $DEMO/Log/ (GBK; e.g. iconv -f GBK -t UTF-8 $DEMO/Log/*.log)"
echo "Frames on the line (hex): $DEMO/posterm.log"
echo "Receipt file: $DEMO/print.txt"
echo
echo "Today's transaction journal ($DEMO/Journal/):"
./korvessa journal | sed 's/^/  /'
exit $STATUS
