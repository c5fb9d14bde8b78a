#!/usr/bin/env bash
# Runs the libFuzzer targets of a ZENTRAFOLD_FUZZ build for SECONDS each,
# nice'd, TARGETS in turn (default: all five), each on its own corpus folder
# under WORK, seeded from SEEDS (stream targets; the API target takes them
# behind its parameter bytes) or the regression inputs (kernel targets).
# Inputs are kept to 8 KB: the committed photographs past that only slow the
# stream targets down (the replay in ctest runs them all).
# Prints libFuzzer's final figures per target; crashes land in WORK/artifacts.
#   fuzz/run_campaign.sh BUILD_DIR WORK SECONDS [TARGET...]
set -euo pipefail
build=${1:?usage: run_campaign.sh BUILD_DIR WORK SECONDS [TARGET...]}
work=${2:?}
seconds=${3:?}
shift 3
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(decode inspect idct color api)
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work/artifacts" "$work/logs"
if [ ! -d "$work/seeds" ]; then "$here/make_seed_corpus.sh" "$work/seeds" 8192 >/dev/null; fi
for t in "${targets[@]}"; do
  corpus=$work/corpus/$t
  if [ ! -d "$corpus" ]; then
    mkdir -p "$corpus"
    case $t in
      decode | inspect | scans | view) cp "$work"/seeds/* "$corpus"/ ;;
      api) "$here/make_api_seeds.sh" "$work/seeds" "$corpus" ;;
      *) cp "$here/regressions/$t"/* "$corpus"/ ;;
    esac
  fi
  log=$work/logs/$t-$(date +%s).log
  status=0
  start=$(date +%s)
  nice -n 19 "$build/fuzz/fuzz_$t" -dict="$here/jpeg.dict" -max_total_time="$seconds" -timeout=10 -max_len=8192 \
    -rss_limit_mb=1024 -print_final_stats=1 -artifact_prefix="$work/artifacts/$t-" "$corpus" \
    "$here/regressions/$t" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "$t: ${runs:-?} executions in $(($(date +%s) - start))s, exit $status (log $log)"
  [ $status -eq 0 ] || { grep -E "ERROR|SUMMARY|check failed" "$log" | head -5; exit 1; }
done
