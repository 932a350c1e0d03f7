// Raw messages, file transfer and the question for the peer's version, seen from
// the other end of a socket pair. Layouts are written out by hand; file contents
// are compared by their SHA-1 from OpenSSL.
#include <zavrin.h>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>

#include "crypto_test_util.h"
#include "test_support.h"

using crypto_test::Bytes;
using crypto_test::GetBE32;
using zavrin_test::Peer;
using zavrin_test::SocketPair;

namespace {

constexpr DWORD kWait = 20000;

std::string Sha1(const unsigned char *data, size_t size) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data, size, digest, &length, EVP_sha1(), nullptr);
  return zavrin_test::ToHex(digest, length);
}

unsigned GetBE16(const unsigned char *p) {
  return static_cast<unsigned>(p[0]) << 8 | p[1];
}

// One received message: its header fields and its data bytes.
struct Received {
  int result;
  unsigned code, flags;
  uint32_t size, id, count;
  Bytes data;
};

// Reads messages until the peer closes (or anything but a message comes).
std::vector<Received> ReadUntilClosed(int sock, ENCRYPTION_CONTEXT *context) {
  const DWORD maxSize = 40000;
  std::unique_ptr<RECEIVE_BUFFER> rb(new RECEIVE_BUFFER);
  Bytes msg(maxSize), work(maxSize + 16);
  RecvZVCPMessage(sock, nullptr, rb.get(), 0, nullptr, nullptr, 0);
  std::vector<Received> all;
  for (;;) {
    ENCRYPTION_CONTEXT *ctx = context;
    int r = RecvZVCPMessage(sock, reinterpret_cast<CSCP_MESSAGE *>(msg.data()), rb.get(), maxSize,
                            &ctx, work.data(), kWait);
    if (r < 16) {
      if (r != 0) all.push_back(Received{r, 0, 0, 0, 0, 0, {}});
      return all;
    }
    const unsigned char *m = msg.data();
    Received got{r, GetBE16(m), GetBE16(m + 2), GetBE32(m + 4), GetBE32(m + 8), GetBE32(m + 12),
                 {}};
    if (got.count <= got.size - 16) got.data.assign(m + 16, m + 16 + got.count);
    all.push_back(got);
  }
}

const unsigned char kIv[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};

Bytes Key(size_t n) {
  Bytes key(n);
  for (size_t i = 0; i < n; i++) key[i] = static_cast<unsigned char>(0x31 * i + 7);
  return key;
}

}  // namespace

TEST(RawMessage, Layout) {
  struct Case {
    DWORD length;
    WORD flags;
    uint32_t size;
    unsigned flagsOut;
  };
  const Case cases[] = {
      {0, 0, 16, 0x0001},
      {1, 0, 24, 0x0001},
      {5, 0, 24, 0x0001},
      {8, 0x0002, 24, 0x0003},
      {9, 0x0001, 32, 0x0001},
      {15, 0x8000, 32, 0x8001},
      {32768, 0x0002, 32784, 0x0003},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.length);
    Bytes data(c.length);
    for (DWORD i = 0; i < c.length; i++) data[i] = static_cast<unsigned char>(i + 1);
    // Allocated by the function, and in a caller's buffer of exactly the size.
    CSCP_MESSAGE *made =
        CreateRawZVCPMessage(0x0069, 0xA1B2C3D4, c.flags, c.length, data.data(), nullptr);
    ASSERT_NE(nullptr, made);
    Bytes own(c.size, 0xEE);
    CSCP_MESSAGE *inOwn = CreateRawZVCPMessage(0x0069, 0xA1B2C3D4, c.flags, c.length, data.data(),
                                               reinterpret_cast<CSCP_MESSAGE *>(own.data()));
    EXPECT_EQ(reinterpret_cast<CSCP_MESSAGE *>(own.data()), inOwn);
    const unsigned char *both[] = {reinterpret_cast<const unsigned char *>(made), own.data()};
    for (const unsigned char *m : both) {
      EXPECT_EQ(0x0069u, GetBE16(m));
      EXPECT_EQ(c.flagsOut, GetBE16(m + 2));
      EXPECT_EQ(c.size, GetBE32(m + 4));
      EXPECT_EQ(0xA1B2C3D4u, GetBE32(m + 8));
      EXPECT_EQ(c.length, GetBE32(m + 12));
      EXPECT_EQ(data, Bytes(m + 16, m + 16 + c.length));
      EXPECT_EQ(Bytes(c.size - 16 - c.length, 0), Bytes(m + 16 + c.length, m + c.size));
    }
    free(made);
  }
  // A length whose message the size field cannot hold.
  EXPECT_EQ(nullptr, CreateRawZVCPMessage(105, 1, 0, 0xFFFFFFF0u, nullptr, nullptr));
}

