#!/usr/bin/env bash
# Builds the library and every C++ test with AddressSanitizer and UndefinedBehaviorSanitizer
# (-DTAMRO_SANITIZE=ON) in build/sanitize and runs them with ctest. Fails on a failing test
# and on any sanitizer report, including one from a child process that did not fail its test.
#
#   tools/sanitize.sh [ctest arguments...]     e.g. tools/sanitize.sh -R serialib
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
"$CMAKE" -S . -B "$BUILD" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAMRO_SANITIZE=ON -DTAMRO_BUILD_TESTS=ON -DTAMRO_BUILD_PYTHON=OFF -DTAMRO_WERROR=ON \
  >/dev/null
"$CMAKE" --build "$BUILD" --parallel 2

# Every report is fatal; leaks are checked at exit.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

status=0
"$CTEST" --test-dir "$BUILD" --output-on-failure -j2 "$@" || status=1

log=$BUILD/Testing/Temporary/LastTest.log
if [ -f "$log" ] && grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:' "$log"; then
  echo "sanitizer reports in $log:" >&2
  grep -nE 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:' "$log" >&2
  status=1
fi
[ $status -eq 0 ] && echo "sanitize: all tests passed, no sanitizer reports"
exit $status
