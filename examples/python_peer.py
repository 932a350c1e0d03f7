#!/usr/bin/env python3
"""A ZVCP client in Python, written from docs/protocol.md alone: the version
exchange, the session key exchange (AES-256), an encrypted echo request and an
encrypted file transfer with a `zvcp agent`.

    python3 examples/python_peer.py HOST:PORT [FILE]

Needs the cryptography package (Debian: python3-cryptography)."""
import hashlib
import os
import socket
import struct
import sys
import zlib

from cryptography.hazmat.primitives import hashes, padding, serialization
from cryptography.hazmat.primitives.asymmetric import padding as rsa_padding
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

INT32, STRING, INT64, INT16, BINARY = 0, 1, 2, 3, 4
RAW, END_OF_FILE, HEADER_ONLY = 0x01, 0x02, 0x20
RESULT_CODE = 28


def pad(n):
    return (8 - n % 8) % 8


def message(code, msg_id, variables, flags=0):
    """An ordinary message by the version 2 rule; variables: (id, type, value)."""
    body = b""
    for var_id, var_type, value in variables:
        head = struct.pack(">IBB", var_id, var_type, 0)
        if var_type == INT16:
            var = head + struct.pack(">H", value)
        elif var_type == INT32:
            var = head + b"\0\0" + struct.pack(">I", value)
        elif var_type == INT64:
            var = head + b"\0\0" + struct.pack(">Q", value)
        else:
            data = value.encode("utf-16-be") if var_type == STRING else value
            var = head + b"\0\0" + struct.pack(">I", len(data)) + data
        body += var + b"\0" * pad(len(var))
    return struct.pack(">HHIII", code, flags, 16 + len(body), msg_id, len(variables)) + body


def raw_message(code, msg_id, data, flags=0):
    return (struct.pack(">HHIII", code, flags | RAW, 16 + len(data) + pad(len(data)), msg_id,
                        len(data)) + data + b"\0" * pad(len(data)))


def variables(msg):
    """The code, id and variables ({id: value}) of an ordinary version 2 message."""
    code, _, size, msg_id, count = struct.unpack(">HHIII", msg[:16])
    found, p = {}, 16
    while len(found) < count and p + 8 <= size:
        var_id, var_type = struct.unpack(">IB", msg[p:p + 5])
        if var_type == INT16:
            value, length = struct.unpack(">H", msg[p + 6:p + 8])[0], 8
        elif var_type == INT32:
            value, length = struct.unpack(">I", msg[p + 8:p + 12])[0], 12
        elif var_type in (INT64, 5):
            value, length = msg[p + 8:p + 16], 16
            value = struct.unpack(">Q" if var_type == INT64 else ">d", value)[0]
        elif var_type in (STRING, BINARY):
            n = struct.unpack(">I", msg[p + 8:p + 12])[0]
            value, length = msg[p + 12:p + 12 + n], 12 + n
            if var_type == STRING:
                value = value.decode("utf-16-be")
        else:
            value, length = None, 8
        if p + length > size:
            break
        found.setdefault(var_id, value)
        p += length + pad(length)
    return code, msg_id, found