// The file arrives whole, in chunks of 32768 bytes and a last, shorter (possibly
// empty) one that carries the end-of-file flag.
TEST(FileTransfer, FilesArriveWhole) {
  const size_t sizes[] = {0, 1, 32767, 32768, 32769, 70000};
  for (bool encrypted : {false, true}) {
    for (size_t size : sizes) {
      SCOPED_TRACE(std::string(encrypted ? "encrypted " : "plain ") + std::to_string(size));
      std::string content(size, '\0');
      for (size_t i = 0; i < size; i++) content[i] = static_cast<char>((i * 2654435761u) >> 13);
      zavrin_test::TempFile file(content);
      crypto_test::TestSession session(CIPHER_AES_256, Key(32), kIv);
      ENCRYPTION_CONTEXT *context = encrypted ? &session.ctx : nullptr;

      SocketPair pair;
      std::vector<Received> got;
      Peer peer([&] { got = ReadUntilClosed(pair.remote(), context); });
      EXPECT_EQ(TRUE, SendFileOverZVCP(pair.local(), 0x5151, file.path().c_str(), context));
      pair.CloseLocal();
      peer.Join();

      size_t chunks = size / 32768 + 1;
      ASSERT_EQ(chunks, got.size());
      Bytes all;
      for (size_t i = 0; i < chunks; i++) {
        const Received &r = got[i];
        bool last = i + 1 == chunks;
        uint32_t length = last ? size % 32768 : 32768;
        EXPECT_EQ(105u, r.code) << i;
        EXPECT_EQ(last ? 0x0003u : 0x0001u, r.flags) << i;
        EXPECT_EQ(0x5151u, r.id) << i;
        EXPECT_EQ(length, r.count) << i;
        EXPECT_EQ((16 + length + 7) / 8 * 8, r.size) << i;
        all.insert(all.end(), r.data.begin(), r.data.end());
      }
      EXPECT_EQ(Sha1(reinterpret_cast<const unsigned char *>(content.data()), size),
                Sha1(all.data(), all.size()));
    }
  }
}

// What cannot be sent ends in one abort message (code 114, raw, the transfer's
// id, size 16, no data) and the result 0.
TEST(FileTransfer, WhatCannotBeReadIsAborted) {
  zavrin_test::TempFile file("x");
  std::string directory = file.path().substr(0, file.path().rfind('/'));
  const char *paths[] = {"/nonexistent/zavrin/file", directory.c_str(), ""};
  for (bool encrypted : {false, true}) {
    for (const char *path : paths) {
      SCOPED_TRACE(path);
      crypto_test::TestSession session(CIPHER_TRIPLE_DES, Key(24), kIv);
      ENCRYPTION_CONTEXT *context = encrypted ? &session.ctx : nullptr;
      SocketPair pair;
      std::vector<Received> got;
      Peer peer([&] { got = ReadUntilClosed(pair.remote(), context); });
      EXPECT_EQ(FALSE, SendFileOverZVCP(pair.local(), 77, path, context));
      pair.CloseLocal();
      peer.Join();
      ASSERT_EQ(1u, got.size());
      EXPECT_EQ(16, got[0].result);
      EXPECT_EQ(114u, got[0].code);
      EXPECT_EQ(0x0001u, got[0].flags);
      EXPECT_EQ(77u, got[0].id);
      EXPECT_EQ(0u, got[0].count);
    }
  }
}

