#!/usr/bin/env bash
# The agent's event loops against the floor of this machine, in one run: zvcp
# bench against echo_floor (one thread, epoll, framing and answering only) and
# against zvcp agent, side by side, then against redis-server with
# redis-benchmark at the same connection counts. Everything stays on loopback;
# every run is bounded in requests and seconds.
#
#   bench/loop/run.sh               # the whole comparison
#   bench/loop/run.sh --no-redis    # without the redis-server comparison
#
# Options:
#   --build-dir DIR  where to build (default: build-loop in the source tree)
#   --counts "N..."  connection counts of the simultaneous-echo rounds
#                    (default "1000 10000 15000")
#   --no-redis       skip the comparison with redis-server
#
# Prints, for each count, plain and encrypted: p99 latency of one echo request
# sent by every connection at the same moment, agent and floor, and their ratio
# (aim: at most 1.5); the time to open the connections; then the agent's resident
# memory per idle connection at the largest count (aim: at most 16 KiB) and its
# threads; 64 connections pipelining 64-byte echoes as a ratio to the floor (aim:
# at least 0.5 plain), and encrypted with 10,000 sessions as a ratio to 64 (aim: at
# least 0.8); and requests per second of zvcp bench against the agent
# beside redis-benchmark PING against redis-server. redis-server and
# redis-benchmark come from Debian's packages, installed here when missing (root).
# Needs cmake and a C++ compiler; the machine should be quiet.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(cd "$here/../.." && pwd)"
build_dir="$source_dir/build-loop"
counts="1000 10000 15000"
redis=1

usage() {
  sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed '$d' | sed 's/^# \{0,1\}//'
}

while [[ $# -gt 0 ]]; do
  case "$1" in
    --build-dir)
      build_dir="${2:?--build-dir needs a directory}"
      shift 2
      ;;
    --counts)
      counts="${2:?--counts needs numbers}"
      shift 2
      ;;
    --no-redis)
      redis=0
      shift
      ;;
    -h | --help)
      usage
      exit 0
      ;;
    *)
      echo "run.sh: unknown option '$1' (try --help)" >&2
      exit 2
      ;;
  esac
done

echo "== building zvcp and echo_floor (Release) in $build_dir" >&2
cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DZAVRIN_BUILD_BENCH=ON \
  -DZAVRIN_BUILD_TESTS=OFF -DZAVRIN_BUILD_TOOLS=ON > /dev/null
cmake --build "$build_dir" --target zvcp echo_floor -j2 > /dev/null
zvcp="$build_dir/tools/zvcp/zvcp"
floor="$build_dir/bench/echo_floor"

ulimit -n "$(ulimit -Hn)"
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null || true; done
  wait 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# start NAME COMMAND...: runs a server that prints "listening on HOST:PORT" and
# sets the variable NAME_port and NAME_pid.
start() {
  local name=$1
  shift
  "$@" > "$work/$name.out" 2>&1 &
  local pid=$!
  pids+=("$pid")
  for _ in $(seq 100); do grep -q '^listening' "$work/$name.out" && break; sleep 0.05; done
  local port
  port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$work/$name.out")
  [[ -n "$port" ]] || { cat "$work/$name.out" >&2; exit 1; }
  printf -v "${name}_port" '%s' "$port"
  printf -v "${name}_pid" '%s' "$pid"
}

# bench PORT ARGS...: runs zvcp bench; its output in $work/bench.out.
bench() {
  local port=$1
  shift
  "$zvcp" bench --to "127.0.0.1:$port" --seconds 120 "$@" > "$work/bench.out" 2>&1 || true
  grep -q '^errors: 0 ' "$work/bench.out" || sed 's/^/   | /' "$work/bench.out" >&2
}
field() {  # field NAME: a figure of the last bench output
  case "$1" in
    p50) sed -n 's/^latency ms: p50 \([0-9.]*\).*/\1/p' "$work/bench.out" ;;
    p99) sed -n 's/^latency ms: .* p99 \([0-9.]*\).*/\1/p' "$work/bench.out" ;;
    rps) sed -n 's/^requests: .*, \([0-9]*\) requests\/s$/\1/p' "$work/bench.out" ;;
    open) sed -n 's/^peers held: .* opened in \([0-9.]*\) s$/\1/p' "$work/bench.out" ;;
    held) sed -n 's/^peers held: \([0-9]*\) of.*/\1/p' "$work/bench.out" ;;
  esac
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
rss_kib() { sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB$/\1/p' "/proc/$1/status"; }
threads_of() { sed -n 's/^Threads:[[:space:]]*\([0-9]*\)$/\1/p' "/proc/$1/status"; }

start floor "$floor" 127.0.0.1 0
start agent "$zvcp" agent --listen 127.0.0.1:0
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), descriptor limit $(ulimit -n)"
echo "agent: $(sed -n 2p "$work/agent.out")"
echo
echo "== every connection sends one 64-byte echo request at the same moment"
printf '%-7s %-9s | %9s %9s %6s | %8s %8s | %8s %8s\n' connections mode "agent p99" "floor p99" ratio \
  "agent rps" "floor rps" "agent open" "floor open"
