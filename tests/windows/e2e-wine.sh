#!/usr/bin/env bash
# End to end on Windows: korvessa.exe loads KorvessaDLL.dll (by ordinal) under Wine, and the library talks
# to posterm through a Wine COM port linked to a pseudo-terminal.
#   e2e-wine.sh <dir with korvessa.exe and KorvessaDLL.dll> <posterm>
# Scenarios: approval, refusal, time-out, the journal, facade, masked log, relay round trip and a
# destination that AllowedHosts refuses (when bankhost is given as $3), the doctor, a folder named outside
# ASCII.
set -uo pipefail
WINDIR=$1
POSTERM=$2
BANKHOST=${3:-}
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
WINE_RUN="$ROOT/scripts/wine-run"
PORT=5

: "${WINEPREFIX:=${KV_WINEPREFIX:-$HOME/.korvessa-wine}}"
export WINEPREFIX WINEDEBUG=-all
WORK=$(mktemp -d /tmp/kv-wine-e2e.XXXXXX)
PT=
BH=
cleanup() {
  [ -n "$PT" ] && kill "$PT" 2>/dev/null && wait "$PT" 2>/dev/null
  [ -n "$BH" ] && kill "$BH" 2>/dev/null && wait "$BH" 2>/dev/null
  rm -f "$WINEPREFIX/dosdevices/com$PORT"
  rm -rf "$WORK"
}
trap cleanup EXIT

passed=0
failed=0
ok() { echo "PASS: $1"; passed=$((passed + 1)); }
bad() { echo "FAIL: $1"; failed=$((failed + 1)); }

# A prefix exists after the first program has run in it.
"$WINE_RUN" "$WINDIR/korvessa.exe" --help >/dev/null 2>&1 || true
mkdir -p "$WINEPREFIX/dosdevices"

cp "$WINDIR/korvessa.exe" "$WINDIR/KorvessaDLL.dll" "$WORK/"
iconv -f UTF-8 -t GBK "$ROOT/tools/demo/Config.ini.sample" |
  sed -e "s/^ComPort=.*/ComPort=$PORT/" -e 's/^TradeTimeOut=.*/TradeTimeOut=2/' \
      -e 's/^DebugLog=.*/DebugLog=4/' >"$WORK/Config.ini"

# start_posterm <options...>: a fresh terminal on a new pty, linked as COM$PORT.
start_posterm() {
  [ -n "$PT" ] && kill "$PT" 2>/dev/null && wait "$PT" 2>/dev/null
  : >"$WORK/posterm.out"
  "$POSTERM" --log "$WORK/posterm.log" "$@" >"$WORK/posterm.out" 2>&1 &
  PT=$!
  local line= i=0
  while [ $i -lt 100 ]; do
    line=$(sed -n 's/^READY //p' "$WORK/posterm.out" | head -n 1)
    [ -n "$line" ] && break
    sleep 0.1
    i=$((i + 1))
  done
  [ -n "$line" ] || { echo "posterm did not start"; cat "$WORK/posterm.out"; return 1; }
  ln -sfn "$line" "$WINEPREFIX/dosdevices/com$PORT"
}

# run_korvessa <options...>: runs korvessa.exe in the work folder; output in $OUT, status in $RC.
run_korvessa() {
  OUT=$(cd "$WORK" && timeout 120 "$WINE_RUN" ./korvessa.exe --raw --no-receipt "$@" 2>&1)
  RC=$?
}

# 1. Approval: result 0, response fields by name, the request seen by the terminal.
start_posterm --field card=6222021234567890123 --field trace=000123 || exit 1
run_korvessa --type 30 --amount 123.45 --reserved XYZ
if [ "$RC" = 0 ] && grep -q '^Result: 0 ' <<<"$OUT" && grep -q '000000012345' <<<"$OUT" &&
   grep -q 'REQUEST A030' "$WORK/posterm.out"; then
  ok "approval through BankTrans"
