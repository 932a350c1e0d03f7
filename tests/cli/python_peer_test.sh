#!/usr/bin/env bash
# The Python client of examples/python_peer.py, written from docs/protocol.md
# alone, against a zvcp agent: version exchange, key exchange, an encrypted echo
# and an encrypted file transfer, the stored file compared with the one sent.
# Skips (status 77) without python3 and its cryptography package.
# Usage: python_peer_test.sh PATH-TO-ZVCP PATH-TO-PYTHON_PEER.PY
set -uo pipefail
zvcp=$1
peer=$2
if ! python3 -c 'import cryptography' 2>/dev/null; then
  echo "skipped: needs python3 with the cryptography package (Debian: python3-cryptography)"
  exit 77
fi
work=$(mktemp -d)
agent=
trap '[ -n "$agent" ] && kill "$agent" 2>/dev/null; rm -rf "$work"' EXIT

mkdir "$work/store"
"$zvcp" agent --listen 127.0.0.1:0 --store "$work/store" >"$work/agent.out" 2>&1 &
agent=$!
for _ in $(seq 100); do grep -q listening "$work/agent.out" && break; sleep 0.05; done
port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$work/agent.out")
[ -n "$port" ] || { cat "$work/agent.out"; exit 1; }

head -c 100000 /dev/urandom >"$work/file.bin"
timeout 60 python3 "$peer" "127.0.0.1:$port" "$work/file.bin" || exit 1
cmp "$work/file.bin" "$work/store/python_peer.bin" || exit 1
echo "the Python peer held every conversation with the agent"
