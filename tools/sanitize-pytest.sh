#!/usr/bin/env bash
# Runs the Python tests against the module built with AddressSanitizer and
# UndefinedBehaviorSanitizer (g++, build/asan-module). The interpreter is not
# instrumented, so the sanitizer runtimes are preloaded into it; leak checks
# are off because CPython leaves memory behind at exit. The built module is
# put first on PYTHONPATH (with the stubs beside it, as a wheel installs
# them) and checked to be the one imported. Any sanitizer report aborts the
# interpreter (or the child process it came from); pytest captures Python's
# output only, so that a report written to the standard error stream shows.
#
# What the sanitizers cannot take part in:
# - An address-space limit (RLIMIT_AS): the runtime has reserved terabytes of
#   shadow memory before the test sets it. A sitecustomize beside the module
#   drops that limit in every interpreter; hard_rss_limit_mb bounds memory
#   instead.
# - Tools of other designs that the tests run (editcap hangs at exit with
#   the runtime preloaded): shims on PATH run them without it.
# - Allocations beyond the allocator's maximum abort instead of throwing
#   std::bad_alloc; the vptr check needs a free descriptor to probe memory;
#   redzones, shadow and quarantine add tens of MiB to the peak memory of a
#   child reading 50,000 flows, or asking a store of 60,000-flow archives.
#   The tests of those limits are left out.
#
#   tools/sanitize-pytest.sh [PYTEST ARGS...]   (default: the whole suite)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/asan-module
site=$build/site

python=$(python3 -c 'import sys; print(sys.executable)')
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ \
  -DFLOWSIEVE_SANITIZE=ON -DFLOWSIEVE_PYTHON=ON -DFLOWSIEVE_TESTS=OFF -DPython_EXECUTABLE="$python" >/dev/null
ninja -C "$build" >/dev/null

module=$(ls "$build"/flowsieve*.so)
mkdir -p "$site"
ln -sfn "$module" "$site/$(basename "$module")"
ln -sfn "$root/stubs/flowsieve-stubs" "$site/flowsieve-stubs"
cat >"$site/sitecustomize.py" <<'PY'
import resource

_setrlimit = resource.setrlimit


def _setrlimit_but_address_space(which, limits):
    if which != resource.RLIMIT_AS:
        _setrlimit(which, limits)


resource.setrlimit = _setrlimit_but_address_space
PY
shims=$build/bin
mkdir -p "$shims"
for tool in editcap tcpdump tshark capinfos; do
  real=$(command -v "$tool" || true)
  [ -n "$real" ] || continue
  printf '#!/bin/sh\nunset LD_PRELOAD\nexec %s "$@"\n' "$real" >"$shims/$tool"
  chmod +x "$shims/$tool"
done
# The command, built alongside with the sanitizers, for an interpreter that
# has none installed in its own scripts folder.
[ ! -x "$build/flowsieve" ] || ln -sfn "$build/flowsieve" "$shims/flowsieve"
export PATH=$shims:$PATH

export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:hard_rss_limit_mb=8192
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1
export PYTHONPATH=$site${PYTHONPATH:+:$PYTHONPATH}

imported=$("$python" -c 'import flowsieve; print(flowsieve.__file__)')
if [ "$(realpath "$imported")" != "$(realpath "$module")" ]; then
  echo "imported $imported instead of the sanitized $module" >&2
  exit 1
fi

cd tests/python
[ $# -gt 0 ] || set -- .
left_out=(
  test_split.py::test_allocation_failure_raises_memory_error_and_closes_files
  test_split.py::test_many_flows_under_a_low_descriptor_limit
  test_robustness.py::test_descriptor_limit_does_not_change_the_output
  "test_robustness.py::test_hostile_archive[50,000 records with id 1]"
  "test_robustness.py::test_hostile_archive[50,000 flows read the packet data as offset lists]"
  "test_robustness.py::test_hostile_archive[50,000 flows list one 4 MiB record]"
  test_store.py::test_a_query_over_many_archives_holds_one_flow_table_at_a_time
)
"$python" -m pytest -q -p no:cacheprovider --capture=sys "${left_out[@]/#/--deselect=tests/python/}" "$@"
