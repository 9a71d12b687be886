#!/usr/bin/env bash
# Runs the split and the archive builder (reader thread and writing thread) under
# ThreadSanitizer: builds the core and fuzz/tsan_split.cpp with
# -fsanitize=thread into build/tsan, then runs the driver on its generated
# captures and on ../shared/captures when present. Any race report, or a
# split that ends otherwise than expected, fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/tsan

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ \
  -DFLOWSIEVE_TSAN=ON -DFLOWSIEVE_PYTHON=OFF -DFLOWSIEVE_CLI=OFF >/dev/null
ninja -C "$build" tsan_split >/dev/null

captures=../shared/captures
[ -d "$captures" ] || { echo "no $captures: generated captures only"; captures=; }
TSAN_OPTIONS=halt_on_error=1:abort_on_error=1:second_deadlock_stack=1 "$build/tsan_split" $captures
