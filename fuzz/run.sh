#!/usr/bin/env bash
# Builds the libFuzzer targets of the Python-free core (ASan + UBSan), checks
# the number formatting on CPython's float table, and runs each target for a
# fixed time from its own hand-made seeds in fuzz/seeds/<name>/ (the JSON
# reader also starts from the JSON conformance suites in tests/data).
#
#   fuzz/run.sh            # 30 seconds per target (what CI runs)
#   fuzz/run.sh 600        # or FUZZ_SECONDS=600 fuzz/run.sh
#   FUZZ_JOBS=8 fuzz/run.sh 3600   # longer, on several cores
#   FUZZ_TARGETS="fuzz_json_reader fuzz_text" fuzz/run.sh 600   # some targets only
#
# Targets: fuzz_json_reader (JSON reader and evolution-reply extraction),
# fuzz_text (trim, fold, unwrap, reply cleaning, JSON unfencing),
# fuzz_keywords (keyword automaton), fuzz_number (float repr, ".3f",
# integers), fuzz_verdict (the judge's verdict line).
#
# For hours, run one target by hand after a first run.sh has built it, all
# cores busy, `nice` so the machine stays usable, the log kept:
#
#   nice -n 19 build/fuzz/fuzz/fuzz_text -max_total_time=14400 -jobs=4 -workers=4 \
#     -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/fuzz_text- \
#     build/fuzz/corpus/fuzz_text fuzz/seeds/text
#
# (add -dict=fuzz/fuzz_keywords.dict for fuzz_keywords, -max_len=64 for
# fuzz_number). The corpus directory grows across runs; to replay a finding,
# run the binary on the file alone: build/fuzz/fuzz/fuzz_text <file>.
#
# The seeds alone also run in the test suite under any compiler:
# tests/test_fuzz_replay.py builds every target with -DQUORVANE_FUZZ_REPLAY=ON
# (fuzz/replay_main.cpp as its main()) and runs it over fuzz/seeds/<name>/.
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

# The seed directories of each target: its own, plus conformance suites for
# the JSON reader.
seeds_of() {
  echo "fuzz/seeds/${1#fuzz_}"
  if [ "$1" = fuzz_json_reader ]; then
    echo tests/data/json-test-suite/test_parsing
  fi
}
targets=${FUZZ_TARGETS:-fuzz_json_reader fuzz_text fuzz_keywords fuzz_number fuzz_verdict}

cmake -S . -B "$dir" -G Ninja -DQUORVANE_FUZZ=ON -DQUORVANE_WERROR=ON \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir"

mkdir -p "$dir/artifacts"
failed=()
if ! "$dir/fuzz/number_table_check" tests/data/cpython-float/repr-cases.tsv; then
  failed+=(number_table_check)
fi
# shellcheck disable=SC2086  # a list of names
for target in $targets; do
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
  mapfile -t seeds < <(seeds_of "$target")
  if ! "$dir/fuzz/$target" "${args[@]}" "$corpus" "${seeds[@]}"; then
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found problems in: ${failed[*]} (inputs in $dir/artifacts/)" >&2
  exit 1
fi
echo "fuzzing: no findings"
