// The message stream: byte streams cut every way, fed through both intakes, and
// the results and memory that come out. Messages are written out by hand from
// the header layout.
#include <zavrin.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "crypto_test_util.h"
#include "fail_alloc.h"

using crypto_test::Bytes;
using crypto_test::PlainMessage;

namespace {

struct StreamDeleter {
  void operator()(ZVCP_STREAM *s) const { ZVCPStreamDestroy(s); }
};
using Stream = std::unique_ptr<ZVCP_STREAM, StreamDeleter>;

// What Next gave: its result and the bytes *msg pointed at (the header for 1
// and 4, the message for 16 or more, nothing for 2).
struct Outcome {
  int result;
  Bytes bytes;
  bool operator==(const Outcome &o) const { return result == o.result && bytes == o.bytes; }
};

enum Intake { kReserve, kWrite };

// Feeds the pieces (the rest of data after the last size goes as one piece),
// reading every whole message after each; checks the room contract on the way.
std::vector<Outcome> Feed(ZVCP_STREAM *stream, const Bytes &data, std::vector<size_t> pieces,
                          Intake intake, ENCRYPTION_CONTEXT *context = nullptr) {
  std::vector<Outcome> outcomes;
  size_t at = 0;
  pieces.push_back(data.size());
  for (size_t piece : pieces) {
    piece = std::min(piece, data.size() - at);
    while (piece > 0) {
      size_t taken = piece;
      if (intake == kWrite) {
        EXPECT_TRUE(ZVCPStreamWrite(stream, data.data() + at, piece));
      } else {
        size_t room = 0;
        BYTE *into = ZVCPStreamReserve(stream, &room);
        EXPECT_TRUE(into != nullptr && room > 0);
        if (into == nullptr) return outcomes;
        taken = std::min(piece, room);
        memcpy(into, data.data() + at, taken);
        ZVCPStreamCommit(stream, taken);
      }
      at += taken;
      piece -= taken;
      for (;;) {
        CSCP_MESSAGE *msg = nullptr;
        int result = ZVCPStreamNext(stream, &msg, &context);
        if (result == 0) break;
        const BYTE *bytes = reinterpret_cast<const BYTE *>(msg);
        size_t shown = result >= 16 ? static_cast<size_t>(result) : result == 2 ? 0 : 16;
        outcomes.push_back({result, Bytes(bytes, bytes + shown)});
        if (result == ZVCP_RECV_BAD_SIZE) return outcomes;
      }
    }
  }
  return outcomes;
}

Bytes Concat(const std::vector<Bytes> &parts) {
  Bytes all;
  for (const Bytes &p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes Head(const Bytes &message) {
  return Bytes(message.begin(), message.begin() + 16);
}

}  // namespace

// Every stream is a sequence of messages fed in pieces; Next must give the
// messages whole (or their headers, when skipped) and hold nothing once drained.
TEST(Stream, ReadsMessagesHoweverTheStreamIsCut) {
  struct Case {
    const char *name;
    std::vector<uint32_t> sizes;
    DWORD maxSize;
    std::vector<size_t> pieces;
    std::vector<int> results;
  };
  const Case cases[] = {
      {"one byte at a time", {40, 16, 24}, 1024, std::vector<size_t>(80, 1), {40, 16, 24}},
      {"header split after 5 bytes", {48}, 1024, {5}, {48}},
      {"many messages in one piece", {32, 24, 16, 40, 64}, 1024, {}, {32, 24, 16, 40, 64}},
      {"second header split across pieces", {32, 24}, 1024, {37}, {32, 24}},
      {"100 KiB in one piece", {102400, 16}, 204800, {}, {102400, 16}},
      {"100 KiB in small pieces",
       {102400, 24},
       204800,
       std::vector<size_t>(30, 4000),
       {102400, 24}},
      {"12 KiB messages, cut unevenly",
       {12288, 12288, 12288},
       65536,
       {5000, 9000, 7000},
       {12288, 12288, 12288}},
      {"over the maximum, then a normal one", {24, 16}, 16, {}, {1, 16}},
      {"over the maximum, split", {24, 16}, 16, {3, 17, 1}, {1, 16}},
      {"100 KiB over the maximum, then a normal one", {102400, 40}, 1024, {7000}, {1, 40}},
      {"exactly the maximum", {1024, 1032}, 1024, {}, {1024, 1}},
      {"a maximum below a header", {16, 24}, 8, {}, {1, 1}},
  };
  for (Intake intake : {kReserve, kWrite}) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(c.name) + (intake == kWrite ? ", written" : ", reserved"));
      std::vector<Bytes> messages;
      std::vector<Outcome> expected;
      for (size_t i = 0; i < c.sizes.size(); i++) {
        messages.push_back(PlainMessage(c.sizes[i], 0, static_cast<unsigned>(i)));
        expected.push_back({c.results[i], c.results[i] == 1 ? Head(messages[i]) : messages[i]});
      }
      Stream stream(ZVCPStreamCreate(c.maxSize));
      ASSERT_TRUE(stream);
      EXPECT_EQ(expected, Feed(stream.get(), Concat(messages), c.pieces, intake));
      EXPECT_EQ(0u, ZVCPStreamMemory(stream.get()));
    }
  }
}

