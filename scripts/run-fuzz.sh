#!/usr/bin/env bash
# Bounded fuzz runs: builds every libFuzzer target (every CMake target named fuzz_*) with clang, ASan and
# UBSan into build-fuzz/, then runs each one for a fixed time. Exits non-zero if any target finds a crash,
# a leak, undefined behaviour or a time-out.
#
#   scripts/run-fuzz.sh                  every target, 60 s each
#   scripts/run-fuzz.sh --seconds 600    longer runs
#   scripts/run-fuzz.sh --only NAME      one target
#   extra arguments after -- go to every libFuzzer run (for example: -- -jobs=2)
#
# Per target NAME, found by convention wherever the target lives under fuzz/:
#   fuzz/*/seeds/NAME/   seed inputs (read, never written)
#   fuzz/*/NAME.dict     a libFuzzer dictionary
# The corpus grows in build-fuzz/corpus/NAME/ (kept between runs), crash inputs are written to
# build-fuzz/artifacts/NAME/ and the run's output to build-fuzz/logs/NAME.log.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

seconds=60
only=""
extra=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift ;;
    --only) only=$2; shift ;;
    --) shift; extra=("$@"); break ;;
    -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

scripts/install-deps.sh >/dev/null
dir=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBUILD_FUZZERS=ON -DENABLE_SANITIZERS=ON -DBUILD_VIEWER=ON >/dev/null

# Every target named fuzz_*, whichever area declares it.
mapfile -t targets < <(cmake --build "$dir" --target help | sed -n 's/^\(fuzz_[A-Za-z0-9_]*\):.*/\1/p' | sort -u)
if [ -n "$only" ]; then
  targets=("$only")
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "run-fuzz: no fuzz targets"
  exit 0
fi
cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
for name in "${targets[@]}"; do
  exe=$(find "$dir" -path "$dir/CMakeFiles" -prune -o -type f -executable -name "$name" -print | head -n 1)
  if [ -z "$exe" ]; then
    echo "run-fuzz: $name was not built" >&2
    failed+=("$name")
    continue
  fi
  corpus="$dir/corpus/$name"
  artifacts="$dir/artifacts/$name"
  log="$dir/logs/$name.log"
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
  args=(-max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="$artifacts/")
  for d in fuzz/*/"$name".dict; do
    [ -f "$d" ] && args+=(-dict="$d")
  done
  seeds=()
  for d in fuzz/*/seeds/"$name"; do
    [ -d "$d" ] && seeds+=("$d")
  done
  echo "=== $name: ${seconds} s (corpus $corpus${seeds:+, seeds ${seeds[*]}})"
  if "$exe" "${args[@]}" "${extra[@]}" "$corpus" "${seeds[@]}" >"$log" 2>&1; then
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE)' "$log" || true
    echo "=== $name: ok ($(find "$corpus" -type f | wc -l) corpus files)"
  else
    tail -n 60 "$log"
    echo "=== $name: FAILED (log $log, inputs in $artifacts)"
    failed+=("$name")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "run-fuzz: failed: ${failed[*]}"
  exit 1
fi
echo "run-fuzz: all ${#targets[@]} targets ran ${seconds} s without a finding"
