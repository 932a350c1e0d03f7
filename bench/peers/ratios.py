#!/usr/bin/env python3
"""Prints the figures the project targets from one or more peers_bench JSON outputs.

Each figure is computed per run and the median over the runs is printed, marked
PASS or MISS against its target (REPORT where there is no target). A pair that is
not in the output (protocol buffers not found, sort benchmark not built) is said
to be missing rather than failed.

    ratios.py run-1.json [run-2.json ...]
"""

import json
import re
import statistics
import sys

TIME_UNITS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
SUFFIX = re.compile(r"/(real_time|manual_time|process_time|iterations:\d+|repeats:\d+|threads:\d+)")


def load(path):
    """Benchmark name (without the run-option suffixes) -> its JSON record."""
    with open(path) as f:
        data = json.load(f)
    runs = {}
    for b in data.get("benchmarks", []):
        if b.get("run_type", "iteration") != "iteration" or b.get("error_occurred"):
            continue
        runs[SUFFIX.sub("", b["name"])] = b
    return runs


def throughput(b):
    for key in ("bytes_per_second", "items_per_second"):
        if key in b:
            return b[key]
    return 1.0 / seconds(b)


def seconds(b):
    return b["real_time"] * TIME_UNITS[b.get("time_unit", "ns")]


def pick(runs, base, peer):
    """The two records of a pair: names base/zavrin[/arg] and base/peer[/arg], largest
    common argument when the benchmark has arguments and none is given in base."""
    if f"{base}/zavrin" in runs and f"{base}/{peer}" in runs:
        return runs[f"{base}/zavrin"], runs[f"{base}/{peer}"]
    root, _, arg = base.rpartition("/")
    if root and f"{root}/zavrin/{arg}" in runs and f"{root}/{peer}/{arg}" in runs:
        return runs[f"{root}/zavrin/{arg}"], runs[f"{root}/{peer}/{arg}"]

    def args(side):
        prefix = f"{base}/{side}/"
        return {n[len(prefix):].split("/")[0] for n in runs if n.startswith(prefix)}

    common = [a for a in args("zavrin") & args(peer) if a.isdigit()]
    if not common:
        return None
    arg = max(common, key=int)
    return runs[f"{base}/zavrin/{arg}"], runs[f"{base}/{peer}/{arg}"]


def speed(base, peer):
    """zavrin's throughput over the peer's."""

    def figure(runs):
        pair = pick(runs, base, peer)
        return None if pair is None else throughput(pair[0]) / throughput(pair[1])

    return figure


def speed_between(name, other):
    """The throughput of one benchmark over another's, both named in full."""

    def figure(runs):
        if name not in runs or other not in runs:
            return None
        return throughput(runs[name]) / throughput(runs[other])

    return figure


def time_ratio(base, peer):
    """zavrin's time over the peer's (below 1: zavrin is faster)."""

    def figure(runs):
        pair = pick(runs, base, peer)
        return None if pair is None else seconds(pair[0]) / seconds(pair[1])

    return figure


def counter(name, key):
    def figure(runs):
        b = runs.get(name)
        return None if b is None or key not in b else b[key]

    return figure