// A stream that stops inside a message keeps it for later; a size below 16
// puts the stream out of step for good.
TEST(Stream, IncompleteAndBadStreams) {
  struct Case {
    const char *name;
    Bytes data;
    std::vector<int> results;
    size_t held;   // bytes the stream may hold afterwards: 0, or the most
    size_t badAt;  // where the bad header starts
  };
  Bytes whole = PlainMessage(64), big = PlainMessage(40000);
  auto header = [](uint32_t size) {
    Bytes h = PlainMessage(16);
    crypto_test::PutBE32(&h[4], size);
    return h;
  };
  const Case cases[] = {
      {"nothing", {}, {}, 0, 0},
      // A partial header keeps only a header's room.
      {"inside the header", Bytes(whole.begin(), whole.begin() + 9), {}, 16, 0},
      {"inside the body", Bytes(whole.begin(), whole.begin() + 40), {}, 16384, 0},
      {"inside a large body", Bytes(big.begin(), big.begin() + 30000), {}, 40000 + 16384, 0},
      // Out of step: a header's room to drop what comes into.
      {"size 0", header(0), {ZVCP_RECV_BAD_SIZE}, 16, 0},
      {"size 15 after a message",
       Concat({whole, header(15), whole}),
       {64, ZVCP_RECV_BAD_SIZE},
       16,
       64},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Stream stream(ZVCPStreamCreate(65536));
    std::vector<Outcome> outcomes = Feed(stream.get(), c.data, {}, kReserve);
    std::vector<int> results;
    for (const Outcome &o : outcomes) results.push_back(o.result);
    EXPECT_EQ(c.results, results);
    EXPECT_LE(ZVCPStreamMemory(stream.get()), c.held);
    EXPECT_EQ(c.held != 0, ZVCPStreamMemory(stream.get()) != 0);
    if (results.empty() || results.back() != ZVCP_RECV_BAD_SIZE) continue;
    EXPECT_EQ(Bytes(c.data.begin() + c.badAt, c.data.begin() + c.badAt + 16),
              outcomes.back().bytes);
    // Out of step for good: whatever comes is dropped.
    EXPECT_TRUE(ZVCPStreamWrite(stream.get(), whole.data(), whole.size()));
    CSCP_MESSAGE *msg;
    EXPECT_EQ(ZVCP_RECV_BAD_SIZE, ZVCPStreamNext(stream.get(), &msg, nullptr));
  }
}