else
  bad "approval (status $RC)"; echo "$OUT"; cat "$WORK/posterm.out"
fi
grep -q 'reserved *= "XYZ"' <<<"$OUT" && ok "reserved bytes returned" || { bad "reserved bytes"; echo "$OUT"; }

# 2. Refusal "05": 0x3530 (13616).
start_posterm --code 05 || exit 1
run_korvessa --type 30 --amount 1.00
if [ "$RC" = 1 ] && grep -q '^Result: 13616' <<<"$OUT"; then ok "refusal 05 gives 13616"; else bad "refusal (status $RC)"; echo "$OUT"; fi

# 3. Time-out: no answer within TradeTimeOut (2 s) gives -3.
start_posterm --silent || exit 1
run_korvessa --progress --type 30 --amount 1.00
if [ "$RC" = 2 ] && grep -q -- '^Result: -3 ' <<<"$OUT"; then ok "time-out gives -3"; else bad "time-out (status $RC)"; echo "$OUT"; fi
# korvessa.exe's main thread read the state from the library while its worker thread waited in BankTrans
# (GetValue "state" answers at once): one plain line per step (CR LF on Windows), as the output is not a
# console: no escape sequence.
STATES=$(tr -d '\r' <<<"$OUT")
if grep -q '^state: handshake$' <<<"$STATES" && grep -q '^state: waiting$' <<<"$STATES" &&
   ! grep -q $'\x1b' <<<"$OUT"; then
  ok "state polled from a second thread during the call"
else
  bad "state from a second thread"; echo "$OUT"
fi

# 3b. The journal beside the library: the approval of 1 and the time-out of 3 after the request went out
# (SENT, then UNCERTAIN); korvessa.exe journal --uncertain reports it with exit status 1.
J="$WORK/Journal/Journal$(date +%Y%m%d).txt"
if grep -q $'\tSENT\r$' "$J" && grep -q $'\tAPPROVED\t00\t000123\t' "$J" &&
   grep -q $'\tUNCERTAIN\t\t\t\t-3\r$' "$J"; then
  ok "journal: approval and uncertain outcome"
else
  bad "journal"; cat "$J"
fi
OUT=$(cd "$WORK" && timeout 60 "$WINE_RUN" ./korvessa.exe journal --uncertain --dir Journal 2>&1)
RC=$?
if [ "$RC" = 1 ] && grep -q 'UNCERTAIN' <<<"$OUT" && grep -q ', 1 in doubt' <<<"$OUT"; then
  ok "korvessa journal --uncertain"
else
  bad "korvessa journal --uncertain (status $RC)"; echo "$OUT"
fi

# 4. Facade: PutValue/TransProcess/GetValue, "00" after an approval (card number shown masked); "x2" for an
#    undefined type.
start_posterm --field card=6222021234567890123 || exit 1
run_korvessa --put transType=30 --put amount=000000000100 --get rejCode --get cardNumber
if [ "$RC" = 0 ] && grep -q 'rejCode *= "00"' <<<"$OUT" && grep -qF 'cardNumber        = "622202*********0123"' <<<"$OUT"; then
  ok "facade approval"
else
  bad "facade approval (status $RC)"; echo "$OUT"
fi
run_korvessa --put transType=77 --put amount=000000000100 --get rejCode
if grep -q 'rejCode *= "x2"' <<<"$OUT"; then ok "facade undefined type gives x2"; else bad "facade x2 (status $RC)"; echo "$OUT"; fi

