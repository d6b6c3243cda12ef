#!/usr/bin/env bash
# The rooms of src/ and the include edges allowed between them, checked against every #include "..."
# in src/. Arrows point down only; a room that includes a room above it fails here, with the line.
#   scripts/check-layers.sh [ROOT]     ROOT: the tree to check (default: this script's repository)
#   scripts/check-layers.sh --self-test  a copy of src/ with one upward include must fail, naming its line
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
if [ "${1:-}" = "--self-test" ]; then
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  cp -r "$here/../src" "$scratch/src"
  probe="$scratch/src/config/LayerProbe.h"
  printf '// probe\n#pragma once\n#include "log/Log.h"\n' >"$probe"
  if out=$("$here/check-layers.sh" "$scratch" 2>&1); then
    echo "check-layers self-test: an include of log from config passed" >&2
    exit 1
  fi
  if ! printf '%s\n' "$out" | grep -qF 'src/config/LayerProbe.h:3: #include "log/Log.h"'; then
    echo "check-layers self-test: the failure did not name the line:" >&2
    printf '%s\n' "$out" >&2
    exit 1
  fi
  echo "check-layers self-test: an upward include fails with its line"
  exit 0
fi

root=${1:-$(cd "$here/.." && pwd)}
src="$root/src"

# Each room and the rooms it may include (besides itself). export -> engine -> serial/relay/print/journal
# -> protocol -> log -> config -> base -> platform; an arrow may skip ranks downward, rooms of one rank
# never include each other. The relay frames its replies with the protocol, which includes none of the
# rooms of the relay's rank. include/KorvessaDLL.h, the public header, may be included by any room.
declare -A allowed=(
  [export]="engine serial relay print journal protocol log config base platform"
  [engine]="serial relay print journal protocol log config base platform"
  [serial]="protocol log config base platform"
  [relay]="protocol log config base platform"
  [print]="protocol log config base platform"
  [journal]="protocol log config base platform"
  [protocol]="log config base platform"
  [log]="config base platform"
  [config]="base platform"
  [base]="platform"
  [platform]=""
)
public_header="KorvessaDLL.h"

if [ ! -d "$src" ]; then
  echo "check-layers: no folder $src" >&2
  exit 2
fi

failures=0
fail() {
  echo "$1: $2" >&2
  failures=$((failures + 1))
}

while IFS= read -r -d '' file; do
  rel=${file#"$src"/}
  room=${rel%%/*}
  if [ "$room" = "$rel" ]; then
    fail "src/$rel" "a file outside every room"
    continue
  fi
  if [ -z "${allowed[$room]+set}" ]; then
    fail "src/$rel" "room '$room' is not in the layer table"
    continue
  fi
  dir=$(dirname "$file")
  # grep -n: "line:text"; only the quoted includes are ours (<...> are the system's).
  while IFS= read -r hit; do
    line=${hit%%:*}
    text=${hit#*:}
    inc=$(printf '%s' "$text" | sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*)".*/\1/')
    if [ -e "$dir/$inc" ]; then
      # Relative to the including file: its own folder, so its own room (or a path that climbs out).
      target=$(cd "$(dirname "$dir/$inc")" && pwd)
      case "$target/" in
        "$src"/*) to=${target#"$src"/}; to=${to%%/*} ;;
        *) to="" ;;
      esac
      if [ "$to" = "$room" ]; then continue; fi
    elif [ "$inc" = "$public_header" ]; then
      continue
    else
      to=${inc%%/*}
      if [ "$to" = "$inc" ]; then
        fail "src/$rel:$line" "#include \"$inc\": not found beside the file and names no room"
        continue
      fi
    fi
    if [ "$to" = "$room" ]; then continue; fi
    ok=0
    for a in ${allowed[$room]}; do
      if [ "$a" = "$to" ]; then ok=1; fi
    done
    if [ $ok -eq 0 ]; then
      fail "src/$rel:$line" "#include \"$inc\": room '$room' may not include room '${to:-?}'"
    fi
  done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" || true)
done < <(find "$src" -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.c' -o -name '*.hpp' \) -print0 | sort -z)

if [ $failures -gt 0 ]; then
  echo "check-layers: $failures include(s) against the layer table" >&2
  exit 1
fi
echo "check-layers: every include in src/ follows the layer table"
