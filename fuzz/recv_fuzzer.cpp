// A byte stream cut into pieces, read message by message through a socket pair
// and checked against a model of the framing; then fed, cut the same way, to a
// message stream, which must give the same results and bytes. The first byte
// picks the cipher state (its value mod 3) and the stream's intake (its value / 3,
// odd: copying, even: reserving); the second the maximum size; then come pieces,
// each a length byte (0 meaning 256) and that many stream bytes. Each piece is
// written only once the reader has taken the one before, so every cut reaches
// the receiver as one.
#include <zavrin.h>

#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "coding.h"

namespace {

const BYTE kKey[32] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a,
                       0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15,
                       0x16, 0x17, 0x18, 0x19, 0x1a, 0x1b, 0x1c, 0x1d, 0x1e, 0x1f};
const BYTE kIv[16] = {0xf0, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7,
                      0xf8, 0xf9, 0xfa, 0xfb, 0xfc, 0xfd, 0xfe, 0xff};

const DWORD kMaxSizes[] = {16, 24, 64, 1024, 65536, 200000};

void WritePieces(int writer, int reader, const std::vector<BYTE> &stream,
                 const std::vector<size_t> &pieces, const std::atomic<bool> &readerDone) {
  size_t offset = 0;
  for (size_t piece : pieces) {
    for (;;) {
      int queued = 0;
      if (readerDone.load() || ioctl(reader, FIONREAD, &queued) != 0 || queued == 0) break;
      sched_yield();
    }
    if (readerDone.load()) break;
    if (send(writer, stream.data() + offset, piece, MSG_NOSIGNAL) != static_cast<ssize_t>(piece))
      break;
    offset += piece;
  }
  shutdown(writer, SHUT_WR);
}

// What one read gave: the result and the bytes it handed out (the message for
// 16 or more, the header's first min(maxSize, 16) bytes for 1 and 4).
struct Outcome {
  int result;
  std::vector<BYTE> bytes;
  bool operator==(const Outcome &o) const { return result == o.result && bytes == o.bytes; }
};

Outcome Took(int result, const void *msg, DWORD maxSize) {
  size_t shown = 0;
  if (result >= 16) shown = static_cast<size_t>(result);
  if (result == 1 || result == ZVCP_RECV_BAD_SIZE) shown = maxSize < 16 ? maxSize : 16;
  const BYTE *bytes = static_cast<const BYTE *>(msg);
  return {result, std::vector<BYTE>(bytes, bytes + shown)};
}

