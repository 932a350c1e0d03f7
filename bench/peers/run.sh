#!/usr/bin/env bash
# Builds the comparison benchmark (Release) and prints how the library fares
# against its peers, each figure marked PASS or MISS against the project's target.
#
#   bench/peers/run.sh              # one run
#   bench/peers/run.sh --runs 5     # five runs, the median of every figure
#
# Options:
#   --runs N         run the benchmark N times and report the median of each figure
#                    (default 1); 5 is the usual choice for numbers worth writing down
#   --build-dir DIR  where to build (default: build-peers in the source tree)
#   --keep DIR       keep the JSON output of every run in DIR
#   --timeout S      give up on a run that takes longer than S seconds (default 300);
#                    the summary then comes from the runs that finished
#   -- ARGS...       pass ARGS on to peers_bench (e.g. --benchmark_filter=base64)
#
# A figure is zavrin's throughput divided by the peer's on the same bytes (above 1:
# the library is faster), except where the line says it is a time ratio or a
# latency. Needs cmake, a C++ compiler and python3; the machine should be quiet,
# since every figure comes from wall-clock time.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(cd "$here/../.." && pwd)"
runs=1
build_dir="$source_dir/build-peers"
keep=""
timeout_s=300
bench_args=()

usage() {
  sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed '$d' | sed 's/^# \{0,1\}//'
}

while [[ $# -gt 0 ]]; do
  case "$1" in
    --runs)
      runs="${2:?--runs needs a number}"
      shift 2
      ;;
    --runs=*)
      runs="${1#--runs=}"
      shift
      ;;
    --build-dir)
      build_dir="${2:?--build-dir needs a directory}"
      shift 2
      ;;
    --keep)
      keep="${2:?--keep needs a directory}"
      shift 2
      ;;
    --timeout)
      timeout_s="${2:?--timeout needs a number of seconds}"
      shift 2
      ;;
    -h | --help)
      usage
      exit 0
      ;;
    --)
      shift
      bench_args=("$@")
      break
      ;;
    *)
      echo "run.sh: unknown option '$1' (try --help)" >&2
      exit 2
      ;;
  esac
done
if ! [[ "$runs" =~ ^[1-9][0-9]*$ ]]; then
  echo "run.sh: --runs needs a positive whole number, not '$runs'" >&2
  exit 2
fi

generator=()
if [[ ! -f "$build_dir/CMakeCache.txt" ]] && command -v ninja > /dev/null; then
  generator=(-G Ninja)
fi
echo "== building peers_bench (Release) in $build_dir" >&2
cmake -S "$source_dir" -B "$build_dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DZAVRIN_BUILD_BENCH=ON -DZAVRIN_BUILD_TESTS=OFF -DZAVRIN_BUILD_TOOLS=OFF > /dev/null
cmake --build "$build_dir" --target peers_bench -j2 > /dev/null

out_dir="${keep:-$(mktemp -d)}"
mkdir -p "$out_dir"
[[ -n "$keep" ]] || trap 'rm -rf "$out_dir"' EXIT

results=()
for ((i = 1; i <= runs; i++)); do
  echo "== run $i of $runs (load: $(cut -d' ' -f1-3 /proc/loadavg))" >&2
  json="$out_dir/run-$i.json"
  if timeout "$timeout_s" "$build_dir/bench/peers_bench" --benchmark_out="$json" \
    --benchmark_out_format=json "${bench_args[@]}" > "$out_dir/run-$i.txt" 2>&1; then
    results+=("$json")
  else
    echo "== run $i did not finish (status $?; last finished: $(tail -n 1 "$out_dir/run-$i.txt" | cut -d" " -f1))" >&2
  fi
done
if [[ ${#results[@]} -eq 0 ]]; then
  echo "run.sh: no run finished" >&2
  exit 1
fi

python3 "$here/ratios.py" "${results[@]}"
