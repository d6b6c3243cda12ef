#!/usr/bin/env bash
# Runs every fuzz target (or those named) from its seed corpus in fuzz/corpus/<target>. Fails when a
# target finds a crash, a sanitizer report, a leak, an input slower than one second or one that runs
# out of memory; the input is kept as <build>/fuzz-run/<target>/crash-... (or leak-, timeout-, oom-).
#
# The gating run (the default, what make check runs) is the same on every machine: each target
# replays its whole corpus, then makes FUZZ_RUNS inputs (default 20000) from the fixed seed
# FUZZ_SEED (default 1). With --explore (make fuzz-explore) each target explores at random for
# FUZZ_TIME seconds (default 60): for developers, before they stop; what it finds goes into the
# corpus once fixed, and so into the gating run.
# Usage: fuzz/run-fuzz.sh [--explore] <fuzz build folder> [target ...]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
explore=0
if [ "${1:-}" = "--explore" ]; then
  explore=1
  shift
fi
build="$(cd "${1:?usage: run-fuzz.sh [--explore] <fuzz build folder> [target ...]}" && pwd)"
shift
time_each=${FUZZ_TIME:-60}
runs=${FUZZ_RUNS:-20000}
seed=${FUZZ_SEED:-1}
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_frame_codec fuzz_recv_framing fuzz_config fuzz_receipt fuzz_request)
fi

# Longest input of each target: frames up to the 4096-byte assembly buffer with noise around
# them, Config.ini files with lines of 10 000 characters.
max_len() {
  case "$1" in
    fuzz_config) echo 16384 ;;
    fuzz_recv_framing) echo 12288 ;;
    *) echo 8192 ;;
  esac
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
failed=()
for t in "${targets[@]}"; do
  out="$build/fuzz-run/$t"
  rm -rf "$out"
  mkdir -p "$out/new" "$out/tmp"
  args=(-timeout=1 -rss_limit_mb=2048 -max_len="$(max_len "$t")" -print_final_stats=1
        -artifact_prefix="$out/")
  if [ $explore -eq 1 ]; then
    args+=(-max_total_time="$time_each")
    what="${time_each}s at random"
  else
    args+=(-runs="$runs" -seed="$seed")
    what="corpus, then $runs runs from seed $seed"
  fi
  case "$t" in
    fuzz_config | fuzz_receipt) args+=(-dict="$here/config.dict") ;;
  esac
  echo "== $t: $what ($(find "$here/corpus/$t" -type f | wc -l) seeds)"
  # New inputs go to $out/new; the seed corpus in the repository is only read.
  # The target's scratch folder (log, Config.ini, receipt) goes below $out/tmp, also when it crashes.
  if TMPDIR="$out/tmp" "$build/$t" "${args[@]}" "$out/new" "$here/corpus/$t" >"$out/log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$out/log" | tr '\n' ' '
    echo
  else
    echo "FAILED: $t (log: $out/log)"
    grep -E 'ERROR|SUMMARY|check failed|Test unit written' "$out/log" | head -20 || true
    failed+=("$t")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "Fuzz targets that found a fault: ${failed[*]}"
  echo "Reproduce: <build>/<target> <input>; keep the input in fuzz/corpus/<target>/ once fixed."
  exit 1
fi
echo "All fuzz targets ran without a finding."
