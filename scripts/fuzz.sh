#!/usr/bin/env bash
# Builds the fuzzers (fuzz/*_fuzzer.cpp) with clang, libFuzzer, ASan and UBSan
# into build-fuzz, and runs each for a while on a copy of its seed corpus.
#
#   scripts/fuzz.sh [-t SECONDS] [-j JOBS] [-m] [FUZZER...]
#
#   -t SECONDS  run time of each fuzzer (default 60; CI uses a short run)
#   -j JOBS     build jobs (default 2)
#   -m          afterwards, add to fuzz/corpus/NAME the inputs of the run that
#               reach code its seeds do not (libFuzzer's -merge=1)
#   FUZZER      names such as sim_device_text_fuzzer; default: all of them
#
# Seeds are read from fuzz/corpus/NAME (NAME without _fuzzer), written only
# with -m; a dictionary fuzz/NAME.dict is used when present. What a run finds
# (new inputs, crash and timeout reproducers) stays in build-fuzz/runs/NAME;
# a reproducer is replayed with `build-fuzz/fuzz/NAME_fuzzer FILE`. Prints the
# executions of each run and exits non-zero when any fuzzer failed.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
jobs=2
merge=0
while getopts "t:j:mh" opt; do
  case $opt in
    t) seconds=$OPTARG ;;
    j) jobs=$OPTARG ;;
    m) merge=1 ;;
    *) sed -n '2,19p' "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))

if [ $# -gt 0 ]; then
  fuzzers=("$@")
else
  fuzzers=()
  for source in fuzz/*_fuzzer.cpp; do fuzzers+=("$(basename "$source" .cpp)"); done
fi
if [ ${#fuzzers[@]} -eq 0 ]; then
  echo "fuzz.sh: no fuzzers in fuzz/" >&2
  exit 1
fi

build=build-fuzz
cmake -S . -B "$build" -DVYHID_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DVYHID_BUILD_TESTS=OFF -DVYHID_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$jobs" --target "${fuzzers[@]}"

# Reports of the sanitizers go to the run's log; a finding stops the run.
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=0
summary=()
for fuzzer in "${fuzzers[@]}"; do
  name=${fuzzer%_fuzzer}
  run="$build/runs/$name"
  rm -rf "$run"
  mkdir -p "$run/corpus" "$run/artifacts"
  if [ -d "fuzz/corpus/$name" ]; then cp -r "fuzz/corpus/$name/." "$run/corpus/"; fi
  seeds=$(find "$run/corpus" -type f | wc -l)
  args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="$run/artifacts/")
  if [ -f "fuzz/$name.dict" ]; then args+=(-dict="fuzz/$name.dict"); fi

  echo "== $fuzzer: $seconds s, $seeds seeds"
  status=0
  "$build/fuzz/$fuzzer" "${args[@]}" "$run/corpus" >"$run/log" 2>&1 || status=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run/log" | tail -n 1)
  cov=$(grep -o 'cov: [0-9]*' "$run/log" | tail -n 1 | cut -d' ' -f2)
  corpus=$(find "$run/corpus" -type f | wc -l)
  if [ "$status" -eq 0 ]; then
    result=ok
  else
    result="FAILED (exit $status, see $run/log and $run/artifacts)"
    failed=1
    tail -n 30 "$run/log"
  fi
  if [ "$status" -eq 0 ] && [ "$merge" -eq 1 ]; then
    mkdir -p "fuzz/corpus/$name"
    "$build/fuzz/$fuzzer" -merge=1 "fuzz/corpus/$name" "$run/corpus" >"$run/merge.log" 2>&1
    echo "merged into fuzz/corpus/$name: $(find "fuzz/corpus/$name" -type f | wc -l) inputs"
  fi
  line="$fuzzer: ${execs:-?} executions in $seconds s, coverage ${cov:-?}, corpus $seeds -> $corpus, $result"
  echo "$line"
  summary+=("$line")
done

echo
echo "== summary"
printf '%s\n' "${summary[@]}"
exit $failed
