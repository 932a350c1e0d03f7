#!/usr/bin/env bash
# Builds the fuzzers (preset fuzz, clang) and runs each for the given number of
# seconds (default 20) on its seed corpus plus what earlier runs found, kept in
# build-fuzz/corpus-<name>. Names given after the time pick harnesses by name:
#   bash fuzz/run.sh 300 wire_reader_fuzzer xml_reader_fuzzer
# A harness that finds a fault stops and leaves the input as crash-* in the
# current directory; its log is printed and the script fails.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
shift || true
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
status=0
for fuzzer in build-fuzz/fuzz/*_fuzzer; do
  [ -x "$fuzzer" ] || continue
  name=$(basename "$fuzzer")
  if [ $# -gt 0 ] && [[ " $* " != *" $name "* ]]; then continue; fi
  corpus=fuzz/corpus/$name
  mkdir -p "build-fuzz/corpus-$name"
  seeds=()
  [ -d "$corpus" ] && seeds=("$corpus")
  echo "-- $name"
  if ! "$fuzzer" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 \
    "build-fuzz/corpus-$name" "${seeds[@]}" >"build-fuzz/$name.log" 2>&1; then
    status=1
    tail -n 40 "build-fuzz/$name.log"
  fi
  grep -E '^#[0-9]+ +DONE|stat::number_of_executed_units' "build-fuzz/$name.log" | tail -n 2 || true
done
exit $status
