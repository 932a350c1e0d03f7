// Reading messages from a stream socket, cut every way, and the socket wrappers.
// Messages are written out by hand from the header layout; the peer is a thread
// on the other end of a socket pair.
#include <zavrin.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

#include "crypto_test_util.h"
#include "test_support.h"

using crypto_test::Bytes;
using crypto_test::PlainMessage;
using crypto_test::PutBE32;
using zavrin_test::Peer;
using zavrin_test::SocketPair;

namespace {

constexpr DWORD kWait = 20000;  // generous: nothing in these tests should come near it

// A receive buffer and the buffers a connection's receiver owns, sized exactly
// as the contract asks, so that the sanitizers see any access beyond them.
struct Receiver {
  explicit Receiver(DWORD maxSize)
      : maxSize(maxSize), rb(new RECEIVE_BUFFER), msg(maxSize), work(maxSize + 16) {
    RecvZVCPMessage(-1, nullptr, rb.get(), 0, nullptr, nullptr, 0);
  }
  int Read(int sock, ENCRYPTION_CONTEXT *context = nullptr, DWORD timeout = kWait) {
    ENCRYPTION_CONTEXT *ctx = context;
    return RecvZVCPMessage(sock, reinterpret_cast<CSCP_MESSAGE *>(msg.data()), rb.get(), maxSize,
                           &ctx, work.data(), timeout);
  }
  Bytes Head(size_t n) const { return Bytes(msg.begin(), msg.begin() + n); }

