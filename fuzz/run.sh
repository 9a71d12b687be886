#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UBSan) into
# build/fuzz and either fuzzes or replays.
#
#   fuzz/run.sh SECONDS [TARGET...]   fuzz each target (default: all) for
#                                     SECONDS, one after the other, one process
#   fuzz/run.sh --replay [TARGET...]  run each target on its saved crash inputs
#
# Fuzzing starts from seeds made from ../shared/captures (when present) and
# from the saved crash inputs, and keeps what it finds in
# build/fuzz/corpus-<target>. A crash input is copied to
# fuzz/regressions/<target>/ and the script exits non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/fuzz

usage() { echo "usage: $0 SECONDS [TARGET...] | --replay [TARGET...]" >&2; exit 2; }
[ $# -ge 1 ] || usage
mode=$1; shift
case $mode in --replay) ;; *[!0-9]*|'') usage ;; esac

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DFLOWSIEVE_FUZZ=ON -DFLOWSIEVE_PYTHON=OFF -DFLOWSIEVE_CLI=OFF >/dev/null
ninja -C "$build" >/dev/null

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in fuzz/fuzz_*.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi

for target in "${targets[@]}"; do
  [ -x "$build/$target" ] || { echo "no fuzz target $target" >&2; exit 2; }
done

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

if [ "$mode" = --replay ]; then
  status=0
  for target in "${targets[@]}"; do
    inputs=(fuzz/regressions/"$target"/*)
    [ -e "${inputs[0]}" ] || { echo "$target: no saved inputs"; continue; }
    if "$build/$target" -runs=1 "${inputs[@]}" >"$build/replay-$target.log" 2>&1; then
      echo "$target: ${#inputs[@]} saved inputs pass"
    else
      echo "$target: FAILED, see $build/replay-$target.log"; status=1
    fi
  done
  exit $status
fi

seconds=$mode
captures=$root/../shared/captures
rm -rf "$build/seeds"
if [ -d "$captures" ]; then
  # The seed maker runs the instrumented builder over every capture, so it
  # can be the first to hit a bug.
  "$build/make_seeds" "$captures" "$build/seeds" >/dev/null || { echo "making the seeds failed" >&2; exit 1; }
else
  echo "no $captures: fuzzing from the saved inputs and the corpus alone"
fi

crashed=0
for target in "${targets[@]}"; do
  corpus=$build/corpus-$target
  artifacts=$build/artifacts-$target
  log=$build/fuzz-$target.log
  mkdir -p "$corpus" "$build/seeds/$target" "fuzz/regressions/$target"
  rm -rf "$artifacts"; mkdir -p "$artifacts"
  start=$SECONDS
  rc=0
  "$build/$target" -max_len=65536 -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$corpus" "$build/seeds/$target" "fuzz/regressions/$target" >"$log" 2>&1 || rc=$?
  elapsed=$((SECONDS - start))
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  found=("$artifacts"/*)
  crashes=0
  if [ -e "${found[0]}" ]; then
    crashes=${#found[@]}
    cp "${found[@]}" "fuzz/regressions/$target/"
  elif [ $rc -ne 0 ]; then
    crashes=1  # died without leaving an input behind
  fi
  echo "$target: ${elapsed} s, ${execs:-?} execs, ${rate:-?} execs/s, $crashes crashes (log: $log)"
  if [ $crashes -ne 0 ]; then
    crashed=1
    grep -m1 -A25 -E '^==[0-9]+==ERROR|runtime error|deadly signal' "$log" || true
  fi
done
# libFuzzer ends without exit handlers: the scratch folders of targets that
# are gone stay behind (those of running processes are theirs).
for dir in /dev/shm/flowsieve-fuzz-* "${TMPDIR:-/tmp}"/flowsieve-fuzz-*; do
  [ -d "$dir" ] || continue
  pid=${dir##*-}
  kill -0 "$pid" 2>/dev/null || rm -rf "$dir"
done
exit $crashed