TEST(FileTransfer, StopsWhenChunksCannotGoOut) {
  signal(SIGPIPE, SIG_DFL);  // a send that raised it would end the test program
  std::string content(1 << 20, 'z');
  zavrin_test::TempFile file(content);
  for (bool encrypted : {false, true}) {
    SCOPED_TRACE(encrypted);
    crypto_test::TestSession session(CIPHER_AES_256, Key(32), kIv);
    ENCRYPTION_CONTEXT *context = encrypted ? &session.ctx : nullptr;
    int before = zavrin_test::OpenDescriptorCount();
    {
      SocketPair pair;
      // The peer takes the start of the first chunk, then goes.
      Peer peer([&] {
        unsigned char some[16];
        EXPECT_GT(RecvEx(pair.remote(), some, sizeof(some), 0, kWait), 0);
        pair.CloseRemote();
      });
      EXPECT_EQ(FALSE, SendFileOverZVCP(pair.local(), 1, file.path().c_str(), context));
    }
    EXPECT_EQ(before, zavrin_test::OpenDescriptorCount());
  }
  // A session whose cipher cannot run sends nothing, not even in the clear.
  crypto_test::TestSession broken(7, Key(32), kIv);
  SocketPair pair;
  std::vector<Received> got;
  Peer peer([&] { got = ReadUntilClosed(pair.remote(), nullptr); });
  EXPECT_EQ(FALSE, SendFileOverZVCP(pair.local(), 1, file.path().c_str(), &broken.ctx));
  pair.CloseLocal();
  peer.Join();
  EXPECT_TRUE(got.empty());
}

namespace {

// The request as the peer must see it: code 182, header-only, size 16, id 0.
const char kCapsRequest[] = "00b6 0020 00000010 00000000 00000000";

// Runs ZVCPGetPeerProtocolVersion against a peer that checks the request and
// then sends answer (in the given pieces) or, if close, closes the connection.
BOOL AskPeer(const Bytes &answer, bool close, int *version, std::vector<size_t> pieces = {}) {
  SocketPair pair;
  Peer peer([&] {
    unsigned char request[16];
    size_t got = 0;
    while (got < 16) {
      int n = RecvEx(pair.remote(), request + got, 16 - got, 0, kWait);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    EXPECT_EQ(zavrin_test::ToHex(zavrin_test::FromHex(kCapsRequest).data(), 16),
              zavrin_test::ToHex(request, got));
    if (close) {
      pair.CloseRemote();
      return;
    }
    EXPECT_TRUE(zavrin_test::WriteInPieces(pair.remote(), pair.local(), answer, pieces));
  });
  return ZVCPGetPeerProtocolVersion(pair.local(), version);
}

}  // namespace

TEST(PeerVersion, ByTheAnswer) {
  struct Case {
    const char *name;
    const char *answer;  // hex
    bool close;
    BOOL result;
    int version;  // -1: not stored
  };
  const Case cases[] = {
      {"version 2", "00b7 0020 00000010 00000009 02000000", false, TRUE, 2},
      {"low bits ignored", "00b7 0060 00000010 00000000 05ffffff", false, TRUE, 5},
      {"without header-only flag", "00b7 0000 00000010 00000000 02000000", false, TRUE, 1},
      {"another code", "001d 0020 00000010 00000000 02000000", false, TRUE, 1},
      {"longer answer", "00b7 0020 00000018 00000000 02000000 0000000000000000", false, TRUE, 1},
      {"encrypted answer", "0083 0000 00000010 00000000 00000000", false, FALSE, -1},
      {"size field below 16", "00b7 0020 00000008 00000000 02000000", false, FALSE, -1},
      {"closed on the request", "", true, FALSE, -1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    int version = -1;
    EXPECT_EQ(c.result, AskPeer(zavrin_test::FromHex(c.answer), c.close, &version));
    EXPECT_EQ(c.version, version);
  }
  int version = -1;
  EXPECT_EQ(TRUE, AskPeer(zavrin_test::FromHex("00b7 0020 00000010 00000000 03000000"), false,
                          &version, {5, 1}));
  EXPECT_EQ(3, version);
}

TEST(PeerVersion, FailedRequestReadsNothing) {
  signal(SIGPIPE, SIG_DFL);
  SocketPair pair;
  pair.CloseRemote();
  int version = -1;
  EXPECT_EQ(FALSE, ZVCPGetPeerProtocolVersion(pair.local(), &version));
  EXPECT_EQ(-1, version);
  EXPECT_EQ(FALSE, ZVCPGetPeerProtocolVersion(INVALID_SOCKET, &version));
}

// Thirty seconds of silence: its own test, so that it runs beside the others.
TEST(PeerVersion, SilenceMeansVersionOne) {
  SocketPair pair;
  int version = -1;
  EXPECT_EQ(TRUE, ZVCPGetPeerProtocolVersion(pair.local(), &version));
  EXPECT_EQ(1, version);
}
