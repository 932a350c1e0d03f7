#!/usr/bin/env bash
# The Wireshark dissector against real captures: zvcp demo on loopback, captured
# with tcpdump and decoded by tshark with the session key log, compared with what
# the demo sent; a capture cut short and one with garbage between messages are
# marked malformed without a Lua error. Skips (status 77) where tshark or tcpdump
# is missing or the loopback cannot be captured.
# Usage: dissector_test.sh ZVCP DISSECTOR.lua
set -uo pipefail
zvcp=$1
dissector=$2
for tool in tshark tcpdump editcap python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (.ci/install-deps --all installs it)"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# capture FILE COMMAND...: runs the command while tcpdump records loopback TCP,
# then waits for tcpdump to have written every packet it took in. A capture that
# lost packets (a busy machine) is tried again.
capture() {
  local file=$1
  shift
  local attempt
  for attempt in 1 2 3; do
    tcpdump -i lo -U --immediate-mode -B 32768 -w "$file" tcp 2>"$file.log" &
    local dump=$!
    for _ in $(seq 100); do grep -q listening "$file.log" && break; sleep 0.05; done
    grep -q listening "$file.log" || { kill "$dump" 2>/dev/null; return 1; }
    "$@"
    local size=-1
    for _ in $(seq 40); do
      sleep 0.25
      local now
      now=$(stat -c %s "$file")
      [ "$now" = "$size" ] && break
      size=$now
    done
    kill -INT "$dump"
    wait "$dump"
    local captured received
    captured=$(sed -n 's/^\([0-9]*\) packets captured$/\1/p' "$file.log")
    received=$(sed -n 's/^\([0-9]*\) packets received by filter$/\1/p' "$file.log")
    [ -n "$captured" ] && [ "$captured" = "$received" ] && return 0
    echo "capture attempt $attempt lost packets: $(tr '\n' ' ' <"$file.log")"
  done
  return 0
}

decode() {  # decode PCAP [tshark options...]
  local pcap=$1
  shift
  tshark -r "$pcap" -X lua_script:"$dissector" -o "zvcp.keylog_file:$work/keys.txt" "$@" 2>"$work/tshark.err"
  if grep -qi "lua" "$work/tshark.err"; then fail "tshark reported: $(cat "$work/tshark.err")"; fi
}

# keep_demo_connections PCAP OUTPUT: other programs may use the loopback meanwhile;
# keeps only the connections to the agent whose port the demo's OUTPUT names.
keep_demo_connections() {
  local port
  port=$(sed -n 's/^agent listening on .*:\([0-9]*\)$/\1/p' "$2" | tail -n 1)
  if [ -n "$port" ]; then
    tshark -r "$1" -Y "tcp.port==$port" -w "$1.only" 2>/dev/null && mv "$1.only" "$1"
  fi
}

if ! capture "$work/demo.pcap" "$zvcp" --key-log "$work/keys.txt" demo --requests 20 --mib 1 >"$work/demo.out"; then
  echo "SKIP: the loopback interface cannot be captured here: $(cat "$work/demo.pcap.log")"
  exit 77
fi
grep -q "summary:" "$work/demo.out" || fail "the demo did not finish: $(cat "$work/demo.out")"
keep_demo_connections "$work/demo.pcap" "$work/demo.out"

# Every message, one line each: outer code, inner code (decrypted), id, CRC verdict.
decode "$work/demo.pcap" -Y zvcp -T fields -E occurrence=a -e zvcp.code -e zvcp.id \
  -e zvcp.encrypted.crc_ok -e zvcp.flags.end_of_file -e zvcp.var.binary >"$work/fields.txt"
count() { grep -c -E "$1" "$work/fields.txt"; }
# One packet may carry several messages: the fields then come comma-joined.
codes=$(cut -f1 "$work/fields.txt" | tr ',' '\n' | sort -n | uniq -c | awk '{print $2 ":" $1}' | tr '\n' ' ')
# 20 echoes and their answers, the offer, its two answers, and 1 MiB in 32 whole
# chunks and the empty last one that carries the end-of-file flag.
for expected in "182:1" "183:1" "130:1" "132:1" "3:20" "29:22" "106:1" "105:33" "131:76"; do
  [[ " $codes" == *" $expected "* ]] || fail "code:count $expected not among $codes"
