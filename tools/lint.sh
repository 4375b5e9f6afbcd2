#!/usr/bin/env bash
# make lint: C++ style (clang-format, .clang-format), C++ checks (clang-tidy, .clang-tidy),
# Python lint and style (ruff, pyproject.toml), types (mypy --strict over the installed tamro)
# and the generated message types (tools/messages.py --check). Fails on any finding; changes no
# file.
#
# Every C++ and Python file of the project is checked: the files git tracks and the new ones it
# does not ignore (so build trees and .venv never are). clang-tidy reads one compile database
# built from the trees that compile each unit: build/native (library, tests, simulator,
# benchmarks), build/python (the Python modules) and build/fuzz (the fuzz targets, configured
# here when missing). Run `make build` first.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PY=$ROOT/.venv/bin/python
CLANG_FORMAT=${CLANG_FORMAT:-clang-format-14}
RUN_CLANG_TIDY=${RUN_CLANG_TIDY:-run-clang-tidy-14}
OURS='(Library|Bindings|Simulator|bench|fuzz|tests)'
status=0

mapfile -t cxx < <(git ls-files --cached --others --exclude-standard -- '*.cpp' '*.hpp' '*.h' '*.cc')

echo "clang-format: ${#cxx[@]} files"
"$CLANG_FORMAT" --dry-run --Werror "${cxx[@]}" || status=1

for tree in build/native build/python; do
  [ -f "$tree/compile_commands.json" ] || { echo "lint: no $tree/compile_commands.json: run make build" >&2; exit 2; }
done
fuzz/run.sh --configure
mkdir -p build/lint
# One entry per source file, the first tree that compiles it winning; only our own sources.
"$PY" - "$ROOT" build/native build/python build/fuzz >build/lint/compile_commands.json <<'PYTHON'
import json, re, sys
root, trees = sys.argv[1], sys.argv[2:]
ours = re.compile(re.escape(root) + r"/(Library|Bindings|Simulator|bench|fuzz|tests)/")
entries = {}
for tree in trees:
    for entry in json.load(open(f"{tree}/compile_commands.json")):
        if ours.match(entry["file"]):
            entries.setdefault(entry["file"], entry)
json.dump(sorted(entries.values(), key=lambda e: e["file"]), sys.stdout, indent=1)
PYTHON
# Every C++ source file must have a compile command, or clang-tidy would skip it unseen.
mapfile -t units < <(printf '%s\n' "${cxx[@]}" | grep -E '\.(cpp|cc)$' | grep -v '^tests/packaging/consumer/')
missing=$("$PY" -c 'import json, sys
known = {e["file"] for e in json.load(open("build/lint/compile_commands.json"))}
print("\n".join(f for f in sys.argv[2:] if sys.argv[1] + "/" + f not in known))' "$ROOT" "${units[@]}")
if [ -n "$missing" ]; then
  echo "lint: no compile command for (not built by build/native, build/python or build/fuzz):" >&2
  echo "$missing" >&2
  status=1
fi
echo "clang-tidy: ${#units[@]} units"
"$RUN_CLANG_TIDY" -p build/lint -j "${LINT_JOBS:-2}" -quiet \
  -header-filter="^$ROOT/$OURS/" "^$ROOT/$OURS/" >build/lint/clang-tidy.log 2>&1 || {
  grep -E '(warning|error):' build/lint/clang-tidy.log | sed 's/\x1b\[[0-9;]*m//g' | sort -u >&2
  echo "clang-tidy: findings above (full output: build/lint/clang-tidy.log)" >&2
  status=1
}

echo "messages: generated files match Library/messages/"
"$PY" tools/messages.py --check || status=1

echo "ruff: check and format"
"$ROOT/.venv/bin/ruff" check --quiet || status=1
"$ROOT/.venv/bin/ruff" format --check --quiet || status=1

# The package as installed (with its native module's stub), from outside the tree so that the
# installed copy is the one checked.
echo "mypy: --strict -p tamro"
(cd build/lint && "$PY" -m mypy --strict --cache-dir mypy-cache -p tamro) || status=1

[ $status -eq 0 ] && echo "lint: clean"
exit $status
