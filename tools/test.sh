#!/usr/bin/env bash
# Runs every test: the core's C++ tests (plain and under AddressSanitizer and
# UndefinedBehaviorSanitizer), then the Python tests against the installed
# module.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

python3 -m pip install -q --disable-pip-version-check .

for variant in plain sanitize; do
  dir=build/ctest-$variant
  sanitize=OFF; [ "$variant" = sanitize ] && sanitize=ON
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFLOWSIEVE_TESTS=ON \
    -DFLOWSIEVE_PYTHON=OFF -DFLOWSIEVE_SANITIZE=$sanitize >/dev/null
  ninja -C "$dir" >/dev/null
  # Any sanitizer report aborts the test process, so ctest fails.
  ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir "$dir" --output-on-failure -j "$jobs"
done

# Run from outside the source tree so the installed module is imported.
cd tests/python
python3 -m pytest -q -p no:cacheprovider .
