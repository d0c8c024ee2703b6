#!/usr/bin/env bash
# Builds the libFuzzer targets of the Python-free core (ASan + UBSan), checks
# the number formatting on CPython's float table, and runs each target for a
# fixed time from its own seeds: the JSON conformance suite for the text
# targets, fuzz/seeds/<name> for the number formatting and the verdict.
#
#   fuzz/run.sh            # 30 seconds per target
#   fuzz/run.sh 600        # or FUZZ_SECONDS=600 fuzz/run.sh
#   FUZZ_JOBS=8 fuzz/run.sh 3600   # longer, on several cores
#
# Needs clang++-14 and its fuzzer runtime (Debian: clang-14 libclang-rt-14-dev
# llvm-14); installs nothing. Exits non-zero if any target reports a finding;
# the input that triggered it is kept in build/fuzz/artifacts/. New corpus
# entries accumulate in build/fuzz/corpus/<target>/ across runs.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-${FUZZ_SECONDS:-30}}
jobs=${FUZZ_JOBS:-1}
cxx=${FUZZ_CXX:-clang++-14}
dir=build/fuzz

# The seed directory of each target.
seeds_of() {
  case $1 in
    fuzz_number) echo fuzz/seeds/number ;;
    fuzz_verdict) echo fuzz/seeds/verdict ;;
    *) echo tests/data/json-test-suite/test_parsing ;;
  esac
}

cmake -S . -B "$dir" -G Ninja -DQUORVANE_FUZZ=ON -DQUORVANE_WERROR=ON \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir"

mkdir -p "$dir/artifacts"
failed=()
if ! "$dir/fuzz/number_table_check" tests/data/cpython-float/repr-cases.tsv; then
  failed+=(number_table_check)
fi
for target in fuzz_json_reader fuzz_text fuzz_keywords fuzz_number fuzz_verdict; do
  corpus=$dir/corpus/$target
  mkdir -p "$corpus"
  echo "== $target: ${seconds}s"
  max_len=16384
  if [ "$target" = fuzz_number ]; then
    max_len=64  # a few doubles and a decimal text; longer inputs only run slower
  fi
  args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$max_len"
        -artifact_prefix="$dir/artifacts/$target-" -print_final_stats=1)
  if [ -f "fuzz/$target.dict" ]; then
    args+=(-dict="fuzz/$target.dict")
  fi
  if [ "$jobs" -gt 1 ]; then
    args+=(-fork="$jobs" -ignore_crashes=0)
  fi
  if ! "$dir/fuzz/$target" "${args[@]}" "$corpus" "$(seeds_of "$target")"; then
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found problems in: ${failed[*]} (inputs in $dir/artifacts/)" >&2
  exit 1
fi
echo "fuzzing: no findings"