done
crc=$(cut -f3 "$work/fields.txt" | tr ',' '\n' | grep -c '^1$')
[ "$crc" -eq 76 ] || fail "$crc of 76 decrypted messages have a correct CRC-32 prefix"
eof=$(cut -f4 "$work/fields.txt" | tr ',' '\n' | grep -c '^1$')
[ "$eof" -eq 1 ] || fail "$eof chunks carry the end-of-file flag, not 1"
# The first echo request (id 2) carries bytes 0, 1, ... 63.
payload=$(python3 -c 'print("".join("%02x" % i for i in range(64)))')
grep -qP "^131,3\t2\t.*\t$payload" "$work/fields.txt" || fail "the first echo payload was not decrypted"
if decode "$work/demo.pcap" -Y "_ws.malformed || zvcp.malformed" | grep -q .; then
  fail "the demo capture has malformed messages"
fi

# Cut short: every packet snapped to 600 bytes.
editcap -s 600 "$work/demo.pcap" "$work/cut.pcap" >/dev/null
decode "$work/cut.pcap" -Y "_ws.malformed || zvcp.malformed || tcp.analysis.flags" >"$work/cut.txt" ||
  fail "tshark failed on the cut capture"
grep -q . "$work/cut.txt" || fail "nothing marked in the cut capture"

# Garbage between two messages, each written on its own.
cat >"$work/garbage.py" <<'PY'
import socket, struct, sys, time
server = socket.socket(); server.bind(("127.0.0.1", 0)); server.listen(1)
port = server.getsockname()[1]
print(port, flush=True)
client = socket.create_connection(("127.0.0.1", port)); peer, _ = server.accept()
caps = struct.pack(">HHIII", 182, 0x20, 16, 0, 0)
for chunk in (caps, b"\x00\x03\x00\x00\x00\x00\x00\x05garbage!garbage!", caps, b"\xff" * 40, caps):
    client.sendall(chunk); time.sleep(0.05)
    peer.recv(100)
client.close(); peer.close()
PY
capture "$work/garbage.pcap" python3 "$work/garbage.py" >"$work/garbage.port"
port=$(grep -E "^[0-9]+$" "$work/garbage.port" | tail -n 1)  # the last attempt's connection
decode "$work/garbage.pcap" -d "tcp.port==$port,zvcp" -Y "zvcp && tcp.port==$port && !tcp.analysis.retransmission" -T fields -e zvcp.code -e _ws.expert.message \
  >"$work/garbage.txt"
[ "$(grep -c '^182' "$work/garbage.txt")" -eq 3 ] || fail "the messages around the garbage: $(cat "$work/garbage.txt")"
grep -qi "malformed\|not a zvcp" "$work/garbage.txt" || fail "the garbage is not marked: $(cat "$work/garbage.txt")"

# The authenticated cipher: every message decrypted with the direction keys and
# its tag verified; a byte changed in the capture is marked.
rm -f "$work/keys.txt"
capture "$work/auth.pcap" "$zvcp" --key-log "$work/keys.txt" demo --authenticated --requests 20 --mib 1 \
  >"$work/auth.out"
grep -q "cipher AES-256-GCM" "$work/auth.out" || fail "the authenticated demo did not finish: $(cat "$work/auth.out")"
keep_demo_connections "$work/auth.pcap" "$work/auth.out"
grep -q " AES-256-GCM$" "$work/keys.txt" || fail "the key log does not name the cipher: $(cat "$work/keys.txt")"
decode "$work/auth.pcap" -Y zvcp -T fields -E occurrence=a -e zvcp.code -e zvcp.encrypted.tag_ok \
  -e zvcp.var.binary >"$work/auth.txt"
tags=$(cut -f2 "$work/auth.txt" | tr ',' '\n' | grep -c '^1$')
[ "$tags" -eq 76 ] || fail "$tags of 76 authenticated messages have a verified tag"
grep -qP "^131,3\t1\t.*$payload" "$work/auth.txt" || fail "the first authenticated echo was not decrypted"
python3 - "$work/auth.pcap" "$work/tampered.pcap" <<'PY'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
# The requester's first sealed message: code 131, no padding, sequence 0.
at = data.find(b"\x00\x83\x00\x00", 0)
while at >= 0 and data[at + 8:at + 16] != bytes(8):
    at = data.find(b"\x00\x83\x00\x00", at + 1)
data[at + 20] ^= 0x01
open(sys.argv[2], "wb").write(data)
PY
decode "$work/tampered.pcap" -Y "zvcp.bad_tag" >"$work/tampered.txt"
[ "$(wc -l <"$work/tampered.txt")" -eq 1 ] || fail "the changed message is not marked once: $(cat "$work/tampered.txt")"

[ "$failures" -eq 0 ] && echo "the dissector passed every check"
exit $((failures > 0))
