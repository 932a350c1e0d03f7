#!/usr/bin/env bash
# The zvcp tool from the outside: an agent and sends on an ephemeral port (plain
# and encrypted, the SHA-1 compared at both ends), the load generator against it
# (plain, encrypted, pipelined), an agent on IPv6, decode of encode giving the
# same bytes, a name with "../" kept inside the store, and the documented exit
# statuses and messages for bad input. Usage: zvcp_test.sh PATH-TO-ZVCP
set -uo pipefail
zvcp=$1
work=$(mktemp -d)
agent=
agent2=
agent6=
cleanup() {
  [ -n "$agent" ] && kill "$agent" 2>/dev/null
  [ -n "$agent2" ] && kill "$agent2" 2>/dev/null
  [ -n "$agent6" ] && kill "$agent6" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# expect STATUS PATTERN COMMAND...: the command exits with STATUS and its output
# (both streams) matches the extended regular expression PATTERN.
expect() {
  local status=$1 pattern=$2
  shift 2
  local out rc
  out=$(timeout 60 "$@" 2>&1)
  rc=$?
  [ "$rc" -eq "$status" ] || fail "$* exited with $rc, not $status: $out"
  grep -Eq -- "$pattern" <<<"$out" || fail "$* printed '$out', not /$pattern/"
}

mkdir "$work/store" "$work/elsewhere"
"$zvcp" agent --listen 127.0.0.1:0 --store "$work/store" >"$work/agent.out" 2>&1 &
agent=$!
for _ in $(seq 100); do grep -q listening "$work/agent.out" && break; sleep 0.05; done
port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$work/agent.out")
[ -n "$port" ] || { cat "$work/agent.out"; exit 1; }
to=127.0.0.1:$port

head -c 300000 /dev/urandom >"$work/file.bin"
sha=$(sha1sum "$work/file.bin" | cut -d' ' -f1)
expect 0 "^2$" "$zvcp" version "$to"
expect 0 "SHA-1 $sha" "$zvcp" send "$work/file.bin" --to "$to"
cmp -s "$work/file.bin" "$work/store/file.bin" || fail "plain transfer: the stored file differs"
rm -f "$work/store/file.bin"
expect 0 "^[0-9a-f]{64}  $work/key.bin$" "$zvcp" keygen "$work/key.bin" --bits 1024
expect 0 "SHA-1 $sha" "$zvcp" send "$work/file.bin" --to "$to" --encrypt --key "$work/key.bin"
cmp -s "$work/file.bin" "$work/store/file.bin" || fail "encrypted transfer: the stored file differs"
expect 0 "SHA-1" "$zvcp" send "$work/file.bin" --to "$to" --encrypt --name ../elsewhere/escaped.bin
[ -f "$work/store/escaped.bin" ] || fail "a name with ../ did not land in the store"
[ ! -e "$work/elsewhere/escaped.bin" ] || fail "a name with ../ left the store"
for name in .. . /; do
  expect 3 "refused" "$zvcp" send "$work/file.bin" --to "$to" --name "$name"
done

# The load generator: every request answered, plain, encrypted and pipelined.
expect 0 "^errors: 0 " "$zvcp" bench --to "$to" --connections 40 --requests 25
expect 0 "^errors: 0 " "$zvcp" bench --to "$to" --connections 4 --requests 5 --encrypt
expect 0 "^requests: 6400 answered" "$zvcp" bench --to "$to" --connections 2 \
  --requests 3200 --pipeline 64 --size 1000
expect 3 "errors: 1 \(connect 1" "$zvcp" bench --to 127.0.0.1:1

# IPv6, where the loopback has it: an agent on [::] answers on [::1] and on 127.0.0.1.
if [ -e /proc/net/if_inet6 ] && grep -q ' lo$' /proc/net/if_inet6; then
  "$zvcp" agent --listen "[::]:0" --store "$work/store" >"$work/agent6.out" 2>&1 &
  agent6=$!
  for _ in $(seq 100); do grep -q listening "$work/agent6.out" && break; sleep 0.05; done
  port6=$(sed -n 's/^listening on \[::\]:\([0-9]*\)$/\1/p' "$work/agent6.out")
  [ -n "$port6" ] || fail "no IPv6 agent: $(cat "$work/agent6.out")"
  expect 0 "^2$" "$zvcp" version "[::1]:$port6"
  expect 0 "^2$" "$zvcp" version "127.0.0.1:$port6"
  expect 0 "SHA-1 $sha" "$zvcp" send "$work/file.bin" --to "[::1]:$port6" --encrypt --key "$work/key.bin"
  expect 0 "errors: 0 " "$zvcp" bench --to "[::1]:$port6" --connections 8 --requests 4
fi

# An agent of the authenticated cipher that knows one key: the fingerprint that
# keygen prints is the SHA-256 of the DER public key at the start of the key file.
fingerprint=$("$zvcp" keygen "$work/known.bin" --bits 1024 | cut -d' ' -f1)
expected=$(python3 -c '
import hashlib, sys
b = open(sys.argv[1], "rb").read()[4:]
n = b[1] if b[1] < 0x80 else int.from_bytes(b[2:2 + (b[1] & 0x7f)], "big") + (b[1] & 0x7f)
print(hashlib.sha256(b[:2 + n]).hexdigest())' "$work/known.bin")
[ "$fingerprint" = "$expected" ] || fail "keygen printed $fingerprint, the key's SHA-256 is $expected"
printf '# the only client\n%s  known.bin\n' "$fingerprint" >"$work/allowed.keys"
"$zvcp" agent --listen 127.0.0.1:0 --store "$work/store" --ciphers 0x1F \
  --allow-keys "$work/allowed.keys" >"$work/agent2.out" 2>&1 &
agent2=$!
for _ in $(seq 100); do grep -q listening "$work/agent2.out" && break; sleep 0.05; done
to2=127.0.0.1:$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$work/agent2.out")
expect 0 "SHA-1 $sha" "$zvcp" --key-log "$work/keys.txt" send "$work/file.bin" --to "$to2" --encrypt \
  --key "$work/known.bin"
grep -q " 4 [0-9a-f]* [0-9a-f]* AES-256-GCM$" "$work/keys.txt" || fail "no authenticated session logged: $(cat "$work/keys.txt")"
expect 3 "result 45" "$zvcp" send "$work/file.bin" --to "$to2" --encrypt --key "$work/key.bin"
kill "$agent2" 2>/dev/null
expect 2 "cannot read the key list" "$zvcp" agent --listen 127.0.0.1:0 --allow-keys "$work/file.bin"
expect 1 "bad cipher mask" "$zvcp" agent --listen 127.0.0.1:0 --ciphers 0x20

# decode(encode(x)) gives the same bytes, in both protocol versions.
cat >"$work/message.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<zvcp version="2">
   <message code="29" id="7">
      <variable id="1" type="int32"><value>42</value></variable>
      <variable id="2" type="string"><value>text &amp; more</value></variable>
      <variable id="3" type="int64"><value>1234567890123</value></variable>
      <variable id="4" type="int16"><value>7</value></variable>
      <variable id="5" type="binary"><value>AAECAwQ=</value></variable>
   </message>
</zvcp>
XML
for version in 1 2; do
  "$zvcp" encode --version "$version" "$work/message.xml" >"$work/m$version.bin" || fail "encode v$version"
  "$zvcp" decode --version "$version" "$work/m$version.bin" >"$work/m$version.xml" || fail "decode v$version"
  "$zvcp" encode "$work/m$version.xml" >"$work/again$version.bin" || fail "encode again v$version"
  cmp -s "$work/m$version.bin" "$work/again$version.bin" || fail "decode of encode changed the bytes (v$version)"
done
cmp -s "$work/m1.bin" "$work/m2.bin" && fail "versions 1 and 2 gave the same bytes"

# Bad input: the documented statuses and messages.
printf 'short' >"$work/short.bin"
expect 1 "usage: zvcp" "$zvcp"
expect 1 "unknown command" "$zvcp" frobnicate
expect 1 "usage: zvcp send" "$zvcp" send "$work/file.bin"
for address in host:notaport "[::1" "[::1]x" "[::1]:" host: "[]:1"; do
  expect 1 "bad address" "$zvcp" send "$work/file.bin" --to "$address"
done
expect 1 "usage: zvcp bench" "$zvcp" bench --to "$to" --connections 0
expect 1 "usage: zvcp code" "$zvcp" code 70000
expect 2 "cannot read" "$zvcp" send "$work/missing" --to "$to"
expect 2 "cannot read" "$zvcp" sha1 "$work/missing"
expect 2 "not one whole message" "$zvcp" decode "$work/short.bin"
expect 2 "not the XML form" "$zvcp" encode "$work/short.bin"
expect 3 "cannot connect" "$zvcp" version 127.0.0.1:1
expect 0 "^CMD_SESSION_KEY$" "$zvcp" code 132
expect 0 "^[0-9a-f]{8}-[0-9a-f]{4}-1[0-9a-f]{3}-" "$zvcp" uuid
expect 0 "zvcp [0-9]" "$zvcp" --version
for command in demo agent bench send version keygen decode encode codes code ping uuid crc32; do
  expect 0 "usage: zvcp $command" "$zvcp" "$command" --help
done

[ "$failures" -eq 0 ] && echo "all zvcp checks passed"
exit $((failures > 0))