// Code 131 by the connection's cipher state, cut in two anywhere; the plain
// message behind it must still read.
TEST(Stream, EncryptedMessages) {
  const unsigned char iv[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};
  crypto_test::TestSession session(CIPHER_AES_256, Bytes(32, 0x5c), iv);
  for (uint32_t plainSize : {200u, 30000u}) {
    Bytes plain = PlainMessage(plainSize, 0, 5);
    Bytes encrypted = crypto_test::EncryptedMessage(&session.ctx, plain);
    ASSERT_FALSE(encrypted.empty());
    Bytes damaged(encrypted);
    damaged[20] ^= 0x40;
    Bytes after = PlainMessage(24, 0, 9);
    int size = static_cast<int>(encrypted.size());
    struct Case {
      const char *name;
      ENCRYPTION_CONTEXT *context;
      const Bytes *sent;
      Outcome outcome;
    };
    const Case cases[] = {
        {"no cipher state", nullptr, &encrypted, {2, {}}},
        {"pass-through", PASS_THROUGH_CONTEXT, &encrypted, {size, encrypted}},
        {"the session", &session.ctx, &encrypted, {static_cast<int>(plainSize), plain}},
        {"damaged", &session.ctx, &damaged, {2, {}}},
    };
    for (const Case &c : cases) {
      for (size_t cut : {size_t{0}, size_t{7}, encrypted.size() / 2}) {
        SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(plainSize) + ", cut at " +
                     std::to_string(cut));
        Stream stream(ZVCPStreamCreate(65536));
        std::vector<Outcome> expected = {c.outcome, {24, after}};
        EXPECT_EQ(expected,
                  Feed(stream.get(), Concat({*c.sent, after}), {cut}, kReserve, c.context));
      }
    }
  }
}

// A large body is received where it is handed out: its room lies inside the
// message, and the stream holds memory only while the message is in flight.
TEST(Stream, LargeBodyLandsInPlaceAndMemoryGoesBack) {
  Stream stream(ZVCPStreamCreate(1 << 20));
  EXPECT_EQ(0u, ZVCPStreamMemory(stream.get()));
  Bytes message = PlainMessage(300000);
  ASSERT_TRUE(ZVCPStreamWrite(stream.get(), message.data(), 1000));
  CSCP_MESSAGE *msg;
  EXPECT_EQ(0, ZVCPStreamNext(stream.get(), &msg, nullptr));
  size_t room = 0;
  BYTE *into = ZVCPStreamReserve(stream.get(), &room);
  ASSERT_EQ(message.size() - 1000, room);  // exactly up to the message's end
  memcpy(into, message.data() + 1000, room);
  ZVCPStreamCommit(stream.get(), room);
  EXPECT_LE(ZVCPStreamMemory(stream.get()), message.size() + 16384);
  ASSERT_EQ(300000, ZVCPStreamNext(stream.get(), &msg, nullptr));
  EXPECT_EQ(into - 1000, reinterpret_cast<BYTE *>(msg));
  EXPECT_EQ(0, memcmp(message.data(), msg, message.size()));
  EXPECT_EQ(0, ZVCPStreamNext(stream.get(), &msg, nullptr));
  EXPECT_EQ(0u, ZVCPStreamMemory(stream.get()));
}

#if FAIL_ALLOC_AVAILABLE
// Without memory the intake says so and loses nothing: fed again later, the
// messages come out whole.
TEST(Stream, OutOfMemoryLosesNothing) {
  Bytes data = Concat({PlainMessage(40), PlainMessage(100000, 0, 2), PlainMessage(24, 0, 3)});
  EXPECT_EQ(nullptr, [] {
    ZVCP_STREAM *s = nullptr;
    zavrin_test::WithAllocations(0, [&] { s = ZVCPStreamCreate(1024); });
    return s;
  }());
  Stream stream(ZVCPStreamCreate(1 << 20));
  size_t at = 0;
  std::vector<int> results;
  while (at < data.size()) {
    size_t piece = std::min<size_t>(5000, data.size() - at);
    BOOL written = TRUE;
    size_t room = 1;
    zavrin_test::WithAllocations(0, [&] {
      written = ZVCPStreamWrite(stream.get(), data.data() + at, piece);
      if (!written) {
        EXPECT_EQ(nullptr, ZVCPStreamReserve(stream.get(), &room));
      }
    });
    if (!written) {
      EXPECT_EQ(0u, room);
      ASSERT_TRUE(ZVCPStreamWrite(stream.get(), data.data() + at, piece));
    }
    at += piece;
    CSCP_MESSAGE *msg;
    for (int r; (r = ZVCPStreamNext(stream.get(), &msg, nullptr)) != 0;) results.push_back(r);
  }
  EXPECT_EQ(std::vector<int>({40, 100000, 24}), results);
}
#endif
