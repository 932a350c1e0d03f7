// transport/: moving messages over stream sockets: the receiver and the socket
// wrappers, raw messages and file transfer, the wait queue in which replies wait
// for their requesters, and the names of the command codes.
//
// Reading whole messages from a stream socket, and the socket wrappers for a
// receive with a time-out and a send of a whole block.
#include <zavrin/crypto.h>
#include <zavrin/message.h>

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>

#include "coding.h"
#include "message/message_layout.h"
#include "port/thread.h"
#include "transport/framer.h"

namespace zavrin {

namespace {

// poll takes a signed millisecond count: longer waits go in pieces.
constexpr DWORD kLongestPoll = INT_MAX;

// Waits until the socket is ready for events or the time-out runs out, resuming
// after signals with what is left of the time-out. 1 ready, 0 time-out, -1 the
// wait failed.
int WaitFor(SOCKET sock, short events, DWORD timeout) {
  DWORD start = GetTickCount();
  DWORD left = timeout;
  for (;;) {
    struct pollfd pfd = {sock, events, 0};
    int wait =
        timeout == INFINITE ? -1 : static_cast<int>(left < kLongestPoll ? left : kLongestPoll);
    int rc = poll(&pfd, 1, wait);
    if (rc > 0) return 1;
    if (rc < 0 && errno != EINTR) return -1;
    if (timeout == INFINITE) continue;
    left = ReduceTimeout(timeout, TicksSince(start, GetTickCount()));
    if (rc == 0 && left == 0) return 0;
  }
}

// Whether recv on the socket returns at once when there is nothing to take.
bool NonBlocking(SOCKET sock) {
  int mode = fcntl(sock, F_GETFL);
  return mode != -1 && (mode & O_NONBLOCK) != 0;
}

// How a receive goes about an empty socket.
enum class Empty {
  kWait,         // wait for data, whatever the socket's mode
  kWaitFirst,    // as kWait, and the socket is likely empty: wait before receiving
  kAsTheSocket,  // a non-blocking socket, or MSG_DONTWAIT, returns -1 (EAGAIN) at once
};

// One receive of at most length bytes (length at most INT_MAX). Without a
// time-out the receive itself waits. With one, data that is there already is
// taken without a wait; otherwise wait, then take it. A socket found readable
// may be empty again when another thread read first: wait anew.
int Receive(SOCKET sock, void *buffer, size_t length, int flags, DWORD timeout, Empty empty) {
  int noWait = timeout == INFINITE ? 0 : MSG_DONTWAIT;
  DWORD start = GetTickCount();
  // Waiting first spares the receive that would find nothing: with a time-out
  // that is a recv, a poll and a recv where a blocking loop makes one recv.
  bool waitFirst = empty == Empty::kWaitFirst && timeout != INFINITE;
  for (;;) {
    if (waitFirst) {
      DWORD left = ReduceTimeout(timeout, TicksSince(start, GetTickCount()));
      if (WaitFor(sock, POLLIN, left) != 1) return -2;
    }
    ssize_t n = recv(sock, buffer, length, flags | noWait);
    if (n >= 0) return static_cast<int>(n);
    waitFirst = false;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    if (empty == Empty::kAsTheSocket && ((flags & MSG_DONTWAIT) != 0 || NonBlocking(sock))) {
      errno = EAGAIN;
      return -1;
    }
    waitFirst = true;
  }
}

// What this thread's receiver saw last on a socket. Only hints: whatever they
// say, the receive is correct; they choose the cheaper way.
struct LastReceive {
  SOCKET sock = INVALID_SOCKET;
  // A short receive left the socket empty: the next receive waits first.
  bool drained = false;
  // The last message was large: the next one's header is received straight
  // into the caller's buffer, so that a run of large messages is not copied
  // from the receive buffer a second time.
  bool large = false;
};
thread_local LastReceive lastReceive;

}  // namespace

}  // namespace zavrin

using namespace zavrin;

