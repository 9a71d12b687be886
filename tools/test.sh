#!/usr/bin/env bash
# Runs every test, with the tools that tools/install-deps.sh put into .venv:
#  1. the abi3 wheel, built and installed into .venv;
#  2. the core's C++ tests and the saved fuzz inputs, plain and under
#     AddressSanitizer and UndefinedBehaviorSanitizer;
#  3. the split pipeline under ThreadSanitizer;
#  4. each fuzz target for FUZZ_SECONDS (default 60) when clang is at hand;
#  5. the Python tests against the wheel, on CPython 3.8 too when one is at
#     hand, since the one abi3 wheel serves every CPython from 3.8 on;
#  6. the Python tests against a module built with the sanitizers.
# With --quick, for the loop of an edit and its test: steps 1 and 2 without
# the sanitizers, and step 5 on this interpreter alone. The full run is what
# CI runs.
#
#   tools/test.sh [--quick]
set -euo pipefail
quick=0
case "${1-}" in
  --quick) quick=1 ;;
  "") ;;
  *) echo "usage: tools/test.sh [--quick]" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)
python=$(bash tools/venv.sh)
export PATH=$root/.venv/bin:$PATH  # python3, cmake, ninja and the flowsieve command

step() { echo "== $* ($(date +%T))"; }

step wheel
rm -rf build/wheel
variants="plain sanitize"
[ $quick = 1 ] && variants=plain
python3 -m pip wheel -q --disable-pip-version-check --no-deps -w build/wheel .
wheel=$(ls "$root"/build/wheel/flowsieve-*-cp38-abi3-*.whl)
python3 -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$wheel"

for variant in $variants; do
  step "C++ tests, $variant"
  dir=build/ctest-$variant
  sanitize=OFF; [ "$variant" = sanitize ] && sanitize=ON
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFLOWSIEVE_TESTS=ON \
    -DFLOWSIEVE_PYTHON=OFF -DFLOWSIEVE_CLI=OFF -DFLOWSIEVE_SANITIZE=$sanitize >/dev/null
  ninja -C "$dir" >/dev/null
  # Any sanitizer report aborts the test process, so ctest fails.
  ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir "$dir" --output-on-failure -j "$jobs"
done

if [ $quick = 1 ]; then
  echo "--quick: ThreadSanitizer, fuzzing, CPython 3.8 and the sanitized module skipped"
else
  step ThreadSanitizer
  bash tools/tsan-split.sh
  if command -v clang++ >/dev/null; then
    step "fuzzing, ${FUZZ_SECONDS:-60} s per target"
    bash fuzz/run.sh "${FUZZ_SECONDS:-60}"
  else
    echo "no clang++ here: fuzzing skipped"
  fi
fi

step "Python tests"
# Run from outside the source tree so the installed module is imported.
cd tests/python
py38=
[ $quick = 1 ] || for candidate in "$(pyenv root 2>/dev/null)"/versions/3.8*/bin/python "$(command -v python3.8 || true)" /usr/bin/python3.8; do
  if [ -x "$candidate" ]; then py38=$candidate; break; fi
done
if [ -n "$py38" ]; then
  venv=$root/build/venv-py38
  rm -rf "$venv"
  "$py38" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check pytest "$wheel"
  PATH=$venv/bin:$PATH "$venv/bin/python" -m pytest -q -p no:cacheprovider .
elif [ $quick = 0 ]; then
  echo "no CPython 3.8 here: the wheel is tested on $(python3 --version) only"
fi
python3 -m pytest -q -p no:cacheprovider .
cd "$root"

if [ $quick = 0 ]; then
  step "Python tests against the sanitized module"
  bash tools/sanitize-pytest.sh
fi
step done
