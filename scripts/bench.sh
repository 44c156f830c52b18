#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench/) and runs every one of them,
# one after another, writing Google Benchmark JSON to build-bench/results/;
# then prints the table of ratios (scripts/bench_table.py, also saved as
# results/table.md) and draws the send-cost plot (scripts/plot_send.py).
#
# usage: scripts/bench.sh [--vm] [--repetitions N] [--plot FILE]
#   --vm             also measure enumeration on real devices in the test VM
#                    (scripts/bench_vm.py; QEMU, a kernel image and busybox).
#                    The guest's programs are built RelWithDebInfo (-O2, as
#                    Debian builds hidapi) in build-bench-vm/.
#   --repetitions N  runs of each benchmark, reported by their median
#                    (default 3)
#   --plot FILE      where the plot goes (default build-bench/results/send_cost.png;
#                    bench/send_cost.png is the committed one)
# Environment: VYHID_BENCH_JOBS, build jobs (default: the number of processors);
# PYTHON, the interpreter (default: python3, or the system's when only that
# one has matplotlib, Debian package python3-matplotlib).
#
# The figures are meant as ratios within one run: the absolute times depend
# on the machine and on what else runs on it.
set -euo pipefail
cd "$(dirname "$0")/.."

vm=0
repetitions=3
build=build-bench
results=$build/results
plot=$results/send_cost.png
while [ $# -gt 0 ]; do
  case "$1" in
    --vm) vm=1 ;;
    --repetitions) repetitions=$2; shift ;;
    --plot) plot=$2; shift ;;
    *) echo "usage: $0 [--vm] [--repetitions N] [--plot FILE]" >&2; exit 2 ;;
  esac
  shift
done

python=${PYTHON:-python3}
if ! "$python" -c 'import matplotlib' 2>/dev/null && [ -x /usr/bin/python3 ]; then
  python=/usr/bin/python3
fi

programs=()
for source in bench/*.cpp; do
  programs+=("$(basename "$source" .cpp)")
done
jobs=${VYHID_BENCH_JOBS:-$(nproc)}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$jobs" --target "${programs[@]}"
if [ "$vm" = 1 ]; then
  cmake -S . -B build-bench-vm -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVYHID_BUILD_TESTS=ON >/dev/null
  cmake --build build-bench-vm -j"$jobs" --target bench_enumerate vm_uhid_echo hidraw_bridge
fi

mkdir -p "$results"
for program in "${programs[@]}"; do
  echo "== $program"
  "$build/bench/$program" \
    --benchmark_repetitions="$repetitions" \
    --benchmark_report_aggregates_only=true \
    --benchmark_out="$results/$program.json" \
    --benchmark_out_format=json
done

if [ "$vm" = 1 ]; then
  echo "== bench_enumerate (VM)"
  "$python" scripts/bench_vm.py --build build-bench-vm --out "$results/bench_enumerate.json"
  "$python" scripts/plot_scale.py "$results/bench_enumerate.json" "$results/rescan_scale.png"
  echo "plot: $results/rescan_scale.png"
else
  rm -f "$results/bench_enumerate.json"
fi

"$python" scripts/bench_table.py "$results" | tee "$results/table.md"
"$python" scripts/plot_send.py "$results/bench_send.json" "$plot"
echo "plot: $plot"
