#!/usr/bin/env bash
# Runs every C++ test executable that ctest knows under valgrind's memcheck: any invalid
# access, use of uninitialised memory, or definite/indirect leak fails the run.
#
#   tools/valgrind.sh [BUILD_DIR] [REGEX]
#     BUILD_DIR  a configured tree with -DTAMRO_BUILD_TESTS=ON, not sanitized (default
#                build/native, configured here like `make build` does if it is missing)
#     REGEX      only the ctest tests whose names match
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${1:-build/native}
FILTER=${2:-}
CMAKE=$ROOT/.venv/bin/cmake
CTEST=$ROOT/.venv/bin/ctest
NINJA=$ROOT/.venv/bin/ninja
PY=$ROOT/.venv/bin/python

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  "$CMAKE" -S . -B "$BUILD" -G Ninja -DCMAKE_MAKE_PROGRAM="$NINJA" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMRO_BUILD_PYTHON=OFF -DTAMRO_BUILD_TESTS=ON \
    -DTAMRO_WERROR=ON >/dev/null
fi
if grep -q '^TAMRO_SANITIZE:BOOL=ON' "$BUILD/CMakeCache.txt"; then
  echo "$BUILD is built with sanitizers; valgrind needs a plain build" >&2
  exit 2
fi
"$CMAKE" --build "$BUILD" --parallel 2 >/dev/null

# ctest's own list of test commands: name, then the command line.
mapfile -t tests < <("$CTEST" --test-dir "$BUILD" --show-only=json-v1 | "$PY" -c '
import json, re, sys
pattern = re.compile(sys.argv[1]) if sys.argv[1] else None
for test in json.load(sys.stdin)["tests"]:
    if pattern is None or pattern.search(test["name"]):
        print(test["name"] + "\t" + "\x1f".join(test["command"]))
' "$FILTER")

logs=$BUILD/valgrind
mkdir -p "$logs"
status=0
for entry in "${tests[@]}"; do
  name=${entry%%$'\t'*}
  IFS=$'\x1f' read -r -a command <<<"${entry#*$'\t'}"
  log=$logs/$name.log
  start=$SECONDS
  set +e
  valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect \
    --errors-for-leak-kinds=definite,indirect --error-exitcode=99 --track-origins=yes \
    --log-file="$log" "${command[@]}" >"$logs/$name.out" 2>&1
  rc=$?
  set -e
  errors=$(sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' "$log" | tail -1)
  leaked=$(sed -n 's/.*definitely lost: \([0-9,]*\) bytes.*/\1/p' "$log" | tail -1)
  printf '%-28s exit %3d  memcheck errors %s  definitely lost %s bytes  (%ds)\n' \
    "$name" "$rc" "${errors:-?}" "${leaked:-0}" $((SECONDS - start))
  if [ $rc -eq 99 ] || [ "${errors:-1}" != 0 ]; then
    echo "  memcheck: see $log" >&2
    status=1
  elif [ $rc -ne 0 ]; then
    echo "  the test failed under valgrind: see $logs/$name.out" >&2
    status=1
  fi
done
[ ${#tests[@]} -gt 0 ] || { echo "no tests in $BUILD" >&2; exit 1; }
exit $status
