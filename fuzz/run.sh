#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan + UBSan) in build/fuzz and runs each for a
# bounded time. Any crash, sanitizer report or failed check stops the run with an error and
# leaves the input under build/fuzz/artifacts/; `build/fuzz/TARGET ARTIFACT` replays it with
# the message of the failed check. The library's report lines (standard error) are not shown
# while fuzzing.
#
#   fuzz/run.sh            every target for FUZZ_SECONDS (default 60) seconds, growing a
#                          working corpus in build/fuzz/corpus/<target> from the committed seeds
#   fuzz/run.sh --smoke    every target for FUZZ_SMOKE_SECONDS (default 5) seconds on a scratch
#                          copy of the committed seeds (CI)
#   fuzz/run.sh TARGET...  only these targets
#   fuzz/run.sh --configure  only configure build/fuzz (tools/lint.sh reads its compile commands)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

mode=full
targets=()
for arg in "$@"; do
  case $arg in
    --smoke) mode=smoke ;;
    --configure) mode=configure ;;
    -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
    *) targets+=("$arg") ;;
  esac
done
[ ${#targets[@]} -eq 0 ] && targets=(fuzz_handle_receive fuzz_velkin3 fuzz_probe)

CXX_FUZZ=${CXX_FUZZ:-$(command -v clang++-14 || command -v clang++)}
CMAKE=${CMAKE:-$ROOT/.venv/bin/cmake}
NINJA=${NINJA:-$ROOT/.venv/bin/ninja}
[ -x "$CMAKE" ] || CMAKE=cmake
BUILD=$ROOT/build/fuzz

generator=()
[ -x "$NINJA" ] && generator=(-G Ninja -DCMAKE_MAKE_PROGRAM="$NINJA")
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  "$CMAKE" -S fuzz -B "$BUILD" "${generator[@]}" -DCMAKE_CXX_COMPILER="$CXX_FUZZ" >/dev/null
elif [ $mode = configure ]; then
  "$CMAKE" -S fuzz -B "$BUILD" >/dev/null
fi
[ $mode = configure ] && exit 0
"$CMAKE" --build "$BUILD" -- "${targets[@]}" >/dev/null

if [ $mode = smoke ]; then
  seconds=${FUZZ_SMOKE_SECONDS:-5}
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
else
  seconds=${FUZZ_SECONDS:-60}
fi
mkdir -p "$BUILD/artifacts" "$BUILD/logs"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

printf '%-22s %10s %8s %8s %10s\n' target executions cov ft corpus
status=0
for target in "${targets[@]}"; do
  seeds=$ROOT/fuzz/corpus/$target
  if [ $mode = smoke ]; then
    corpus=$scratch/$target
    mkdir -p "$corpus"
    cp "$seeds"/* "$corpus"/
  else
    corpus=$BUILD/corpus/$target
    mkdir -p "$corpus"
    cp -n "$seeds"/* "$corpus"/ 2>/dev/null || true
  fi
  log=$BUILD/logs/$target.log
  if ! "$BUILD/$target" "$corpus" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
      -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$target-" >"$log" 2>&1; then
    echo "$target: FAILED (log: $log)" >&2
    grep -E 'ERROR|runtime error|fuzz check failed|Test unit written' "$log" >&2 || tail -20 "$log" >&2
    status=1
    continue
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1)
  cov=$(sed -E 's/.*cov: ([0-9]+).*/\1/' <<<"$done_line")
  ft=$(sed -E 's/.*ft: ([0-9]+).*/\1/' <<<"$done_line")
  units=$(sed -E 's/.*corp: ([0-9]+)\/.*/\1/' <<<"$done_line")
  printf '%-22s %10s %8s %8s %10s\n' "$target" "$runs" "$cov" "$ft" "$units"
done
exit $status
