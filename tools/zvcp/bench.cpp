// zvcp bench: the protocol's load generator. Opens many connections from event
// loops (one thread per core), agrees a session key on each when asked, then has
// every connection send its echo requests at the same moment and measures each
// answer's latency.
#include <arpa/inet.h>
#include <errno.h>
#include <getopt.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "loop.h"
#include "zvcp.h"

namespace zvcp {

namespace {

// Connections being opened at once by one loop: more would overflow the
// peer's listen backlog, and a dropped SYN costs a second.
constexpr int kConnectWindow = 256;

uint64_t NowUs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000 + static_cast<uint64_t>(now.tv_nsec) / 1000;
}

struct BenchOptions {
  Endpoint to;
  long connections = 1;
  long requests = 1;  // per connection
  long pipeline = 1;
  long size = 64;
  long seconds = 60;  // the whole run at most
  long hold = 0;      // seconds to keep the connections open at the end
  long threads = 0;
  bool encrypt = false;
};

// What every loop shares; the counters are read by the main thread.
struct BenchShared {
  BenchOptions options;
  sockaddr_storage address;
  RSA *key = nullptr;
  std::vector<BYTE> keyRequest;
  std::atomic<long> held{0}, answered{0}, finished{0};
  std::atomic<long> connectErrors{0}, keyErrors{0}, replyErrors{0}, dropped{0};
};

enum ClientState { kConnecting, kKeying, kReady, kSending, kDone, kClosed };

struct BenchLoop;

// One connection, all of its state.
struct Client {
  Watch watch;
  BenchLoop *home = nullptr;
  ZVCP_STREAM *stream = nullptr;
  ENCRYPTION_CONTEXT *context = nullptr;
  ClientState state = kConnecting;
  long sent = 0, answered = 0;
  std::vector<uint64_t> sentAt;  // by id modulo the pipeline depth
  std::vector<BYTE> output;      // bytes the socket has not taken
  uint32_t events = 0;
};

struct BenchLoop {
  EventLoop loop;
  BenchShared *shared = nullptr;
  long toOpen = 0;  // connections not yet started
  int connecting = 0;
  std::vector<Client *> clients;
  std::vector<BYTE> request;        // the echo request, id 0
  std::vector<uint32_t> latencies;  // microseconds
  std::thread thread;
};

void OnClientEvents(void *owner, uint32_t events);

void WatchClient(Client *c, uint32_t events) {
  if (c->events == events) return;
  c->events = events;
  c->home->loop.Modify(&c->watch, events);
}

void CloseClient(Client *c) {
  if (c->state == kClosed) return;
  BenchShared *s = c->home->shared;
  // What it did not get back counts as unanswered.
  if (c->state != kDone) s->finished++;
  if (c->state == kReady || c->state == kSending) s->dropped++;
  if (c->state == kReady || c->state == kSending || c->state == kDone) s->held--;
  c->home->loop.Remove(&c->watch);
  // A reset rather than an orderly close: no TIME_WAIT left behind to exhaust
  // the ports of the next run.
  linger now = {1, 0};
  setsockopt(c->watch.fd, SOL_SOCKET, SO_LINGER, &now, sizeof(now));
  close(c->watch.fd);
  c->state = kClosed;
  ZVCPStreamDestroy(c->stream);
  c->stream = nullptr;
  DestroyEncryptionContext(c->context);
  c->context = nullptr;
  std::vector<BYTE>().swap(c->output);
}

bool Flush(Client *c) {
  size_t done = 0;
  while (done < c->output.size()) {
    ssize_t n = send(c->watch.fd, c->output.data() + done, c->output.size() - done,
                     MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  c->output.erase(c->output.begin(), c->output.begin() + static_cast<long>(done));
  WatchClient(c, EPOLLIN | (c->output.empty() ? 0u : static_cast<uint32_t>(EPOLLOUT)));
  return true;
}

void QueueBytes(Client *c, const void *data, size_t size) {
  const BYTE *bytes = static_cast<const BYTE *>(data);
  c->output.insert(c->output.end(), bytes, bytes + size);
}

// Queues the next echo request, encrypted when the session has a key.
bool QueueRequest(Client *c) {
  std::vector<BYTE> &wire = c->home->request;
  c->sent++;
  CSCP_MESSAGE *m = reinterpret_cast<CSCP_MESSAGE *>(wire.data());
  m->id = htonl(static_cast<DWORD>(c->sent));
  c->sentAt[static_cast<size_t>(c->sent) % c->sentAt.size()] = NowUs();
  if (c->context == nullptr) {
    QueueBytes(c, wire.data(), wire.size());
    return true;
  }
  ENCRYPTED_MESSAGE *e = CSCPEncryptMessage(c->context, m);
  if (e == nullptr) return false;
  QueueBytes(c, e, ntohl(e->size));
  free(e);
  return true;
}

void StartConnects(BenchLoop *l);

void MarkReady(Client *c) {
  c->state = kReady;
  c->home->shared->held++;
}

// The key exchange's answer; false when the session cannot be encrypted.
bool TakeSessionKey(Client *c, CSCP_MESSAGE *m) {
  if (ntohs(m->code) != CMD_SESSION_KEY) return false;
  CSCPMessage answer(m, ZVCP_PROTOCOL_VERSION);
  DWORD result = SetupEncryptionContext(&answer, &c->context, nullptr, c->home->shared->key,
                                        ZVCP_PROTOCOL_VERSION);
  return result == RESULT_OK;
}

// An echo answer: in order, with the id of the oldest request in flight.
bool TakeAnswer(Client *c, CSCP_MESSAGE *m) {
  BenchLoop *l = c->home;
  long expected = c->answered + 1;
  if (c->state != kSending || ntohs(m->code) != CMD_REQUEST_COMPLETED ||
      ntohl(m->id) != static_cast<DWORD>(expected))
    return false;
  uint64_t sentAt = c->sentAt[static_cast<size_t>(expected) % c->sentAt.size()];
  l->latencies.push_back(static_cast<uint32_t>(std::min<uint64_t>(NowUs() - sentAt, UINT32_MAX)));
  c->answered++;
  l->shared->answered++;
  if (c->sent < l->shared->options.requests) return QueueRequest(c);
  if (c->answered == l->shared->options.requests) {
    c->state = kDone;
    l->shared->finished++;
  }
  return true;
}

void ReadClient(Client *c) {
  BenchShared *s = c->home->shared;
  size_t room = 0;
  BYTE *into = ZVCPStreamReserve(c->stream, &room);
  ssize_t n = into == nullptr ? -1 : recv(c->watch.fd, into, room, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (n <= 0) {
    if (c->state == kKeying) s->keyErrors++;
    return CloseClient(c);
  }
  ZVCPStreamCommit(c->stream, static_cast<size_t>(n));
  for (;;) {
    CSCP_MESSAGE *m = nullptr;
    int r = ZVCPStreamNext(c->stream, &m, &c->context);
    if (r == 0) break;
    bool ok = r >= 16;
    if (ok && c->state == kKeying) {
      ok = TakeSessionKey(c, m);
      if (ok) MarkReady(c);
      if (!ok) s->keyErrors++;
    } else if (ok) {
      ok = TakeAnswer(c, m);
      if (!ok) s->replyErrors++;
    } else {
      s->replyErrors++;
    }
    if (!ok) return CloseClient(c);
  }
  if (!Flush(c)) CloseClient(c);
}

void OnConnected(Client *c) {
  BenchLoop *l = c->home;
  l->connecting--;
  int error = 0;
  socklen_t length = sizeof(error);
  getsockopt(c->watch.fd, SOL_SOCKET, SO_ERROR, &error, &length);
  if (error != 0) {
    l->shared->connectErrors++;
    CloseClient(c);
    return StartConnects(l);
  }
  int one = 1;
  setsockopt(c->watch.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  if (l->shared->options.encrypt) {
    c->state = kKeying;
    QueueBytes(c, l->shared->keyRequest.data(), l->shared->keyRequest.size());
    if (!Flush(c)) CloseClient(c);
  } else {
    MarkReady(c);
    WatchClient(c, EPOLLIN);
  }
  StartConnects(l);
}

void OnClientEvents(void *owner, uint32_t events) {
  Client *c = static_cast<Client *>(owner);
  if (c->state == kClosed) return;
  if (c->state == kConnecting) return OnConnected(c);
  if ((events & EPOLLOUT) && !Flush(c)) return CloseClient(c);
  if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) ReadClient(c);
}

// Starts connections until the window is full or none are left to open.
void StartConnects(BenchLoop *l) {
  BenchShared *s = l->shared;
  while (l->connecting < kConnectWindow && l->toOpen > 0) {
    l->toOpen--;
    int fd = socket(s->address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int rc = fd < 0 ? -1
                    : connect(fd, reinterpret_cast<const sockaddr *>(&s->address),
                              AddressLength(s->address));
    if (fd < 0 || (rc != 0 && errno != EINPROGRESS)) {
      if (fd >= 0) close(fd);
      s->connectErrors++;
      s->finished++;
      continue;
    }
    Client *c = new Client;
    c->home = l;
    c->watch = Watch{fd, c, OnClientEvents};
    c->stream = ZVCPStreamCreate(kMaxMessage);
    c->sentAt.resize(static_cast<size_t>(s->options.pipeline));
    c->events = EPOLLOUT;
    l->clients.push_back(c);
    l->connecting++;
    l->loop.Add(&c->watch, c->events);
  }
}

// Every held connection sends its first requests: as many as the pipeline takes.
void StartRequests(BenchLoop *l) {
  const BenchOptions &o = l->shared->options;
  for (Client *c : l->clients) {
    if (c->state != kReady) continue;
    c->state = kSending;
    if (o.requests == 0) {
      c->state = kDone;
      l->shared->finished++;
      continue;
    }
    bool ok = true;
    while (ok && c->sent < std::min(o.pipeline, o.requests)) ok = QueueRequest(c);
    if (!ok || !Flush(c)) CloseClient(c);
  }
}

void CloseAll(BenchLoop *l) {
  for (Client *c : l->clients) {
    CloseClient(c);
    delete c;
  }
  l->clients.clear();
}

uint32_t Percentile(const std::vector<uint32_t> &sorted, double fraction) {
  if (sorted.empty()) return 0;
  size_t at = static_cast<size_t>(fraction * static_cast<double>(sorted.size()));
  return sorted[std::min(at, sorted.size() - 1)];
}

double Seconds(uint64_t fromUs, uint64_t toUs) {
  return static_cast<double>(toUs - fromUs) / 1e6;
}

// Waits, showing progress on a terminal, until done() or the run's deadline.
template <typename Done>
bool WaitFor(Done done, uint64_t deadlineUs, const BenchShared &s, bool show) {
  int ticks = 0;
  while (!done()) {
    if (NowUs() >= deadlineUs) return false;
    usleep(10000);
    if (show && ++ticks % 25 == 0) {
      fprintf(stderr, "\rheld %ld of %ld, answered %ld of %ld   ", s.held.load(),
              s.options.connections, s.answered.load(), s.options.connections * s.options.requests);
      fflush(stderr);
    }
  }
  return true;
}

const char kBenchHelp[] =
    "usage: zvcp bench --to HOST:PORT [--connections N] [--requests M] [--encrypt]\n"
    "                  [--pipeline P] [--size B] [--threads T] [--seconds S] [--hold S]\n"
    "Opens N connections (default 1) to an agent, with the session key exchange on\n"
    "each under --encrypt (one 1024-bit RSA key for all), then has every connection\n"
    "send M echo requests (default 1) with a payload of B bytes (default 64), at most\n"
    "P in flight at a time (default 1), all starting at the same moment. Prints the\n"
    "peers held, how long opening them took, requests per second, the latency\n"
    "percentiles p50, p99, p99.9 and the maximum, and the errors. The run ends after\n"
    "S seconds at most (default 60); --hold keeps the connections open S seconds at\n"
    "the end. One event-loop thread per core unless --threads says otherwise. The\n"
    "descriptor limit is raised to the hard limit. Exit status 3 on any error.\n";

bool ParseBenchOptions(int argc, char **argv, BenchOptions *o, int *status) {
  static const option longOptions[] = {{"to", required_argument, nullptr, 't'},
                                       {"connections", required_argument, nullptr, 'c'},
                                       {"requests", required_argument, nullptr, 'r'},
                                       {"pipeline", required_argument, nullptr, 'p'},
                                       {"size", required_argument, nullptr, 's'},
                                       {"threads", required_argument, nullptr, 'T'},
                                       {"seconds", required_argument, nullptr, 'S'},
                                       {"hold", required_argument, nullptr, 'H'},
                                       {"encrypt", no_argument, nullptr, 'e'},
                                       {"help", no_argument, nullptr, 'h'},
                                       {nullptr, 0, nullptr, 0}};
  struct Range {
    int option;
    long *value, low, high;
  } ranges[] = {{'c', &o->connections, 1, 1000000}, {'r', &o->requests, 0, 100000000},
                {'p', &o->pipeline, 1, 65536},      {'s', &o->size, 0, 1 << 20},
                {'T', &o->threads, 1, 256},         {'S', &o->seconds, 1, 86400},
                {'H', &o->hold, 0, 86400}};
  bool haveTo = false;
  *status = kExitUsage;
  for (int ch; (ch = getopt_long(argc, argv, "h", longOptions, nullptr)) != -1;) {
    if (ch == 'h') {
      fputs(kBenchHelp, stdout);
      *status = kExitOk;
      return false;
    }
    if (ch == 'e') {
      o->encrypt = true;
      continue;
    }
    if (ch == 't') {
      if (!ParseEndpoint(optarg, &o->to)) {
        Fail(kExitUsage, std::string("bad address: ") + optarg);
        return false;
      }
      haveTo = true;
      continue;
    }
    const Range *r = std::find_if(std::begin(ranges), std::end(ranges),
                                  [ch](const Range &x) { return x.option == ch; });
    char *end = nullptr;
    long value = r == std::end(ranges) ? 0 : strtol(optarg, &end, 10);
    if (r == std::end(ranges) || *optarg == '\0' || *end != '\0' || value < r->low ||
        value > r->high) {
      fputs(kBenchHelp, stderr);
      return false;
    }
    *r->value = value;
  }
  if (!haveTo || optind != argc) {
    fputs(kBenchHelp, stderr);
    return false;
  }
  return true;
}

// The echo request every connection sends, with id 0.
std::vector<BYTE> EchoRequest(long size) {
  CSCPMessage echo(ZVCP_PROTOCOL_VERSION);
  echo.SetCode(CMD_KEEPALIVE);
  std::vector<BYTE> payload(static_cast<size_t>(size));
  for (size_t i = 0; i < payload.size(); i++) payload[i] = static_cast<BYTE>(i * 7);
  echo.SetVariable(kVarPayload, payload.data(), static_cast<DWORD>(payload.size()));
  CSCP_MESSAGE *wire = echo.CreateMessage();
  std::vector<BYTE> bytes(reinterpret_cast<BYTE *>(wire),
                          reinterpret_cast<BYTE *>(wire) + ntohl(wire->size));
  free(wire);
  return bytes;
}

}  // namespace

int CmdBench(int argc, char **argv) {
  BenchShared s;
  int status;
  if (!ParseBenchOptions(argc, argv, &s.options, &status)) return status;
  const BenchOptions &o = s.options;
  std::string error;
  std::vector<sockaddr_storage> addresses;
  if (!Resolve(o.to, false, &addresses, &error)) return Fail(kExitPeer, error);
  s.address = addresses[0];
  int limit = RaiseDescriptorLimit();
  if (o.connections > limit - 32)
    return Fail(kExitUsage, "at most " + std::to_string(limit - 32) +
                                " connections under the descriptor limit of " +
                                std::to_string(limit));
  InitCryptoLib(0xF);
  if (o.encrypt) {
    s.key = MakeKey(1024);
    if (s.key == nullptr) return Fail(kExitInput, "cannot make an RSA key");
    CSCPMessage request(ZVCP_PROTOCOL_VERSION);
    PrepareKeyRequestMsg(&request, s.key);
    request.SetId(1);
    CSCP_MESSAGE *wire = request.CreateMessage();
    s.keyRequest.assign(reinterpret_cast<BYTE *>(wire),
                        reinterpret_cast<BYTE *>(wire) + ntohl(wire->size));
    free(wire);
  }
  long threads = o.threads > 0 ? o.threads : std::max(1u, std::thread::hardware_concurrency());
  threads = std::min(threads, o.connections);
  std::vector<std::unique_ptr<BenchLoop>> loops;
  for (long i = 0; i < threads; i++) {
    loops.emplace_back(new BenchLoop);
    BenchLoop *l = loops.back().get();
    l->shared = &s;
    l->toOpen = o.connections / threads + (i < o.connections % threads ? 1 : 0);
    l->request = EchoRequest(o.size);
    l->latencies.reserve(static_cast<size_t>(l->toOpen * std::min(o.requests, 1000L)));
  }
  printf(
      "bench %s: %ld connections, %ld requests each, pipeline %ld, %ld-byte payload, %s, %ld "
      "threads\n",
      Describe(o.to).c_str(), o.connections, o.requests, o.pipeline, o.size,
      o.encrypt ? "encrypted" : "plain", threads);
  fflush(stdout);
  bool show = isatty(STDERR_FILENO);
  uint64_t start = NowUs(), deadline = start + static_cast<uint64_t>(o.seconds) * 1000000;
  for (auto &l : loops) {
    BenchLoop *loop = l.get();
    loop->loop.Post([loop] { StartConnects(loop); });
    loop->thread = std::thread([loop] { loop->loop.Run(); });
  }
  auto opened = [&] { return s.held + s.connectErrors + s.keyErrors + s.dropped >= o.connections; };
  WaitFor(opened, deadline, s, show);
  uint64_t openedAt = NowUs();
  long held = s.held;
  for (auto &l : loops) {
    BenchLoop *loop = l.get();
    loop->loop.Post([loop] { StartRequests(loop); });
  }
  WaitFor([&] { return s.finished >= o.connections; }, deadline, s, show);
  uint64_t doneAt = NowUs();
  if (show) fputs("\r\033[K", stderr);
  long answered = s.answered;
  long errors = s.connectErrors + s.keyErrors + s.replyErrors + s.dropped;
  long unanswered = std::max(0L, held * o.requests - answered);
  std::string errorText =
      std::to_string(errors + unanswered) + " (connect " + std::to_string(s.connectErrors) +
      ", key " + std::to_string(s.keyErrors) + ", answer " + std::to_string(s.replyErrors) +
      ", dropped " + std::to_string(s.dropped) + ", unanswered " + std::to_string(unanswered) + ")";
  errors += unanswered;
  if (o.hold > 0) {
    printf("holding %ld connections for %ld s\n", s.held.load(), o.hold);
    fflush(stdout);
    sleep(static_cast<unsigned>(o.hold));
  }
  for (auto &l : loops) {
    BenchLoop *loop = l.get();
    loop->loop.Post([loop] { CloseAll(loop); });
    loop->loop.Stop();
    loop->thread.join();
  }
  std::vector<uint32_t> all;
  for (auto &l : loops) all.insert(all.end(), l->latencies.begin(), l->latencies.end());
  std::sort(all.begin(), all.end());
  double seconds = Seconds(openedAt, doneAt);
  printf("peers held: %ld of %ld, opened in %.3f s\n", held, o.connections,
         Seconds(start, openedAt));
  printf("requests: %ld answered in %.3f s, %.0f requests/s\n", answered, seconds,
         seconds > 0 ? static_cast<double>(answered) / seconds : 0.0);
  printf("latency ms: p50 %.3f p99 %.3f p999 %.3f max %.3f\n", Percentile(all, 0.5) / 1e3,
         Percentile(all, 0.99) / 1e3, Percentile(all, 0.999) / 1e3,
         (all.empty() ? 0 : all.back()) / 1e3);
  printf("errors: %s\n", errorText.c_str());
  if (s.key != nullptr) FreeKey(s.key);
  return errors == 0 ? kExitOk : kExitPeer;
}

}  // namespace zvcp