int RecvEx(SOCKET sock, void *buffer, size_t length, int flags, DWORD timeout) {
  if (sock == INVALID_SOCKET) return -1;
  if (length > INT_MAX) length = INT_MAX;  // the result must hold the count
  return Receive(sock, buffer, length, flags, timeout, Empty::kAsTheSocket);
}

int SendEx(SOCKET sock, const void *data, size_t length, int flags) {
  if (length > INT_MAX) return -1;  // the result could not say that all went out
  const BYTE *next = static_cast<const BYTE *>(data);
  size_t left = length;
  while (left > 0) {
    ssize_t n = send(sock, next, left, flags | MSG_NOSIGNAL);
    if (n > 0) {
      next += n;
      left -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (WaitFor(sock, POLLOUT, INFINITE) == 1) continue;
      return -1;
    }
    return static_cast<int>(n);
  }
  return static_cast<int>(length);
}

namespace {

// The receive result that ends a call: 3 for a time-out, else the result itself.
int Ended(int received) {
  return received == -2 ? 3 : received;
}

// The message's header, or as much of it as the caller's buffer holds.
void CopyHeader(BYTE *out, const Framer &framer) {
  memcpy(out, framer.header, framer.maxSize < kMsgHeaderSize ? framer.maxSize : kMsgHeaderSize);
}

}  // namespace

int RecvZVCPMessage(SOCKET sock, CSCP_MESSAGE *msg, RECEIVE_BUFFER *rb, DWORD maxSize,
                    ENCRYPTION_CONTEXT **context, BYTE *decryptionBuffer, DWORD timeout) {
  if (msg == nullptr) {
    rb->bytesBuffered = 0;
    rb->readPos = 0;
    return 0;
  }
  // Counters that do not describe bytes inside the buffer (a record that was
  // never reset) are taken for an empty buffer rather than read beyond it.
  if (rb->readPos > RECEIVE_BUFFER_SIZE || rb->bytesBuffered > RECEIVE_BUFFER_SIZE - rb->readPos) {
    rb->bytesBuffered = 0;
    rb->readPos = 0;
  }
  // The receive buffer stages the bytes; the message goes to the caller's buffer.
  Framer framer(maxSize);
  framer.staging = rb->buffer;
  framer.stagingSize = RECEIVE_BUFFER_SIZE;
  framer.readPos = rb->readPos;
  framer.bytesBuffered = rb->bytesBuffered;
  framer.out = reinterpret_cast<BYTE *>(msg);

  int ended = 0;
  Framer::Step step;
  while ((step = framer.Advance()) == Framer::kMoreBytes) {
    bool known = lastReceive.sock == sock;
    DWORD room;
    BYTE *at = framer.Room(&room, known && lastReceive.large);
    // The receiver waits for its message whatever the socket's mode.
    Empty empty = known && lastReceive.drained ? Empty::kWaitFirst : Empty::kWait;
    int r = sock == INVALID_SOCKET ? -1 : Receive(sock, at, room, 0, timeout, empty);
    lastReceive.large = known && lastReceive.large;
    lastReceive.sock = sock;
    lastReceive.drained = r > 0 && static_cast<DWORD>(r) < room;
    if (r <= 0) {
      ended = Ended(r);
      break;
    }
    framer.Received(static_cast<DWORD>(r));
  }
  rb->readPos = framer.readPos;
  rb->bytesBuffered = framer.bytesBuffered;
  if (step == Framer::kBadSize) {
    CopyHeader(framer.out, framer);
    // Nothing tells where the next message starts.
    rb->bytesBuffered = 0;
    rb->readPos = 0;
    return ZVCP_RECV_BAD_SIZE;
  }
  if (framer.skip) CopyHeader(framer.out, framer);
  if (step != Framer::kComplete) return ended;
  if (framer.skip) return 1;
  if (lastReceive.sock != sock) lastReceive = LastReceive{sock, false, false};
  lastReceive.large = framer.size >= kDirectReceive;
  return FinishMessage(framer.out, framer.size, context, decryptionBuffer);
}
