// The floor of this machine for answering echo requests: one thread, epoll, and
// nothing but framing and answering. Each message comes back with its code
// turned into CMD_REQUEST_COMPLETED; a session key request is answered as the
// agent does, and an encrypted session costs the decryption and encryption of
// each message and nothing more. zvcp bench runs against it and against the
// agent in the same run (run.sh).
//   echo_floor HOST PORT     prints "listening on HOST:PORT", serves until killed
#include <zavrin.h>

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "coding.h"

namespace {

constexpr uint32_t kMaxMessage = 4 * 1024 * 1024;

struct Connection {
  int fd;
  std::vector<uint8_t> pending;  // the start of a message not yet whole
  std::vector<uint8_t> output;   // answers the socket has not taken
  ENCRYPTION_CONTEXT *context = nullptr;
  bool watchingOut = false;  // EPOLLOUT is watched
};

int epollFd;
uint8_t readBuffer[256 * 1024];
std::vector<uint8_t> scratch, work;  // for decrypting a message

void Close(Connection *c) {
  epoll_ctl(epollFd, EPOLL_CTL_DEL, c->fd, nullptr);
  close(c->fd);
  DestroyEncryptionContext(c->context);
  delete c;
}

// Answers collect behind what waits; Flush sends them in one go after each read.
bool Send(Connection *c, const void *data, size_t size) {
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  c->output.insert(c->output.end(), bytes, bytes + size);
  return true;
}

bool SendWire(Connection *c, CSCP_MESSAGE *wire, bool plain) {
  if (c->context == nullptr || plain) return Send(c, wire, ntohl(wire->size));
  ENCRYPTED_MESSAGE *e = CSCPEncryptMessage(c->context, wire);
  bool ok = e != nullptr && Send(c, e, ntohl(e->size));
  free(e);
  return ok;
}

bool Answer(Connection *c, uint8_t *message, uint32_t size) {
  if (zavrin::ReadBE16(message) == CMD_ENCRYPTED_MESSAGE) {
    if (c->context == nullptr) return false;
    scratch.assign(message, message + size);
    scratch.resize(size + 16);
    work.resize(size + 16);
    if (!CSCPDecryptMessage(c->context, reinterpret_cast<ENCRYPTED_MESSAGE *>(scratch.data()),
                            work.data()))
      return false;
    message = scratch.data();
    size = zavrin::ReadBE32(message + 4);
  }
  uint16_t code = zavrin::ReadBE16(message);
  if (code == CMD_REQUEST_SESSION_KEY) {
    CSCPMessage request(reinterpret_cast<CSCP_MESSAGE *>(message), ZVCP_PROTOCOL_VERSION);
    CSCPMessage *answer = nullptr;
    ENCRYPTION_CONTEXT *made = nullptr;
    DWORD result = SetupEncryptionContext(&request, &made, &answer, nullptr, ZVCP_PROTOCOL_VERSION);
    CSCP_MESSAGE *wire = answer != nullptr ? answer->CreateMessage() : nullptr;
    bool ok = wire != nullptr && SendWire(c, wire, true);
    free(wire);
    delete answer;
    if (result == RESULT_OK) {
      DestroyEncryptionContext(c->context);
      c->context = made;
    }
    return ok;
  }
  zavrin::WriteBE16(message, CMD_REQUEST_COMPLETED);
  return SendWire(c, reinterpret_cast<CSCP_MESSAGE *>(message), false);
}

// Answers every whole message in data and returns how many bytes it used.
bool Frame(Connection *c, uint8_t *data, size_t size, size_t *used) {
  size_t at = 0;
  while (size - at >= 16) {
    uint32_t length = zavrin::ReadBE32(data + at + 4);
    if (length < 16 || length > kMaxMessage) return false;
    if (size - at < length) break;
    if (!Answer(c, data + at, length)) return false;
    at += length;
  }
  *used = at;
  return true;
}

// Sends what waits; watches for room while some of it stays.
bool Flush(Connection *c) {
  size_t sent = 0;
  while (sent < c->output.size()) {
    ssize_t n =
        send(c->fd, c->output.data() + sent, c->output.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EAGAIN) break;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  c->output.erase(c->output.begin(), c->output.begin() + static_cast<long>(sent));
  if (c->output.empty()) std::vector<uint8_t>().swap(c->output);
  if (c->watchingOut != !c->output.empty()) {
    c->watchingOut = !c->watchingOut;
    epoll_event e = {c->watchingOut ? EPOLLIN | EPOLLOUT : EPOLLIN, {c}};
    epoll_ctl(epollFd, EPOLL_CTL_MOD, c->fd, &e);
  }
  return true;
}

bool Read(Connection *c) {
  ssize_t n = recv(c->fd, readBuffer, sizeof(readBuffer), MSG_DONTWAIT);
  if (n < 0 && errno == EAGAIN) return true;
  if (n <= 0) return false;
  size_t used = 0;
  if (c->pending.empty()) {
    if (!Frame(c, readBuffer, static_cast<size_t>(n), &used)) return false;
    c->pending.assign(readBuffer + used, readBuffer + n);
  } else {
    c->pending.insert(c->pending.end(), readBuffer, readBuffer + n);
    if (!Frame(c, c->pending.data(), c->pending.size(), &used)) return false;
    c->pending.erase(c->pending.begin(), c->pending.begin() + static_cast<long>(used));
  }
  return Flush(c);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    fputs("usage: echo_floor HOST PORT\n", stderr);
    return 1;
  }
  signal(SIGPIPE, SIG_IGN);
  rlimit limit;
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  InitCryptoLib(0xF);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(atoi(argv[2])));
  if (inet_pton(AF_INET, argv[1], &address.sin_addr) != 1) return 1;
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  socklen_t length = sizeof(address);
  if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
      listen(listener, SOMAXCONN) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
    perror("echo_floor");
    return 1;
  }
  printf("listening on %s:%u\n", argv[1], ntohs(address.sin_port));
  fflush(stdout);
  epollFd = epoll_create1(EPOLL_CLOEXEC);
  epoll_event e = {EPOLLIN, {nullptr}};
  epoll_ctl(epollFd, EPOLL_CTL_ADD, listener, &e);
  epoll_event events[256];
  for (;;) {
    int n = epoll_wait(epollFd, events, 256, -1);
    for (int i = 0; i < n; i++) {
      Connection *c = static_cast<Connection *>(events[i].data.ptr);
      if (c == nullptr) {
        int fd;
        while ((fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
          setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
          epoll_event in = {EPOLLIN, {new Connection{fd, {}, {}, nullptr, false}}};
          epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &in);
        }
        continue;
      }
      bool ok = true;
      if (events[i].events & EPOLLOUT) ok = Flush(c);
      if (ok && (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))) ok = Read(c);
      if (!ok) Close(c);
    }
  }
}