# label, figure, comparison, target, unit; a comparison of None only reports.
CHECKS = [
    ("CRC-32 64 KiB vs zlib", speed("crc32/65536", "zlib"), ">=", 8, "x"),
    ("AES-256 round trip 64 KiB vs EVP", speed("crypt_aes256/65536", "evp"), ">=", 0.90, "x"),
    ("AES-256-GCM round trip 64 KiB vs EVP", speed("crypt_aes256gcm/65536", "evp"), ">=", 0.90,
     "x"),
    ("AES-256-GCM round trip 64 B vs EVP", speed("crypt_aes256gcm/64", "evp"), None, None, "x"),
    ("AES-256-GCM vs AES-256-CBC, 64 KiB", speed("crypt_aes256gcm/65536", "cbc"), None, None,
     "x"),
    ("AES-256-GCM vs AES-256-CBC, 64 B", speed("crypt_aes256gcm/64", "cbc"), None, None, "x"),
    ("AES-256 on 10,000 sessions vs on 64", speed("sessions_aes256", "sixtyfour"), ">=", 0.8,
     "x"),
    ("AES-256 on 10,000 sessions vs a key schedule per message",
     speed("sessions_aes256", "rekey"), None, None, "x"),
    ("recv 1 KiB vs plain recv", speed("recv/1024", "plain"), ">=", 0.80, "x"),
    ("recv 64 KiB vs plain recv", speed("recv/65536", "plain"), ">=", 0.95, "x"),
    ("recv 64 KiB, 30 s time-out, vs plain recv",
     speed_between("recv_timeout/zavrin/65536", "recv/plain/65536"), ">=", 0.95, "x"),
    ("recv 1 KiB, 30 s time-out, vs plain recv",
     speed_between("recv_timeout/zavrin/1024", "recv/plain/1024"), None, None, "x"),
    ("message stream 64 KiB vs plain recv",
     speed_between("recv_stream/zavrin/65536", "recv/plain/65536"), None, None, "x"),
    ("message stream 1 KiB vs plain recv",
     speed_between("recv_stream/zavrin/1024", "recv/plain/1024"), None, None, "x"),
    ("wake-up, 1 waiter, median", counter("wakeup/zavrin/1", "median_us"), "<", 15, "us"),
    ("wake-up, 1 waiter, p99", counter("wakeup/zavrin/1", "p99_us"), None, None, "us"),
    ("wake-up, 8 waiters, median", counter("wakeup/zavrin/8", "median_us"), "<", 25, "us"),
    ("wake-up, 8 waiters, p99", counter("wakeup/zavrin/8", "p99_us"), None, None, "us"),
    ("wake-up, 1 waiter, median, condvar", counter("wakeup/condvar/1", "median_us"), None, None,
     "us"),
    ("wake-up, 8 waiters, median, condvar", counter("wakeup/condvar/8", "median_us"), None, None,
     "us"),
    ("Queue 1+1 vs std queue", speed("queue/1", "std"), ">=", 1, "x"),
    ("Queue 4+4 vs std queue", speed("queue/4", "std"), ">=", 1, "x"),
    ("rwlock read vs pthread", speed("rwlock_read", "pthread"), None, None, "x"),
    ("rwlock write vs pthread", speed("rwlock_write", "pthread"), None, None, "x"),
    ("rwlock 4 readers + 1 writer vs pthread", speed("rwlock_mixed/4", "pthread"), None, None,
     "x"),
    ("QSortEx ints, time vs qsort_r", time_ratio("sort_ints", "qsort_r"), "<", 1, "x time"),
    ("QSortEx ints, time vs std::sort", time_ratio("sort_ints", "std_sort"), "<=", 1.3, "x time"),
    ("QSortEx records, time vs qsort_r", time_ratio("sort_records", "qsort_r"), None, None,
     "x time"),
    ("QSortEx records, time vs std::sort", time_ratio("sort_records", "std_sort"), None, None,
     "x time"),
    ("Base64 encode 64 KiB vs OpenSSL", speed("base64_encode/65536", "openssl"), ">=", 1, "x"),
    ("Base64 decode 64 KiB vs OpenSSL", speed("base64_decode/65536", "openssl"), ">=", 1, "x"),
    ("Base64 encode 64 B vs OpenSSL", speed("base64_encode/64", "openssl"), None, None, "x"),
    ("Base64 decode 64 B vs OpenSSL", speed("base64_decode/64", "openssl"), None, None, "x"),
    ("message build+write+read vs protobuf", speed("message/20", "protobuf"), None, None, "x"),
]

COMPARE = {
    ">=": lambda v, t: v >= t,
    "<=": lambda v, t: v <= t,
    "<": lambda v, t: v < t,
}


def main(paths):
    all_runs = [load(p) for p in paths]
    width = max(len(label) for label, *_ in CHECKS)
    plural = "s" if len(paths) > 1 else ""
    print(f"{'figure':<{width}}  {'median of ' + str(len(paths)) + ' run' + plural:>16}  target")
    missed = 0
    for label, figure, op, target, unit in CHECKS:
        values = [v for v in (figure(runs) for runs in all_runs) if v is not None]
        if not values:
            print(f"{label:<{width}}  {'not measured':>16}  (benchmark not in this build)")
            continue
        value = statistics.median(values)
        shown = f"{value:.2f} {unit}"
        if op is None:
            print(f"{label:<{width}}  {shown:>16}  REPORT")
            continue
        ok = COMPARE[op](value, target)
        missed += not ok
        print(f"{label:<{width}}  {shown:>16}  {op} {target:<5} {'PASS' if ok else 'MISS'}")
    return 1 if missed else 0


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    main(sys.argv[1:])