class Connection:
    def __init__(self, host, port):
        self.sock = socket.create_connection((host, port), timeout=30)
        self.pending = b""
        self.key = self.iv = None

    def _cipher(self):
        return Cipher(algorithms.AES(self.key), modes.CBC(self.iv))

    def send(self, msg):
        if self.key is not None:  # every message afresh from the session IV
            padder = padding.PKCS7(128).padder()
            plain = padder.update(struct.pack(">II", zlib.crc32(msg), 0) + msg) + padder.finalize()
            encryptor = self._cipher().encryptor()
            out = encryptor.update(plain) + encryptor.finalize()
            msg = struct.pack(">HBBI", 131, 0, 0, 8 + len(out)) + out
        self.sock.sendall(msg)

    def read(self):
        while len(self.pending) < 16 or len(self.pending) < struct.unpack(">I", self.pending[4:8])[0]:
            data = self.sock.recv(65536)
            if not data:
                raise EOFError("the peer closed the connection")
            self.pending += data
        size = struct.unpack(">I", self.pending[4:8])[0]
        if size < 16:
            raise ValueError("a size below 16: the stream is out of step")
        msg, self.pending = self.pending[:size], self.pending[size:]
        if struct.unpack(">H", msg[:2])[0] != 131:
            return msg
        padding_bytes = msg[2]
        decryptor = self._cipher().decryptor()
        plain = decryptor.update(msg[8:size - padding_bytes]) + decryptor.finalize()
        plain = plain[:len(plain) - plain[-1]]  # the PKCS#7 padding
        inner = struct.unpack(">I", plain[12:16])[0]
        if inner < 16 or len(plain) < 8 + inner or \
                zlib.crc32(plain[8:8 + inner]) != struct.unpack(">I", plain[:4])[0]:
            raise ValueError("a message that does not decrypt")
        return plain[8:8 + inner]

    def request(self, msg, msg_id):
        self.send(msg)
        return self.reply(msg_id)

    def reply(self, msg_id):
        """The variables of the CMD_REQUEST_COMPLETED with result 0 for msg_id."""
        code, reply_id, found = variables(self.read())
        if code != 29 or reply_id != msg_id or found.get(RESULT_CODE) != 0:
            raise RuntimeError("request %d: code %d, result %s" % (msg_id, code, found.get(RESULT_CODE)))
        return found


def main():
    host, _, port = sys.argv[1].rpartition(":")
    data = open(sys.argv[2], "rb").read() if len(sys.argv) > 2 else os.urandom(70000)
    c = Connection(host, int(port))

    c.send(struct.pack(">HHIII", 182, HEADER_ONLY, 16, 0, 0))
    code, flags, _, _, value = struct.unpack(">HHIII", c.read())
    version = value >> 24 if code == 183 and flags & HEADER_ONLY else 1
    print("protocol version", version)
    if version != 2:
        raise RuntimeError("this client writes version 2 only")

    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    public = key.public_key().public_bytes(serialization.Encoding.DER,
                                           serialization.PublicFormat.PKCS1)
    c.send(message(130, 1, [(122, INT32, 0x01), (154, BINARY, public)]))  # AES-256 only
    code, msg_id, found = variables(c.read())
    if code != 132 or msg_id != 1 or found.get(RESULT_CODE) != 0 or found.get(156) != 0:
        raise RuntimeError("key exchange: code %d, result %s" % (code, found.get(RESULT_CODE)))
    oaep = rsa_padding.OAEP(mgf=rsa_padding.MGF1(hashes.SHA1()), algorithm=hashes.SHA1(), label=None)
    c.key, c.iv = key.decrypt(found[155], oaep), key.decrypt(found[158], oaep)
    if len(c.key) != found[157] or len(c.iv) != found.get(238, 16):
        raise RuntimeError("key exchange: the key or the IV has another length than announced")
    print("session key agreed: AES-256")

    payload = os.urandom(64)
    if c.request(message(3, 2, [(1, BINARY, payload)]), 2).get(1) != payload:
        raise RuntimeError("echo: another payload came back")
    print("echo answered")

    c.request(message(106, 3, [(2, STRING, "python_peer.bin"), (3, INT64, len(data))]), 3)
    for offset in range(0, len(data) + 1, 32768):
        chunk = data[offset:offset + 32768]
        c.send(raw_message(105, 3, chunk, END_OF_FILE if len(chunk) < 32768 else 0))
    done = c.reply(3)
    if done.get(3) != len(data) or done.get(4) != hashlib.sha1(data).digest():
        raise RuntimeError("file: the agent did not confirm it")
    print("file of %d bytes sent, SHA-1 %s confirmed" % (len(data), hashlib.sha1(data).hexdigest()))


if __name__ == "__main__":
    main()