agent_max_threads=0
for count in $counts; do
  for mode in plain encrypted; do
    extra=()
    [[ $mode == encrypted ]] && extra=(--encrypt)
    bench "$agent_port" --connections "$count" --requests 1 "${extra[@]}"
    a99=$(field p99) arps=$(field rps) aopen=$(field open)
    t=$(threads_of "$agent_pid")
    ((t > agent_max_threads)) && agent_max_threads=$t
    bench "$floor_port" --connections "$count" --requests 1 "${extra[@]}"
    f99=$(field p99) frps=$(field rps) fopen=$(field open)
    printf '%-11s %-9s | %7s ms %7s ms %6s | %9s %9s | %8s s %8s s\n' "$count" "$mode" "$a99" "$f99" \
      "$(ratio "$a99" "$f99")" "$arps" "$frps" "$aopen" "$fopen"
  done
done

largest=${counts##* }
echo
echo "== a fresh agent holding $largest idle connections"
start idle "$zvcp" agent --listen 127.0.0.1:0
before=$(rss_kib "$idle_pid")
"$zvcp" bench --to "127.0.0.1:$idle_port" --connections "$largest" --requests 1 --hold 4 \
  --seconds 120 > "$work/hold.out" 2>&1 &
holder=$!
for _ in $(seq 1200); do grep -q '^holding' "$work/hold.out" && break; sleep 0.1; done
sleep 1
during=$(rss_kib "$idle_pid")
held_threads=$(threads_of "$idle_pid")
wait "$holder" || true
echo "resident memory: $before KiB before, $during KiB holding $largest:" \
  "$(awk -v a="$during" -v b="$before" -v n="$largest" 'BEGIN { printf "%.1f", (a - b) * 1024 / n / 1024 }') KiB per connection"
echo "agent threads: $held_threads holding them, at most $agent_max_threads in the rounds above"

echo
echo "== 64 connections pipelining 64-byte echoes (64 in flight each)"
for mode in plain encrypted; do
  extra=()
  [[ $mode == encrypted ]] && extra=(--encrypt)
  bench "$agent_port" --connections 64 --pipeline 64 --requests 4000 "${extra[@]}"
  arps=$(field rps)
  bench "$floor_port" --connections 64 --pipeline 64 --requests 4000 "${extra[@]}"
  frps=$(field rps)
  echo "$mode: agent $arps requests/s, floor $frps requests/s, ratio $(ratio "$arps" "$frps")"
  [[ $mode == encrypted ]] && few=$arps
done
# The same encrypted load spread over many sessions: one cipher state per session
# must cost no more than one per thread.
bench "$agent_port" --connections 10000 --pipeline 4 --requests 40 --encrypt
echo "encrypted, 10000 sessions (4 in flight each): agent $(field rps) requests/s," \
  "$(ratio "$(field rps)" "$few") of the rate with 64"

[[ $redis == 1 ]] || exit 0
echo
echo "== zvcp bench against zvcp agent beside redis-benchmark PING against redis-server"
if ! command -v redis-server > /dev/null || ! command -v redis-benchmark > /dev/null; then
  echo "installing redis-server and redis-tools (Debian)" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq > /dev/null && apt-get install -y -qq redis-server redis-tools > /dev/null
fi
redis_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
redis-server --port "$redis_port" --bind 127.0.0.1 --save '' --appendonly no --maxclients 19000 \
  --daemonize no > "$work/redis.out" 2>&1 &
pids+=("$!")
for _ in $(seq 100); do redis-cli -p "$redis_port" ping > /dev/null 2>&1 && break; sleep 0.05; done
total=100000
for count in 5000 15000; do
  bench "$agent_port" --connections "$count" --requests $((total / count))
  zrps=$(field rps) z50=$(field p50)
  line=$(redis-benchmark -h 127.0.0.1 -p "$redis_port" -c "$count" -n "$total" -t ping --csv 2> /dev/null |
    grep PING_MBULK || true)
  rrps=$(cut -d, -f2 <<< "$line" | tr -d '"')
  r50=$(cut -d, -f5 <<< "$line" | tr -d '"')
  echo "$count connections: zvcp $zrps requests/s (p50 $z50 ms), redis $rrps requests/s" \
    "(p50 $r50 ms), ratio $(ratio "$zrps" "$rrps")"
done
