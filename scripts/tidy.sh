#!/usr/bin/env bash
# Runs clang-tidy with the project's .clang-tidy over every source file of the
# product (not the tests), from a compile database that clang configures in
# build-tidy (g++'s own flags would not parse). Exits non-zero on any finding.
#   scripts/tidy.sh [-j JOBS] [FILE-REGEX]
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
if [ "${1:-}" = "-j" ]; then jobs=$2; shift 2; fi
# The code Qt's moc generates (*_autogen/) is not ours to tidy.
filter=${1:-'^(?!.*_autogen/).*/(framework|VyHID|VyHIDpkg|bridge|descriptor|tools|examples|integrations)/'}

scripts/setup.sh --all
cmake -S . -B build-tidy -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DVYHID_BUILD_BENCH=OFF -DVYHID_BUILD_TESTS=OFF >/dev/null
# Generated headers must exist before they are parsed.
cmake --build build-tidy --target VyHIDpkg hid_descriptor -j"$jobs" >/dev/null
run-clang-tidy -quiet -j "$jobs" -p build-tidy "$filter" 2>&1 |
  grep -vE '^(Running|[0-9]+ warnings? generated|Suppressed [0-9]+ warnings)' |
  tee build-tidy/findings.txt
! grep -qE '(warning|error):' build-tidy/findings.txt
