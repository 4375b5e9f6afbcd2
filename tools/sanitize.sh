#!/usr/bin/env bash
# Builds the library and every C++ test with AddressSanitizer and UndefinedBehaviorSanitizer
# (-DTAMRO_SANITIZE=ON) in build/sanitize and runs them with ctest; then again with
# ThreadSanitizer (-DTAMRO_TSAN=ON) in build/tsan, for the loop threads and what they hand over.
# Fails on a failing test and on any sanitizer report, including one from a child process
# that did not fail its test.
#
#   tools/sanitize.sh [ctest arguments...]     e.g. tools/sanitize.sh -R serialib
#
#   tools/sanitize.sh --python [pytest arguments...]
#       instead builds both extension modules sanitized (build/sanitize-python) and runs the
#       Python tests against them: TamroHardwareAPI, and tamro with the sanitized tamro._native
#       (build/sanitize-python/site, checked before the tests start), with the sanitizer
#       runtimes preloaded into the interpreter. The preload reaches only our own processes:
#       Python interpreters and this tree's programs, not the browser and its driver
#       (tools/sanitized-python/sitecustomize.py).
#       LeakSanitizer checks only where a test asks for it (tests/module/test_resources.py, instead
#       of its resident-memory bound, which the quarantine of freed memory would break), not
#       at exit (the interpreter keeps memory to the end by design); Python allocates with
#       malloc (PYTHONMALLOC=malloc), so LeakSanitizer sees every pointer it holds. An
#       impossible allocation fails as in a plain build (MemoryError), not as a report.
#       Reports are written to files, so that those of child interpreters whose standard
#       error is redirected are seen too.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$ROOT/build/sanitize
CMAKE=$ROOT/.venv/bin/cmake
CTEST=$ROOT/.venv/bin/ctest
NINJA=$ROOT/.venv/bin/ninja
[ -x "$CMAKE" ] || { CMAKE=cmake; CTEST=ctest; }

generator=()
[ -x "$NINJA" ] && generator=(-G Ninja -DCMAKE_MAKE_PROGRAM="$NINJA")

if [ "${1:-}" = --python ]; then
  shift
  BUILD=$ROOT/build/sanitize-python
  PY=$ROOT/.venv/bin/python
  # The tests' tools, and the programs they start (the simulator), come from .venv.
  "$PY" -c 'import pytest, tamro' 2>/dev/null || { echo "sanitize: run make build and make test-tools first (or make sanitize-python)" >&2; exit 2; }
  "$CMAKE" -S . -B "$BUILD" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTAMRO_SANITIZE=ON -DTAMRO_BUILD_TESTS=OFF -DTAMRO_BUILD_SIMULATOR=OFF \
    -DTAMRO_BUILD_PYTHON=ON -DTAMRO_KEEP_ASSERTS=ON -DTAMRO_WERROR=ON \
    -DPython_EXECUTABLE="$PY" >/dev/null
  "$CMAKE" --build "$BUILD" --parallel 2
  # What the tests import: the sanitized TamroHardwareAPI, and tamro (a copy of src/tamro: the
  # panel serves no file through a link) with the sanitized _native, ahead of .venv's; and the
  # start-up hook that keeps the preload to our own processes.
  site=$BUILD/site
  rm -rf "$site" && mkdir -p "$site"
  cp -r "$ROOT/src/tamro" "$site/tamro"
  rm -rf "$site/tamro/__pycache__" "$site"/tamro/*/__pycache__
  ln -s "$BUILD"/Bindings/TamroHardwareAPI.*.so "$site/"
  ln -s "$BUILD"/Bindings/_native.*.so "$site/tamro/"
  ln -s "$ROOT/tools/sanitized-python/sitecustomize.py" "$site/"
  # The packaging tests check that a wheel's modules are the ones imported: with PYTHONPATH on
  # the sanitized modules they cannot be.
  [ $# -eq 0 ] && set -- tests --ignore=tests/packaging
  reports=$BUILD/reports
  rm -rf "$reports" && mkdir -p "$reports"
  sanitized=(env
    LD_PRELOAD="$(${CXX:-c++} -print-file-name=libasan.so) $(${CXX:-c++} -print-file-name=libubsan.so)"
    ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:leak_check_at_exit=0:abort_on_error=1:allocator_may_return_null=1}:log_path=$reports/asan"
    LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$ROOT/tools/sanitized-python/lsan.supp}"
    PYTHONMALLOC=malloc
    UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}:log_path=$reports/ubsan"
    PYTHONPATH="$site")
  "${sanitized[@]}" "$PY" - "$BUILD/Bindings" <<'PYTHON'
import os, sys
import TamroHardwareAPI, tamro._native, sitecustomize
for module in (TamroHardwareAPI, tamro._native):
    if os.path.dirname(os.path.realpath(module.__file__)) != sys.argv[1]:
        sys.exit(f"sanitize: {module.__name__} is imported from {module.__file__}, not from {sys.argv[1]}")
if not sitecustomize.PRELOAD:
    sys.exit("sanitize: the sanitizer runtimes are not preloaded")
PYTHON
  status=0
  "${sanitized[@]}" "$PY" -m pytest -q -p no:cacheprovider "$@" || status=1
  if [ -n "$(ls -A "$reports")" ]; then
    cat "$reports"/* >&2
    status=1
  fi
  exit $status
fi
"$CMAKE" -S . -B "$BUILD" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAMRO_SANITIZE=ON -DTAMRO_BUILD_TESTS=ON -DTAMRO_BUILD_PYTHON=OFF -DTAMRO_WERROR=ON \
  >/dev/null
"$CMAKE" --build "$BUILD" --parallel 2

# Every report is fatal; leaks are checked at exit.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

REPORTS='ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:|WARNING: ThreadSanitizer'

# Runs ctest in a build tree; 1 on a failing test or a sanitizer report in its log.
run_tests() {
  local build=$1
  shift
  local failed=0
  "$CTEST" --test-dir "$build" --output-on-failure -j2 "$@" || failed=1
  local log=$build/Testing/Temporary/LastTest.log
  if [ -f "$log" ] && grep -qE "$REPORTS" "$log"; then
    echo "sanitizer reports in $log:" >&2
    grep -nE "$REPORTS" "$log" >&2
    failed=1
  fi
  return $failed
}

status=0
run_tests "$BUILD" "$@" || status=1

TSAN_BUILD=$ROOT/build/tsan
"$CMAKE" -S . -B "$TSAN_BUILD" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAMRO_TSAN=ON -DTAMRO_BUILD_TESTS=ON -DTAMRO_BUILD_PYTHON=OFF -DTAMRO_WERROR=ON \
  >/dev/null
"$CMAKE" --build "$TSAN_BUILD" --parallel 2
TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1} run_tests "$TSAN_BUILD" "$@" || status=1

[ $status -eq 0 ] && echo "sanitize: all tests passed, no sanitizer reports"
exit $status