# 5. Card numbers masked in the log at level 6: a "62" request with one, its answer with another.
sed -i 's/^DebugLog=.*/DebugLog=6/' "$WORK/Config.ini"
rm -rf "$WORK/Log"
start_posterm --field card=6297869787968978696 || exit 1
run_korvessa --type 62 --amount 1.00 --auth AUTH01 --date 20261201 --card 6278998979698796798
LOGTEXT=$(cat "$WORK"/Log/ErrorLog*.log 2>/dev/null)
if [ "$RC" = 0 ] && grep -qF '627899*********6798' <<<"$LOGTEXT" && grep -qE '36 32 39 37 38 36 +2A +2A' <<<"$LOGTEXT" &&
   grep -qE '36 32 37 38 39 39 +2A +2A' <<<"$LOGTEXT" && ! grep -qE '98979698|78696|96798' <<<"$LOGTEXT"; then
  ok "card numbers masked in the level-6 log"
else
  bad "masked log (status $RC)"; grep -aE '98979698|78696|96798' <<<"$LOGTEXT" | head; grep -c '627899' <<<"$LOGTEXT"
fi
sed -i 's/^DebugLog=.*/DebugLog=4/' "$WORK/Config.ini"

# 6. Relay round trip: the terminal sends a D0 unit to a host on 127.0.0.1 through the library.
if [ -n "$BANKHOST" ]; then
  : >"$WORK/bankhost.out"
  "$BANKHOST" --port 0 --mode answer --reply-text HOST-OK >"$WORK/bankhost.out" 2>&1 &
  BH=$!
  hp=
  for _ in $(seq 1 50); do
    hp=$(sed -n 's/^LISTENING \([0-9]*\)$/\1/p' "$WORK/bankhost.out" | head -n 1)
    [ -n "$hp" ] && break
    sleep 0.1
  done
  if [ -n "$hp" ]; then
    start_posterm --relay "127.0.0.1:$hp:PAYLOAD-1" --relay-expect HOST-OK || exit 1
    run_korvessa --type 30 --amount 1.00
    if [ "$RC" = 0 ] && grep -q 'RELAY OK' "$WORK/posterm.out"; then ok "relay round trip"; else
      bad "relay round trip (status $RC)"; echo "$OUT"; cat "$WORK/posterm.out" "$WORK/bankhost.out"; fi

    # 7. A destination AllowedHosts does not list: no connection, nothing back, the call still approved,
    #    and the audit line says why.
    sed -i "s/^AllowedHosts=.*/AllowedHosts=127.0.0.1:1, bank.example:*/" "$WORK/Config.ini"
    rm -rf "$WORK/Log"
    : >"$WORK/bankhost.out"
    start_posterm --relay "127.0.0.1:$hp:PAYLOAD-2" --relay-timeout 500 || exit 1
    run_korvessa --type 30 --amount 1.00
    NOTALLOWED=$(printf '%s' "目的地址=127.0.0.1:$hp，发送=0字节，接收=0字节" | iconv -f UTF-8 -t GBK)
    if [ "$RC" = 0 ] && grep -q 'RELAY FAIL no reply' "$WORK/posterm.out" && ! grep -q RECV "$WORK/bankhost.out" &&
       grep -aqF "$NOTALLOWED" "$WORK"/Log/ErrorLog*.log; then
      ok "destination not in AllowedHosts refused"
    else
      bad "AllowedHosts refusal (status $RC)"; echo "$OUT"; cat "$WORK/posterm.out" "$WORK"/Log/ErrorLog*.log
    fi
    sed -i "s/^AllowedHosts=.*/AllowedHosts=/" "$WORK/Config.ini"
  else
    bad "bankhost did not start"; cat "$WORK/bankhost.out"
  fi
fi