  DWORD maxSize;
  std::unique_ptr<RECEIVE_BUFFER> rb;
  Bytes msg;
  Bytes work;
};

Bytes Concat(const std::vector<Bytes> &parts) {
  Bytes all;
  for (const Bytes &p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// A header alone with the given size field.
Bytes Header(uint32_t size, unsigned code = 0x1234) {
  Bytes h = PlainMessage(16);
  crypto_test::PutBE16(&h[0], code);
  PutBE32(&h[4], size);
  return h;
}

}  // namespace

TEST(Receiver, ResetEmptiesTheBufferWhateverItHeld) {
  RECEIVE_BUFFER *rb = static_cast<RECEIVE_BUFFER *>(malloc(sizeof(RECEIVE_BUFFER)));
  rb->bytesBuffered = 12345;
  rb->readPos = 999;
  EXPECT_EQ(0, RecvZVCPMessage(-1, nullptr, rb, 100, nullptr, nullptr, 0));
  EXPECT_EQ(0u, rb->bytesBuffered);
  EXPECT_EQ(0u, rb->readPos);
  free(rb);
}

// Every stream is a sequence of messages written in pieces; each call must give
// the expected result and, for a message read whole, its bytes.
TEST(Receiver, ReadsMessagesHoweverTheStreamIsCut) {
  struct Case {
    const char *name;
    std::vector<uint32_t> sizes;
    DWORD maxSize;
    std::vector<size_t> pieces;  // piece sizes; the rest goes as one piece
    std::vector<int> results;
  };
  std::vector<size_t> bytewise(200, 1);
  const Case cases[] = {
      {"one byte at a time", {40, 16, 24}, 1024, bytewise, {40, 16, 24}},
      {"header split after 5 bytes", {48}, 1024, {5}, {48}},
      {"body split after the header", {48}, 1024, {16, 8}, {48}},
      {"two messages in one write", {32, 24}, 1024, {}, {32, 24}},
      {"second header split across writes", {32, 24}, 1024, {37}, {32, 24}},
      {"100 KiB through several receives", {102400, 16}, 204800, {}, {102400, 16}},
      {"100 KiB in small pieces", {102400}, 204800, std::vector<size_t>(30, 4000), {102400}},
      {"over the maximum, then a normal one", {24, 16}, 16, {}, {1, 16}},
      {"over the maximum, split", {24, 16}, 16, {3, 17, 1}, {1, 16}},
      {"100 KiB over the maximum, then a normal one", {102400, 40}, 1024, {}, {1, 40}},
      {"exactly the maximum", {1024, 1032}, 1024, {}, {1024, 1}},
      {"a full receive buffer of 64 KiB messages",
       {65536, 65536, 16},
       65536,
       {},
       {65536, 65536, 16}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Bytes> messages;
    for (size_t i = 0; i < c.sizes.size(); i++)
      messages.push_back(c.sizes[i] >= 16 ? PlainMessage(c.sizes[i], 0, static_cast<unsigned>(i))
                                          : Bytes(c.sizes[i], 0));
    Bytes stream = Concat(messages);
    SocketPair pair;
    Receiver receiver(c.maxSize);
    Peer peer([&] {
      EXPECT_TRUE(zavrin_test::WriteInPieces(pair.remote(), pair.local(), stream, c.pieces));
    });
    for (size_t i = 0; i < c.results.size(); i++) {
      int result = receiver.Read(pair.local());
      ASSERT_EQ(c.results[i], result) << "message " << i;
      if (result == 1) {
        EXPECT_EQ(Bytes(messages[i].begin(), messages[i].begin() + 16), receiver.Head(16));
      } else {
        EXPECT_EQ(messages[i], receiver.Head(messages[i].size())) << "message " << i;
      }
    }
  }
}

TEST(Receiver, SecondMessageOfOneWriteNeedsNoReceive) {
  SocketPair pair;
  Receiver receiver(1024);
  Bytes first = PlainMessage(40, 0, 1), second = PlainMessage(56, 0, 2);
  ASSERT_TRUE(zavrin_test::WriteAll(pair.remote(), Concat({first, second}).data(), 96));
  ASSERT_EQ(40, receiver.Read(pair.local()));
  // Nothing more is on the socket: a receive would time out at once.
  ASSERT_EQ(56, receiver.Read(pair.local(), nullptr, 0));
  EXPECT_EQ(second, receiver.Head(56));
  EXPECT_EQ(3, receiver.Read(pair.local(), nullptr, 0));
}

// How a call ends when no whole message comes.
TEST(Receiver, EndsWithoutAMessage) {
  struct Case {
    const char *name;
    Bytes sent;
    bool closeAfter;  // the peer closes after sending; otherwise it stays silent
    DWORD timeout;
    int result;
  };
  Bytes whole = PlainMessage(64);
  const Case cases[] = {
      {"closed before anything", {}, true, kWait, 0},
      {"closed inside the header", Bytes(whole.begin(), whole.begin() + 9), true, kWait, 0},
      {"closed inside the body", Bytes(whole.begin(), whole.begin() + 40), true, kWait, 0},
      {"silence", {}, false, 200, 3},
      {"silence inside the header", Bytes(whole.begin(), whole.begin() + 9), false, 200, 3},
      {"silence inside the body", Bytes(whole.begin(), whole.begin() + 40), false, 200, 3},
      {"size 0", Header(0), false, kWait, ZVCP_RECV_BAD_SIZE},
      {"size 8", Header(8), false, kWait, ZVCP_RECV_BAD_SIZE},
      {"size 15", Header(15), false, kWait, ZVCP_RECV_BAD_SIZE},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SocketPair pair;
    Receiver receiver(1024);
    if (!c.sent.empty()) {
      ASSERT_TRUE(zavrin_test::WriteAll(pair.remote(), c.sent.data(), c.sent.size()));
    }
    if (c.closeAfter) pair.CloseRemote();
    EXPECT_EQ(c.result, receiver.Read(pair.local(), nullptr, c.timeout));
    if (c.result == ZVCP_RECV_BAD_SIZE) {
      EXPECT_EQ(c.sent, receiver.Head(16));
    }
  }
  Receiver receiver(1024);
  EXPECT_EQ(-1, receiver.Read(INVALID_SOCKET, nullptr, INFINITE));
}

TEST(Receiver, WithoutTimeOutWaitsForTheMessage) {
  SocketPair pair;
  Receiver receiver(1024);
  Bytes message = PlainMessage(32);
  Peer peer([&] {
    usleep(300 * 1000);
    zavrin_test::WriteAll(pair.remote(), message.data(), message.size());
  });
  EXPECT_EQ(32, receiver.Read(pair.local(), nullptr, INFINITE));
  EXPECT_EQ(message, receiver.Head(32));
}

TEST(Receiver, DescriptorAbove1024) {
  SocketPair pair;
  int sock = pair.MoveLocalAbove(1100);
  ASSERT_GE(sock, 1100);
  Receiver receiver(1024);
  char byte;
  EXPECT_EQ(-2, RecvEx(sock, &byte, 1, 0, 50));
  Bytes message = PlainMessage(48);
  Peer peer([&] {
    EXPECT_TRUE(zavrin_test::WriteInPieces(pair.remote(), sock, message, {5, 11}));
  });
  EXPECT_EQ(48, receiver.Read(sock));
  EXPECT_EQ(message, receiver.Head(48));
  peer.Join();
  EXPECT_EQ(3, receiver.Read(sock, nullptr, 50));
  EXPECT_EQ(48, SendEx(sock, message.data(), 48, 0));
}

// An encrypted message through the receiver, by the connection's cipher state;
// every stream ends with a plain message that must still read.
TEST(Receiver, EncryptedMessages) {
  const unsigned char iv[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  Bytes key(32);
  for (int i = 0; i < 32; i++) key[i] = static_cast<unsigned char>(0xA0 + i);
  crypto_test::TestSession session(CIPHER_AES_256, key, iv);
  Bytes plain = PlainMessage(200, 0, 5);
  ENCRYPTED_MESSAGE *block =
      CSCPEncryptMessage(&session.ctx, reinterpret_cast<CSCP_MESSAGE *>(plain.data()));
  ASSERT_NE(nullptr, block);
  const unsigned char *b = reinterpret_cast<const unsigned char *>(block);
  Bytes encrypted(b, b + crypto_test::GetBE32(b + 4));
  free(block);
  Bytes damaged(encrypted);
  damaged[20] ^= 0x40;

  enum Expect { kPlain, kAsItCame, kRefused };
  struct Case {
    const char *name;
    ENCRYPTION_CONTEXT *context;
    const Bytes *sent;
    Expect expect;
  };
  const Case cases[] = {
      {"no cipher state", nullptr, &encrypted, kRefused},
      {"pass-through", PASS_THROUGH_CONTEXT, &encrypted, kAsItCame},
      {"the session", &session.ctx, &encrypted, kPlain},
      {"damaged", &session.ctx, &damaged, kRefused},
  };
  Bytes after = PlainMessage(24, 0, 9);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SocketPair pair;
    Receiver receiver(1024);
    Bytes stream = Concat({*c.sent, after});
    ASSERT_TRUE(zavrin_test::WriteAll(pair.remote(), stream.data(), stream.size()));
    int result = receiver.Read(pair.local(), c.context);
    switch (c.expect) {
      case kPlain:
        ASSERT_EQ(200, result);
        EXPECT_EQ(plain, receiver.Head(200));
        break;
      case kAsItCame:
        ASSERT_EQ(static_cast<int>(encrypted.size()), result);
        EXPECT_EQ(encrypted, receiver.Head(encrypted.size()));
        break;
      case kRefused:
        EXPECT_EQ(2, result);
        break;
    }
    EXPECT_EQ(24, receiver.Read(pair.local(), c.context));
    EXPECT_EQ(after, receiver.Head(24));
  }
}

TEST(SendEx, SendsEverythingOrFails) {
  signal(SIGPIPE, SIG_DFL);  // a send that raised it would end the test program
  SocketPair pair;
  EXPECT_EQ(0, SendEx(pair.local(), "", 0, 0));

  // More than the socket takes at once, from a non-blocking socket: SendEx waits
  // until the reader makes room.
  Bytes big(4 << 20);
  for (size_t i = 0; i < big.size(); i++) big[i] = static_cast<unsigned char>(i * 131 >> 8);
  fcntl(pair.local(), F_SETFL, fcntl(pair.local(), F_GETFL) | O_NONBLOCK);
  Bytes got;
  Peer peer([&] {
    unsigned char chunk[8192];
    while (got.size() < big.size()) {
      int n = RecvEx(pair.remote(), chunk, sizeof(chunk), 0, kWait);
      if (n <= 0) break;
      got.insert(got.end(), chunk, chunk + n);
    }
  });
  EXPECT_EQ(static_cast<int>(big.size()), SendEx(pair.local(), big.data(), big.size(), 0));
  peer.Join();
  EXPECT_TRUE(got == big);

  // To a peer that has gone: an error, and the process lives on.
  pair.CloseRemote();
  EXPECT_EQ(-1, SendEx(pair.local(), big.data(), 1000, 0));
  EXPECT_EQ(-1, SendEx(INVALID_SOCKET, big.data(), 10, 0));
}

TEST(RecvEx, Results) {
  SocketPair pair;
  char buffer[16];
  EXPECT_EQ(-1, RecvEx(INVALID_SOCKET, buffer, sizeof(buffer), 0, INFINITE));
  EXPECT_EQ(-2, RecvEx(pair.local(), buffer, sizeof(buffer), 0, 0));
  EXPECT_EQ(-2, RecvEx(pair.local(), buffer, sizeof(buffer), 0, 100));
  ASSERT_TRUE(zavrin_test::WriteAll(pair.remote(), "abc", 3));
  EXPECT_EQ(3, RecvEx(pair.local(), buffer, sizeof(buffer), 0, 0));
  pair.CloseRemote();
  EXPECT_EQ(0, RecvEx(pair.local(), buffer, sizeof(buffer), 0, kWait));
  int fd = dup(0);
  close(fd);
  EXPECT_EQ(-1, RecvEx(fd, buffer, sizeof(buffer), 0, INFINITE));  // not a descriptor
}

// ---- Faults: peers and a system that misbehave ----

namespace {

// Interrupts the given threads with a handler-only signal (no SA_RESTART) every
// millisecond while it lives, so that every blocking call in them sees EINTR.
class SignalStorm {
 public:
  explicit SignalStorm(std::vector<pthread_t> targets) : targets_(std::move(targets)) {
    struct sigaction action = {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, &previous_);
    thread_ = std::thread([this] {
      while (!stop_.load()) {
        for (pthread_t t : targets_) pthread_kill(t, SIGUSR1);
        signals_++;
        usleep(1000);
      }
    });
  }
  ~SignalStorm() {
    stop_ = true;
    thread_.join();
    sigaction(SIGUSR1, &previous_, nullptr);
  }
  int signals() const { return signals_.load(); }

 private:
  std::vector<pthread_t> targets_;
  struct sigaction previous_ = {};
  std::atomic<bool> stop_{false};
  std::atomic<int> signals_{0};
  std::thread thread_;
};

}  // namespace

// A connection reset in the middle of a message: the whole messages before it are
// read, then the error; the partial message is not handed out.
TEST(Faults, ResetInTheMiddleOfAMessage) {
  SocketPair pair(true);
  Receiver receiver(4096);
  Bytes whole = PlainMessage(600, 0, 1), partial = PlainMessage(1000, 0, 2);
  Bytes stream = Concat({whole, Bytes(partial.begin(), partial.begin() + 300)});
  ASSERT_TRUE(zavrin_test::WriteAll(pair.remote(), stream.data(), stream.size()));
  while (zavrin_test::BytesQueued(pair.local()) < stream.size()) usleep(1000);
  struct linger reset = {1, 0};  // close with a reset, not an orderly end
  setsockopt(pair.remote(), SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
  pair.CloseRemote();
  ASSERT_EQ(600, receiver.Read(pair.local()));
  EXPECT_EQ(whole, receiver.Head(600));
  EXPECT_EQ(-1, receiver.Read(pair.local()));
}

// Signals every millisecond in the receiving and the sending thread: every
// message arrives whole and in order, and time-outs still hold.
TEST(Faults, SignalsDuringReceivesAndSends) {
  SocketPair pair;
  Receiver receiver(70000);
  const int kMessages = 300;
  std::atomic<bool> sent{false};
  pthread_t self = pthread_self();
  std::atomic<pthread_t> sender{self};
  Peer peer([&] {
    sender = pthread_self();
    for (int i = 0; i < kMessages; i++) {
      Bytes m = PlainMessage(16 + static_cast<uint32_t>(i * 997 % 65000), 0, i);
      ASSERT_EQ(static_cast<int>(m.size()), SendEx(pair.remote(), m.data(), m.size(), 0));
    }
    sent = true;
  });
  while (sender.load() == self) usleep(100);
  {
    // Stopped before the sender is joined: its thread id is valid until then.
    SignalStorm storm({self, sender.load()});
    for (int i = 0; i < kMessages; i++) {
      Bytes expected = PlainMessage(16 + static_cast<uint32_t>(i * 997 % 65000), 0, i);
      ASSERT_EQ(static_cast<int>(expected.size()), receiver.Read(pair.local())) << "message " << i;
      ASSERT_EQ(expected, receiver.Head(expected.size())) << "message " << i;
    }
    // A 50 ms time-out ends in 3, not in an early return for each signal.
    EXPECT_EQ(3, receiver.Read(pair.local(), nullptr, 50));
    EXPECT_GT(storm.signals(), 0);
  }
  peer.Join();
  EXPECT_TRUE(sent.load());
}

// A peer that stops reading while we send, and then goes: the blocked send
// fails with -1 and the process lives on.
TEST(Faults, PeerThatStopsReading) {
  signal(SIGPIPE, SIG_DFL);  // a send that raised it would end the test program
  SocketPair pair(true);
  Bytes big(16 << 20, 0x5a);
  std::atomic<int> result{1};
  Peer peer([&] { result = SendEx(pair.local(), big.data(), big.size(), 0); });
  // The peer reads nothing; once the socket's buffers are full it leaves.
  size_t queued = 0;
  for (;;) {
    usleep(20000);
    size_t now = zavrin_test::BytesQueued(pair.remote());
    if (now > 0 && now == queued) break;
    queued = now;
  }
  EXPECT_EQ(1, result.load());  // still blocked: the peer took nothing
  pair.CloseRemote();
  peer.Join();
  EXPECT_EQ(-1, result.load());
}

// With no descriptor left, a file transfer ends in its abort message and 0, and
// a connection that is already open keeps reading messages.
TEST(Faults, DescriptorExhaustion) {
  SocketPair pair;
  zavrin_test::TempFile file("content");
  Receiver receiver(4096);
  std::vector<int> filler;
  struct rlimit saved;
  getrlimit(RLIMIT_NOFILE, &saved);
  struct rlimit low = saved;
  low.rlim_cur = static_cast<rlim_t>(zavrin_test::OpenDescriptorCount() + 64);
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
  for (int fd; (fd = dup(0)) >= 0;) filler.push_back(fd);
  ASSERT_EQ(EMFILE, errno);

  EXPECT_EQ(FALSE, SendFileOverZVCP(pair.local(), 9, file.path().c_str(), nullptr));
  ASSERT_EQ(16, receiver.Read(pair.remote()));
  EXPECT_EQ(Bytes({0x00, 0x72, 0x00, 0x01}), receiver.Head(4));  // the abort, raw
  Bytes m = PlainMessage(40);
  ASSERT_TRUE(zavrin_test::WriteAll(pair.local(), m.data(), m.size()));
  EXPECT_EQ(40, receiver.Read(pair.remote()));

  for (int fd : filler) close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);
}

// A non-blocking socket, or MSG_DONTWAIT, makes RecvEx one recv: nothing to
// take is -1 with EAGAIN at once, whatever the time-out; data is taken as ever.
TEST(RecvEx, DoesNotWaitOnANonBlockingSocket) {
  struct Case {
    const char *name;
    bool nonBlocking;
    int flags;
    DWORD timeout;
    int emptyResult;
  };
  const Case cases[] = {
      {"blocking, with a time-out", false, 0, 50, -2},
      {"MSG_DONTWAIT, no time-out", false, MSG_DONTWAIT, INFINITE, -1},
      {"MSG_DONTWAIT, with a time-out", false, MSG_DONTWAIT, kWait, -1},
      {"non-blocking, no time-out", true, 0, INFINITE, -1},
      {"non-blocking, with a time-out", true, 0, kWait, -1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SocketPair pair;
    if (c.nonBlocking) fcntl(pair.local(), F_SETFL, fcntl(pair.local(), F_GETFL) | O_NONBLOCK);
    char buffer[16];
    errno = 0;
    EXPECT_EQ(c.emptyResult, RecvEx(pair.local(), buffer, sizeof(buffer), c.flags, c.timeout));
    if (c.emptyResult == -1) {
      EXPECT_EQ(EAGAIN, errno);
    }
    ASSERT_TRUE(zavrin_test::WriteAll(pair.remote(), "abc", 3));
    EXPECT_EQ(3, RecvEx(pair.local(), buffer, sizeof(buffer), c.flags, c.timeout));
  }
}

// RecvZVCPMessage waits for its message on a non-blocking socket too, with and
// without a time-out.
TEST(Receiver, WaitsOnANonBlockingSocket) {
  for (DWORD timeout : {INFINITE, kWait}) {
    SocketPair pair;
    fcntl(pair.local(), F_SETFL, fcntl(pair.local(), F_GETFL) | O_NONBLOCK);
    Receiver receiver(1024);
    Bytes message = PlainMessage(48);
    Peer peer([&] {
      usleep(50 * 1000);
      EXPECT_TRUE(zavrin_test::WriteInPieces(pair.remote(), pair.local(), message, {5, 20}));
    });
    EXPECT_EQ(48, receiver.Read(pair.local(), nullptr, timeout));
    EXPECT_EQ(message, receiver.Head(48));
  }
}

// After a large message the receiver takes the next header straight into the
// message buffer; whatever follows (small messages, one to skip, a large one
// cut anywhere) must read as from the receive buffer.
TEST(Receiver, LargeMessagesAndWhatFollowsThem) {
  const std::vector<uint32_t> sizes = {40000, 70000, 24, 20000, 16, 80000, 65536, 32, 30000};
  std::vector<Bytes> messages;
  std::vector<int> results;
  for (size_t i = 0; i < sizes.size(); i++) {
    messages.push_back(PlainMessage(sizes[i], 0, static_cast<unsigned>(i)));
    results.push_back(sizes[i] > 70000 ? 1 : static_cast<int>(sizes[i]));
  }
  Bytes stream = Concat(messages);
  for (std::vector<size_t> pieces :
       {std::vector<size_t>{}, {40005, 3, 69990, 30}, std::vector<size_t>(200, 1500)}) {
    SocketPair pair;
    Receiver receiver(70000);
    Peer peer([&] {
      EXPECT_TRUE(zavrin_test::WriteInPieces(pair.remote(), pair.local(), stream, pieces));
    });
    for (size_t i = 0; i < results.size(); i++) {
      ASSERT_EQ(results[i], receiver.Read(pair.local())) << "message " << i;
      size_t shown = results[i] == 1 ? 16 : messages[i].size();
      EXPECT_EQ(Bytes(messages[i].begin(), messages[i].begin() + shown), receiver.Head(shown));
    }
  }
}