// Ends with ZVCP_RECV_BAD_SIZE or, once everything is fed, with 0 for whatever is
// left incomplete: the results RecvZVCPMessage gives when the peer then closes.
std::vector<Outcome> ReadWithStream(const std::vector<BYTE> &stream,
                                    const std::vector<size_t> &pieces, bool copying, DWORD maxSize,
                                    ENCRYPTION_CONTEXT *context) {
  std::vector<Outcome> outcomes;
  ZVCP_STREAM *framing = ZVCPStreamCreate(maxSize);
  if (framing == nullptr) abort();
  size_t offset = 0;
  for (size_t piece : pieces) {
    for (size_t left = piece; left > 0;) {
      size_t taken = left;
      if (copying) {
        if (!ZVCPStreamWrite(framing, stream.data() + offset, left)) abort();
      } else {
        size_t room = 0;
        BYTE *into = ZVCPStreamReserve(framing, &room);
        if (into == nullptr || room == 0) abort();
        if (taken > room) taken = room;
        memcpy(into, stream.data() + offset, taken);
        ZVCPStreamCommit(framing, taken);
      }
      offset += taken;
      left -= taken;
      for (;;) {
        CSCP_MESSAGE *msg;
        int result = ZVCPStreamNext(framing, &msg, &context);
        if (result == 0) break;
        outcomes.push_back(Took(result, msg, maxSize));
        if (result == ZVCP_RECV_BAD_SIZE) {
          ZVCPStreamDestroy(framing);
          return outcomes;
        }
      }
    }
  }
  outcomes.push_back({0, {}});
  ZVCPStreamDestroy(framing);
  return outcomes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2 || size > 300000) return 0;
  static ENCRYPTION_CONTEXT aes = [] {
    ENCRYPTION_CONTEXT session = {};
    session.cipher = CIPHER_AES_256;
    session.sessionKey = const_cast<BYTE *>(kKey);
    session.keyLength = 32;
    memcpy(session.iv, kIv, sizeof(kIv));
    return session;
  }();
  ENCRYPTION_CONTEXT *contexts[] = {nullptr, PASS_THROUGH_CONTEXT, &aes};
  int mode = data[0] % 3;
  bool copying = data[0] / 3 % 2 != 0;
  ENCRYPTION_CONTEXT *context = contexts[mode];
  DWORD maxSize = kMaxSizes[data[1] % (sizeof(kMaxSizes) / sizeof(kMaxSizes[0]))];

  std::vector<BYTE> stream;
  std::vector<size_t> pieces;
  for (size_t at = 2; at < size;) {
    size_t piece = data[at] == 0 ? 256 : data[at];
    at++;
    if (piece > size - at) piece = size - at;
    if (piece == 0) break;
    stream.insert(stream.end(), data + at, data + at + piece);
    pieces.push_back(piece);
    at += piece;
  }

  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) abort();
  std::atomic<bool> readerDone(false);
  std::thread writer(WritePieces, fds[0], fds[1], std::cref(stream), std::cref(pieces),
                     std::cref(readerDone));

  // Exact sizes, so that the sanitizer sees any write past them.
  std::vector<BYTE> message(maxSize);
  std::vector<BYTE> work(maxSize + 16);
  RECEIVE_BUFFER *receiveBuffer = static_cast<RECEIVE_BUFFER *>(malloc(sizeof(RECEIVE_BUFFER)));
  CSCP_MESSAGE *msg = reinterpret_cast<CSCP_MESSAGE *>(message.data());
  RecvZVCPMessage(fds[1], nullptr, receiveBuffer, maxSize, &context, work.data(), 10000);

  // The model: walk the stream by its size fields.
  std::vector<Outcome> outcomes;
  size_t pos = 0;
  for (;;) {
    int result = RecvZVCPMessage(fds[1], msg, receiveBuffer, maxSize, &context, work.data(), 10000);
    outcomes.push_back(Took(result, msg, maxSize));
    size_t left = stream.size() - pos;
    if (left < 16) {
      if (result != 0) abort();  // the peer closed before a whole header
      break;
    }
    uint32_t messageSize = zavrin::ReadBE32(stream.data() + pos + 4);
    if (messageSize < 16) {
      if (result != ZVCP_RECV_BAD_SIZE) abort();
      break;
    }
    if (messageSize > left) {
      if (result != 0) abort();  // the peer closed inside the message
      break;
    }
    bool encrypted = zavrin::ReadBE16(stream.data() + pos) == CMD_ENCRYPTED_MESSAGE;
    if (messageSize > maxSize || messageSize > 0x7FFFFFFFu) {
      if (result != 1) abort();
    } else if (!encrypted || mode == 1) {
      if (result != static_cast<int>(messageSize) ||
          memcmp(message.data(), stream.data() + pos, messageSize) != 0)
        abort();
    } else if (mode == 0) {
      if (result != 2) abort();
    } else if (result != 2 && (result < 16 || static_cast<uint32_t>(result) > messageSize)) {
      abort();
    }
    // What a failed decryption left behind is not compared.
    if (result == 2) outcomes.back().bytes.clear();
    pos += messageSize;
  }
  readerDone.store(true);
  writer.join();
  free(receiveBuffer);
  close(fds[0]);
  close(fds[1]);

  // The stream, fed the same cuts, gives the same results and bytes.
  if (ReadWithStream(stream, pieces, copying, maxSize, contexts[mode]) != outcomes) abort();
  return 0;
}