# 6. Exit with a relay waiting between calls: the terminal reaches the host after its answer, the
#    relay thread then waits for a further payload; korvessa.exe (still loaded) must end at once.
if [ -n "$BANKHOST" ] && [ -n "${hp:-}" ]; then
  start_posterm --relay-after "127.0.0.1:$hp:BETWEEN-CALLS" || exit 1
  rm -f "$WORK/stdin.fifo"
  mkfifo "$WORK/stdin.fifo"
  (cd "$WORK" && timeout 120 "$WINE_RUN" ./korvessa.exe --raw --no-receipt --wait-stdin --type 30 --amount 1.00 \
     <"$WORK/stdin.fifo" >"$WORK/exit.out" 2>&1; echo "rc=$?" >>"$WORK/exit.out") &
  KP=$!
  exec 8>"$WORK/stdin.fifo"
  for _ in $(seq 1 300); do grep -q '^RELAY' "$WORK/posterm.out" && break; sleep 0.1; done
  for _ in $(seq 1 300); do grep -q '^WAITING' "$WORK/exit.out" && break; sleep 0.1; done
  t0=$(date +%s%N)
  exec 8>&-
  wait "$KP"
  ms=$((($(date +%s%N) - t0) / 1000000))
  echo "korvessa.exe exit with a waiting relay: ${ms} ms"
  if grep -q 'RELAY OK' "$WORK/posterm.out" && grep -q '^rc=0' "$WORK/exit.out" && [ "$ms" -lt 1000 ]; then
    ok "exit with a relay waiting between calls"
  else
    bad "exit with a relay waiting (${ms} ms)"; cat "$WORK/exit.out" "$WORK/posterm.out"
  fi
fi

# 9. korvessa.exe doctor: every check passes with the terminal on COM$PORT (an empty AllowedHosts is a
#    warning only); a port that does not exist is its fail line and exit status 1.
start_posterm || exit 1
OUT=$(cd "$WORK" && timeout 120 "$WINE_RUN" ./korvessa.exe doctor 2>&1)
RC=$?
if [ "$RC" = 0 ] && grep -q '^ok    terminal  answered the handshake in ' <<<"$OUT" &&
   grep -q '^ok    keys ' <<<"$OUT" && grep -q '^ok    version   library ' <<<"$OUT" && ! grep -q '^fail' <<<"$OUT"; then
  ok "korvessa.exe doctor with a good port"
else
  bad "korvessa.exe doctor, good port (status $RC)"; echo "$OUT"
fi
sed -i 's/^ComPort=.*/ComPort=99/' "$WORK/Config.ini"
OUT=$(cd "$WORK" && timeout 120 "$WINE_RUN" ./korvessa.exe doctor 2>&1)
RC=$?
if [ "$RC" = 1 ] && grep -qF 'fail  port      \\.\COM99: ' <<<"$OUT" &&
   grep -q '^warn  terminal  handshake skipped' <<<"$OUT"; then
  ok "korvessa.exe doctor with a missing port"
else
  bad "korvessa.exe doctor, missing port (status $RC)"; echo "$OUT"
fi
sed -i "s/^ComPort=.*/ComPort=$PORT/" "$WORK/Config.ini"

# 10. A folder with a name outside ASCII ("Kassé": one byte above 0x7F in the system's ANSI code page,
#     which is not a lead byte there): Config.ini, Log and Journal are found and made beside the library.
DESK="$WORK/Kass$(printf '\xc3\xa9')"
mkdir -p "$DESK"
cp "$WORK/korvessa.exe" "$WORK/KorvessaDLL.dll" "$WORK/Config.ini" "$DESK/"
rm -rf "$WORK/Log"  # made again only if the library took the folder above for its own
start_posterm || exit 1
OUT=$(cd "$DESK" && timeout 120 "$WINE_RUN" ./korvessa.exe --raw --no-receipt --type 30 --amount 1.00 2>&1)
RC=$?
if [ "$RC" = 0 ] && grep -q '^Result: 0 ' <<<"$OUT" && ls "$DESK"/Log/*.log >/dev/null 2>&1 &&
   [ -n "$(ls "$DESK"/Journal 2>/dev/null)" ] && [ ! -e "$WORK/Log" ]; then
  ok "a folder named outside ASCII"
else
  bad "a folder named outside ASCII (status $RC)"; echo "$OUT"; ls -R "$DESK" "$WORK"
fi

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
