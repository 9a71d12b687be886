#!/usr/bin/env bash
# Runs every test: the core's C++ tests (plain and under AddressSanitizer and
# UndefinedBehaviorSanitizer), then the Python tests against the installed
# wheel, on CPython 3.8 too when one is at hand, since the one abi3 wheel
# serves every CPython from 3.8 on.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

rm -rf build/wheel
python3 -m pip wheel -q --disable-pip-version-check --no-deps -w build/wheel .
wheel=$(ls "$root"/build/wheel/flowsieve-*-cp38-abi3-*.whl)
python3 -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$wheel"

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
py38=
for candidate in "$(pyenv root 2>/dev/null)"/versions/3.8*/bin/python /usr/bin/python3.8; do
  if [ -x "$candidate" ]; then py38=$candidate; break; fi
done
if [ -n "$py38" ]; then
  venv=$root/build/venv-py38
  rm -rf "$venv"
  "$py38" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check pytest "$wheel"
  "$venv/bin/python" -m pytest -q -p no:cacheprovider .
else
  echo "no CPython 3.8 here: the wheel is tested on $(python3 --version) only"
fi
python3 -m pytest -q -p no:cacheprovider .
