// The agent: event loops (one thread per core at most) that accept connections
// and answer what the tool's conversation asks, and a small pool of threads for
// the one thing that blocks, the store's file writes.
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "loop.h"
#include "zvcp.h"

namespace zvcp {

namespace {

// Output a peer has not taken: past the first mark the agent stops reading
// from it (so that it cannot queue more), past the second it is dropped.
constexpr size_t kOutputPauseBytes = 256 * 1024;
constexpr size_t kOutputLimitBytes = 2 * static_cast<size_t>(kMaxMessage);
// File data waiting for the store: past this the agent stops reading the peer.
constexpr size_t kStorePauseBytes = 1024 * 1024;
// Descriptors kept back from the peers, for files being stored: this many, or
// an eighth of a smaller limit.
constexpr int kReservedDescriptors = 64;
constexpr unsigned kMaxLoops = 5;  // with the store's threads and main: 8 threads
constexpr unsigned kStoreThreads = 2;
constexpr uint64_t kAcceptRetryMs = 100;  // a paused listener looks again after this

struct AgentLoop;

// A file being received, handled only by the store's threads once created.
struct StoreFile {
  std::string path;
  int fd = -1;
  EVP_MD_CTX *sha1 = nullptr;
  QWORD size = 0;
  bool failed = false;
  BYTE digest[EVP_MAX_MD_SIZE] = {};
  unsigned digestLength = 0;
  bool refused = false;  // the peer was told; on the peer's loop only

  ~StoreFile() { EVP_MD_CTX_free(sha1); }
};

enum StoreStep { kStoreOpen, kStoreWrite, kStoreFinish, kStoreDrop };

struct Peer;

struct StoreJob {
  StoreStep step;
  std::shared_ptr<StoreFile> file;
  Peer *peer;  // told when done; null for a drop
  DWORD id;
  std::vector<BYTE> data;
  size_t queued = 0;  // bytes counted in the peer's storeQueued
  bool ok = false;
};

// One connection, all of its state.
struct Peer {
  Watch watch;
  Timer timer;
  AgentLoop *home = nullptr;
  Peer *prev = nullptr, *next = nullptr;  // the loop's peers
  ZVCP_STREAM *stream = nullptr;
  ENCRYPTION_CONTEXT *context = nullptr;
  int version = ZVCP_PROTOCOL_VERSION;
  std::vector<BYTE> output;  // bytes the socket has not taken, from outputSent on
  size_t outputSent = 0;
  uint64_t lastHeard = 0;     // last bytes received
  uint64_t stalledSince = 0;  // output waiting since, 0 when none waits
  std::shared_ptr<StoreFile> file;
  DWORD fileId = 0;
  size_t storeQueued = 0;
  int jobsPending = 0;
  uint32_t events = 0;    // what the loop watches for
  bool batching = false;  // answers collect in output while a read is handled
  bool finished = false;  // the peer sent its last byte: closed once its answers are out
  bool closed = false;

  size_t Waiting() const { return output.size() - outputSent; }
  // Finished and every answer out: time to close.
  bool Done() const { return finished && Waiting() == 0 && jobsPending == 0; }
};

// The store's threads. Jobs of one peer go to one thread, so they run in order.
class StoreWriters {
 public:
  void Start(unsigned threads);
  void Submit(StoreJob *job, const void *owner);
  void Stop();  // runs what is queued, then joins

 private:
  struct Lane {
    std::mutex lock;
    std::condition_variable ready;
    std::deque<StoreJob *> jobs;
    bool stopping = false;
    std::thread thread;
  };
  void Serve(Lane *lane);
  std::vector<std::unique_ptr<Lane>> lanes_;
};

struct AgentCore {
  AgentOptions options;
  std::vector<std::unique_ptr<AgentLoop>> loops;
  StoreWriters store;
  std::atomic<int> peers{0};
  int maxPeers = 0;
};

struct AgentLoop {
  EventLoop loop;
  AgentCore *core = nullptr;
  Watch listen;
  Timer retryAccept;
  bool accepting = false;
  Peer peers;  // sentinel
  std::thread thread;

  ~AgentLoop() {
    if (listen.fd >= 0) close(listen.fd);
  }
};

void OnPeerEvents(void *owner, uint32_t events);
void OnPeerTimer(void *owner);
void OnStoreDone(StoreJob *job);
void ClosePeer(Peer *p);

void FreePeer(void *owner) {
  Peer *p = static_cast<Peer *>(owner);
  ZVCPStreamDestroy(p->stream);
  DestroyEncryptionContext(p->context);
  delete p;
}

// ---- The store's threads ----

void RunStoreJob(StoreJob *job) {
  StoreFile *f = job->file.get();
  switch (job->step) {
    case kStoreOpen:
      f->fd = open(f->path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
      f->sha1 = EVP_MD_CTX_new();
      job->ok = f->fd >= 0 && f->sha1 != nullptr && EVP_DigestInit_ex(f->sha1, EVP_sha1(), nullptr);
      f->failed = !job->ok;
      break;
    case kStoreWrite: {
      if (f->failed) {
        job->ok = true;  // refused already
        break;
      }
      size_t done = 0;
      while (done < job->data.size()) {
        ssize_t n = write(f->fd, job->data.data() + done, job->data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
      }
      job->ok = done == job->data.size();
      f->failed = !job->ok;
      if (job->ok) {
        EVP_DigestUpdate(f->sha1, job->data.data(), done);
        f->size += done;
      }
      break;
    }
    case kStoreFinish:
      job->ok = !f->failed && EVP_DigestFinal_ex(f->sha1, f->digest, &f->digestLength);
      if (f->fd >= 0 && close(f->fd) != 0) job->ok = false;
      if (!job->ok && f->fd >= 0) unlink(f->path.c_str());
      f->fd = -1;
      break;
    case kStoreDrop:
      if (f->fd >= 0) {
        close(f->fd);
        f->fd = -1;
        unlink(f->path.c_str());
      }
      break;
  }
}

void StoreWriters::Start(unsigned threads) {
  for (unsigned i = 0; i < threads; i++) {
    lanes_.emplace_back(new Lane);
    Lane *lane = lanes_.back().get();
    lane->thread = std::thread([this, lane] {
      pthread_setname_np(pthread_self(), "zvcp-store");
      Serve(lane);
    });
  }
}

void StoreWriters::Serve(Lane *lane) {
  for (;;) {
    StoreJob *job;
    {
      std::unique_lock<std::mutex> hold(lane->lock);
      lane->ready.wait(hold, [lane] { return lane->stopping || !lane->jobs.empty(); });
      if (lane->jobs.empty()) return;
      job = lane->jobs.front();
      lane->jobs.pop_front();
    }
    RunStoreJob(job);
    job->data = std::vector<BYTE>();
    if (job->peer == nullptr) {
      delete job;
      continue;
    }
    AgentLoop *home = job->peer->home;
    home->loop.Post([job] { OnStoreDone(job); });
  }
}

void StoreWriters::Submit(StoreJob *job, const void *owner) {
  // The owner (the peer) picks the lane: its jobs, drops included, run in order.
  size_t index = (reinterpret_cast<uintptr_t>(owner) >> 4) % lanes_.size();
  Lane *lane = lanes_[index].get();
  {
    std::lock_guard<std::mutex> hold(lane->lock);
    lane->jobs.push_back(job);
  }
  lane->ready.notify_one();
}

void StoreWriters::Stop() {
  for (auto &lane : lanes_) {
    {
      std::lock_guard<std::mutex> hold(lane->lock);
      lane->stopping = true;
    }
    lane->ready.notify_one();
  }
  for (auto &lane : lanes_) lane->thread.join();
  lanes_.clear();
}

// ---- Output ----

void WatchFor(Peer *p, uint32_t events) {
  if (p->events == events || p->closed) return;
  p->events = events;
  p->home->loop.Modify(&p->watch, events);
}

// Reading stops while the peer has much output waiting or much file data
// waiting for the store: it cannot make the agent hold more.
void UpdateWatch(Peer *p) {
  bool read = !p->finished && p->Waiting() < kOutputPauseBytes && p->storeQueued < kStorePauseBytes;
  WatchFor(p, (read ? EPOLLIN | EPOLLRDHUP : 0u) | (p->Waiting() > 0 ? EPOLLOUT : 0u));
}

uint64_t PeerDeadline(const Peer *p) {
  const AgentOptions &o = p->home->core->options;
  uint64_t deadline = p->lastHeard + o.idleMs;
  if (p->stalledSince != 0 && p->stalledSince + o.unacknowledgedMs < deadline)
    deadline = p->stalledSince + o.unacknowledgedMs;
  return deadline;
}

// Output waits: the unacknowledged-data clock runs from the last progress.
void NoteWaiting(Peer *p, bool progress) {
  if (progress || p->stalledSince == 0) p->stalledSince = NowMs();
  if (PeerDeadline(p) < p->timer.deadline) p->home->loop.Arm(&p->timer, PeerDeadline(p));
  UpdateWatch(p);
}

// Sends what waits; false when the connection failed, or is done.
bool Flush(Peer *p) {
  size_t before = p->Waiting();
  while (p->Waiting() > 0) {
    ssize_t n = send(p->watch.fd, p->output.data() + p->outputSent, p->Waiting(),
                     MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n <= 0) return false;
    p->outputSent += static_cast<size_t>(n);
  }
  if (p->Waiting() > 0) {
    NoteWaiting(p, p->Waiting() < before);
    return true;
  }
  std::vector<BYTE>().swap(p->output);  // an idle peer holds no buffer
  p->outputSent = 0;
  p->stalledSince = 0;
  if (p->Done()) return false;
  UpdateWatch(p);
  return true;
}

// Queues the bytes behind what waits. Outside a batch of answers it sends at
// once what the socket takes; a batch goes out in one send at its end.
void SendBytes(Peer *p, const void *data, size_t size) {
  if (p->closed) return;
  if (p->Waiting() + size > kOutputLimitBytes) {
    ClosePeer(p);  // it does not read: dropped
    return;
  }
  const BYTE *bytes = static_cast<const BYTE *>(data);
  if (p->Waiting() > 0 || p->batching) {
    p->output.insert(p->output.end(), bytes, bytes + size);
    return;
  }
  // Nothing waits: whatever the socket takes is not copied.
  ssize_t n = send(p->watch.fd, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return ClosePeer(p);
  size_t sent = n > 0 ? static_cast<size_t>(n) : 0;
  if (sent == size) return;
  p->output.insert(p->output.end(), bytes + sent, bytes + size);
  NoteWaiting(p, sent > 0);
}

// The message, encrypted when the session has a key and plain is false.
void SendMessage(Peer *p, const CSCPMessage &msg, bool plain = false) {
  CSCP_MESSAGE *wire = msg.CreateMessage();
  if (wire == nullptr) return ClosePeer(p);
  if (p->context == nullptr || plain) {
    SendBytes(p, wire, ntohl(wire->size));
  } else {
    ENCRYPTED_MESSAGE *e = CSCPEncryptMessage(p->context, wire);
    if (e == nullptr)
      ClosePeer(p);
    else
      SendBytes(p, e, ntohl(e->size));
    free(e);
  }
  free(wire);
}

void SendResult(Peer *p, DWORD id, DWORD result) {
  CSCPMessage reply(p->version);
  reply.SetCode(CMD_REQUEST_COMPLETED);
  reply.SetId(id);
  reply.SetVariable(VAR_ID_RESULT_CODE, result);
  SendMessage(p, reply);
}

// ---- The conversation ----

void SubmitStoreJob(Peer *p, StoreStep step, std::vector<BYTE> data = {}) {
  StoreJob *job =
      new StoreJob{step, p->file, step == kStoreDrop ? nullptr : p, p->fileId, std::move(data)};
  if (job->peer != nullptr) {
    p->jobsPending++;
    job->queued = job->data.size();
    p->storeQueued += job->queued;
  }
  p->home->core->store.Submit(job, p);
}

void DropFile(Peer *p) {
  if (p->file == nullptr) return;
  SubmitStoreJob(p, kStoreDrop);
  p->file.reset();
}

// The last component of the name the peer sent, or "" when that is no file name.
std::string SafeName(const char *name) {
  std::string base = GetCleanFileName(name);
  if (base.empty() || base == "." || base == "..") return "";
  return base;
}

void AnswerVersionRequest(Peer *p, const CSCP_MESSAGE *m) {
  BYTE caps[16] = {};
  CSCP_MESSAGE *answer = reinterpret_cast<CSCP_MESSAGE *>(caps);
  answer->code = htons(CMD_ZVCP_CAPS);
  answer->flags = htons(MSG_FLAG_HEADER_ONLY);
  answer->size = htonl(16);
  answer->id = m->id;
  answer->numVariables = htonl(static_cast<DWORD>(ZVCP_PROTOCOL_VERSION) << 24);
  SendBytes(p, caps, sizeof(caps));
}

// The session key request, answered as the responder; the answer goes plain.
void AnswerKeyRequest(Peer *p, CSCPMessage *request) {
  CSCPMessage *answer = nullptr;
  ENCRYPTION_CONTEXT *made = nullptr;
  DWORD result = AnswerSessionKeyRequest(request, &made, &answer, p->version, agentPolicy.ciphers,
                                         agentPolicy.knownKeys);
  if (answer != nullptr)
    SendMessage(p, *answer, true);
  else
    ClosePeer(p);
  delete answer;
  if (result != RESULT_OK || p->closed) {
    DestroyEncryptionContext(made);
    return;
  }
  DestroyEncryptionContext(p->context);
  p->context = made;
  LogSessionKey(p->watch.fd, made, false);
}

void AnswerEcho(Peer *p, CSCPMessage *request, DWORD id) {
  CSCPMessage reply(p->version);
  reply.SetCode(CMD_REQUEST_COMPLETED);
  reply.SetId(id);
  reply.SetVariable(VAR_ID_RESULT_CODE, static_cast<DWORD>(0));
  std::vector<BYTE> payload(request->GetVariableBinary(kVarPayload, nullptr, 0));
  request->GetVariableBinary(kVarPayload, payload.data(), static_cast<DWORD>(payload.size()));
  reply.SetVariable(kVarPayload, payload.data(), static_cast<DWORD>(payload.size()));
  SendMessage(p, reply);
}

// A file offer: the store opens the file and the answer follows from there.
void AnswerFileOffer(Peer *p, CSCPMessage *request, DWORD id) {
  DropFile(p);
  char name[1024];
  std::string base = SafeName(request->GetVariableStr(kVarFileName, name, sizeof(name)));
  const std::string &store = p->home->core->options.store;
  if (store.empty() || base.empty()) return SendResult(p, id, kResultRefused);
  p->file = std::make_shared<StoreFile>();
  p->file->path = store + "/" + base;
  p->fileId = id;
  SubmitStoreJob(p, kStoreOpen);
}

// A raw message: a chunk or the abort of the file being received.
void TakeFileChunk(Peer *p, const CSCP_MESSAGE *m) {
  DWORD id = ntohl(m->id);
  if (p->file == nullptr || id != p->fileId) return;
  WORD code = ntohs(m->code);
  if (code == CMD_ABORT_FILE_TRANSFER) return DropFile(p);
  if (code != CMD_FILE_DATA) return;
  DWORD length = ntohl(m->numVariables);
  if (length > ntohl(m->size) - 16) {
    DropFile(p);
    return SendResult(p, id, kResultRefused);
  }
  const BYTE *data = reinterpret_cast<const BYTE *>(m) + 16;
  SubmitStoreJob(p, kStoreWrite, std::vector<BYTE>(data, data + length));
  if (ntohs(m->flags) & MSG_FLAG_END_OF_FILE) {
    SubmitStoreJob(p, kStoreFinish);
    p->file.reset();
  }
}

// What the store did, back on the peer's loop.
void OnStoreDone(StoreJob *job) {
  std::unique_ptr<StoreJob> owned(job);
  Peer *p = job->peer;
  p->jobsPending--;
  p->storeQueued -= job->queued;
  if (p->closed) {
    if (p->jobsPending == 0) FreePeer(p);
    return;
  }
  StoreFile *f = job->file.get();
  // A file is refused once, whichever of its steps failed first.
  if (!job->ok && !f->refused) {
    f->refused = true;
    if (p->file == job->file) DropFile(p);
    SendResult(p, job->id, kResultRefused);
  } else if (job->ok && job->step == kStoreOpen) {
    SendResult(p, job->id, 0);
  } else if (job->ok && job->step == kStoreFinish) {
    CSCPMessage done(p->version);
    done.SetCode(CMD_REQUEST_COMPLETED);
    done.SetId(job->id);
    done.SetVariable(VAR_ID_RESULT_CODE, static_cast<DWORD>(0));
    done.SetVariable(kVarFileSize, f->size);
    done.SetVariable(kVarFileSha1, f->digest, f->digestLength);
    SendMessage(p, done);
  }
  if (p->Done())
    ClosePeer(p);
  else if (!p->closed)
    UpdateWatch(p);
}

void HandleMessage(Peer *p, CSCP_MESSAGE *m) {
  WORD code = ntohs(m->code);
  if (code == CMD_GET_ZVCP_CAPS) return AnswerVersionRequest(p, m);
  if (ntohs(m->flags) & MSG_FLAG_RAW) return TakeFileChunk(p, m);
  DWORD id = ntohl(m->id);
  CSCPMessage request(m, p->version);
  if (code == CMD_REQUEST_SESSION_KEY)
    AnswerKeyRequest(p, &request);
  else if (code == CMD_KEEPALIVE)
    AnswerEcho(p, &request, id);
  else if (code == CMD_TRANSFER_FILE)
    AnswerFileOffer(p, &request, id);
  else
    SendResult(p, id, RESULT_UNSUPPORTED_MESSAGE);
}

// ---- Connections ----

// Takes what the socket has and answers every whole message in it.
void ReadPeer(Peer *p) {
  size_t room = 0;
  BYTE *into = ZVCPStreamReserve(p->stream, &room);
  if (into == nullptr) return ClosePeer(p);
  ssize_t n = recv(p->watch.fd, into, room, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (n == 0 && (p->Waiting() > 0 || p->jobsPending > 0)) {
    // The peer has said all it will say: its answers still go out.
    p->finished = true;
    return UpdateWatch(p);
  }
  if (n <= 0) return ClosePeer(p);
  ZVCPStreamCommit(p->stream, static_cast<size_t>(n));
  p->lastHeard = NowMs();
  p->batching = true;
  while (!p->closed) {
    CSCP_MESSAGE *m = nullptr;
    int r = ZVCPStreamNext(p->stream, &m, &p->context);
    if (r == 0) break;
    if (r == 1 || r == 2) continue;   // too large, or not decryptable: dropped
    if (r < 16) return ClosePeer(p);  // a bad size: the stream is lost
    HandleMessage(p, m);
  }
  p->batching = false;
  if (p->closed) return;
  if (!Flush(p)) return ClosePeer(p);  // also stops reading while file data waits for the store
}

void OnPeerEvents(void *owner, uint32_t events) {
  Peer *p = static_cast<Peer *>(owner);
  if (p->closed) return;
  if (events & EPOLLERR) return ClosePeer(p);
  if ((events & EPOLLOUT) && !Flush(p)) return ClosePeer(p);
  if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) {
    if (p->events & EPOLLIN)
      ReadPeer(p);
    else if (events & EPOLLHUP)
      ClosePeer(p);
  }
}

// The idle and the unacknowledged-data time-outs, on one timer per peer.
void OnPeerTimer(void *owner) {
  Peer *p = static_cast<Peer *>(owner);
  uint64_t deadline = PeerDeadline(p);
  if (deadline <= NowMs()) return ClosePeer(p);
  p->home->loop.Arm(&p->timer, deadline);
}

void StartAccepting(AgentLoop *l);

void ClosePeer(Peer *p) {
  if (p->closed) return;
  p->closed = true;
  AgentLoop *l = p->home;
  l->loop.Remove(&p->watch);
  l->loop.Cancel(&p->timer);
  close(p->watch.fd);
  p->prev->next = p->next;
  p->next->prev = p->prev;
  DropFile(p);
  std::vector<BYTE>().swap(p->output);
  l->core->peers--;
  if (!l->accepting) StartAccepting(l);
  // Its events may still be in the loop's batch: freed after it, or once the
  // store has answered every job.
  if (p->jobsPending == 0) l->loop.Defer(FreePeer, p);
}

void AddPeer(AgentLoop *l, int fd) {
  Peer *p = new Peer;
  p->stream = ZVCPStreamCreate(kMaxMessage);
  p->home = l;
  p->watch = Watch{fd, p, OnPeerEvents};
  p->timer.owner = p;
  p->timer.callback = OnPeerTimer;
  p->lastHeard = NowMs();
  p->events = EPOLLIN | EPOLLRDHUP;
  if (p->stream == nullptr || !l->loop.Add(&p->watch, p->events)) {
    close(fd);
    FreePeer(p);
    return;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  unsigned timeout = l->core->options.unacknowledgedMs;
  setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, sizeof(timeout));
  p->next = &l->peers;
  p->prev = l->peers.prev;
  l->peers.prev->next = p;
  l->peers.prev = p;
  l->core->peers++;
  l->loop.Arm(&p->timer, PeerDeadline(p));
}

void StopAccepting(AgentLoop *l) {
  if (!l->accepting) return;
  l->accepting = false;
  l->loop.Remove(&l->listen);
  l->loop.Arm(&l->retryAccept, NowMs() + kAcceptRetryMs);
}

// Accepts until the backlog is empty, or pauses at the descriptor limit: the
// connections wait in the backlog while the peers the agent has are served.
void OnListenerReady(void *owner, uint32_t) {
  AgentLoop *l = static_cast<AgentLoop *>(owner);
  while (l->accepting) {
    if (l->core->peers >= l->core->maxPeers) return StopAccepting(l);
    int fd = accept4(l->listen.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      AddPeer(l, fd);
      continue;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) StopAccepting(l);
    return;  // EAGAIN, or the listener is gone
  }
}

void StartAccepting(AgentLoop *l) {
  if (l->accepting || l->listen.fd < 0 || l->core->peers >= l->core->maxPeers) return;
  l->loop.Cancel(&l->retryAccept);
  l->accepting = l->loop.Add(&l->listen, EPOLLIN, EPOLLEXCLUSIVE);
}

void OnAcceptRetry(void *owner) {
  AgentLoop *l = static_cast<AgentLoop *>(owner);
  StartAccepting(l);
  if (!l->accepting && l->listen.fd >= 0) l->loop.Arm(&l->retryAccept, NowMs() + kAcceptRetryMs);
}

void CloseAll(AgentLoop *l) {
  if (l->accepting) l->loop.Remove(&l->listen);
  l->accepting = false;
  l->loop.Cancel(&l->retryAccept);
  if (l->listen.fd >= 0) close(l->listen.fd);
  l->listen.fd = -1;
  while (l->peers.next != &l->peers) ClosePeer(l->peers.next);
}

int OpenDescriptors() {
  int count = 0;
  DIR *dir = opendir("/proc/self/fd");
  while (dir != nullptr && readdir(dir) != nullptr) count++;
  if (dir != nullptr) closedir(dir);
  return count - 3;  // ".", ".." and the directory's own
}

// A second listening socket on the address of the first (SO_REUSEPORT): the
// kernel spreads new connections over the loops. -1 if the first cannot share.
int ShareListener(int listener) {
  sockaddr_storage address;
  socklen_t length = sizeof(address);
  if (getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) return -1;
  int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  if (fd < 0) return -1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof(one)) != 0 ||
      bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0 || listen(fd, SOMAXCONN) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

struct Agent::Impl : AgentCore {};

Agent::Agent() : impl_(new Impl) {}

Agent::~Agent() {
  Stop();
  delete impl_;
}

int RaiseDescriptorLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  return limit.rlim_cur > 1 << 30 ? 1 << 30 : static_cast<int>(limit.rlim_cur);
}

bool Agent::Start(int listener, const AgentOptions &options, std::string *error) {
  AgentCore *core = impl_;
  core->options = options;
  unsigned loops = options.threads;
  if (loops == 0) loops = std::thread::hardware_concurrency();
  if (loops == 0) loops = 1;
  if (loops > kMaxLoops) loops = kMaxLoops;
  int limit = RaiseDescriptorLimit();
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEPORT, &one, sizeof(one));
  for (unsigned i = 0; i < loops; i++) {
    core->loops.emplace_back(new AgentLoop);
    AgentLoop *l = core->loops.back().get();
    if (!l->loop.Ok()) {
      *error = std::string("epoll: ") + strerror(errno);
      if (i == 0) close(listener);
      core->loops.clear();
      return false;
    }
    l->core = core;
    l->peers.prev = l->peers.next = &l->peers;
    int fd = i == 0 ? listener : ShareListener(listener);
    // Where the listener cannot be shared, the loops take turns on the one.
    l->listen = Watch{fd >= 0 ? fd : dup(listener), l, OnListenerReady};
    fcntl(l->listen.fd, F_SETFL, fcntl(l->listen.fd, F_GETFL) | O_NONBLOCK);
    l->retryAccept.owner = l;
    l->retryAccept.callback = OnAcceptRetry;
  }
  core->maxPeers = limit - OpenDescriptors() - std::min(kReservedDescriptors, limit / 8);
  if (core->maxPeers < 1) core->maxPeers = 1;
  core->store.Start(kStoreThreads);
  for (auto &l : core->loops) {
    StartAccepting(l.get());
    l->thread = std::thread([l = l.get()] {
      pthread_setname_np(pthread_self(), "zvcp-loop");
      l->loop.Run();
    });
  }
  return true;
}

int Agent::Capacity() const {
  return impl_->maxPeers;
}

void Agent::Stop() {
  AgentCore *core = impl_;
  if (core->loops.empty()) return;
  // Every connection ends on its own loop; the store then finishes what it was
  // given, and its answers reach the loops before they stop.
  for (auto &l : core->loops) {
    std::promise<void> closed;
    AgentLoop *loop = l.get();
    loop->loop.Post([loop, &closed] {
      CloseAll(loop);
      closed.set_value();
    });
    closed.get_future().wait();
  }
  core->store.Stop();
  for (auto &l : core->loops) {
    l->loop.Stop();
    l->thread.join();
  }
  core->loops.clear();
}

namespace {

const char kAgentHelp[] =
    "usage: zvcp agent --listen HOST:PORT [--ciphers MASK] [--allow-keys FILE]\n"
    "                  [--store DIR] [--threads N] [--idle-timeout S]\n"
    "                  [--unacknowledged-timeout S]\n"
    "Answers the protocol version request, the session key request (as the\n"
    "responder: it chooses the cipher and has no RSA key of its own), echo\n"
    "requests (CMD_KEEPALIVE: answered by CMD_REQUEST_COMPLETED with result 0 and\n"
    "the request's variable 1), and file offers (CMD_TRANSFER_FILE with the name in\n"
    "variable 2 and the size in 3; the file follows as file-transfer chunks with the\n"
    "offer's id and is acknowledged with its size in 3 and its SHA-1 in 4). Files\n"
    "are stored in DIR under the last component of the name the peer sent, never\n"
    "elsewhere; without --store every file is refused. A port of 0 picks a free one;\n"
    "the agent prints the address it listens on and how many peers it can hold (its\n"
    "descriptor limit, raised to the hard limit). HOST may be an IPv6 address in\n"
    "brackets ([::]:4700) or a name of either family. SIGINT or SIGTERM end it.\n"
    "  --ciphers MASK  the ciphers allowed (bit 0 AES-256, 1 Blowfish, 2 IDEA,\n"
    "                  3 Triple DES, 4 AES-256-GCM, the authenticated one,\n"
    "                  chosen before the others; default 0xF)\n"
    "  --allow-keys FILE  accept only the public keys whose fingerprints FILE\n"
    "                  lists (as zvcp keygen prints them); others are refused\n"
    "                  with result 45\n"
    "  --threads N     event-loop threads (default one per core, at most 5)\n"
    "  --idle-timeout S            a peer silent for S seconds is dropped (300)\n"
    "  --unacknowledged-timeout S  a peer that takes none of its answers for S\n"
    "                              seconds is dropped (30)\n";

bool ParseSeconds(const char *text, unsigned *ms) {
  char *end = nullptr;
  unsigned long value = strtoul(text, &end, 10);
  if (*text == '\0' || *end != '\0' || value < 1 || value > 86400) return false;
  *ms = static_cast<unsigned>(value * 1000);
  return true;
}

}  // namespace

int CmdAgent(int argc, char **argv) {
  static const option longOptions[] = {{"listen", required_argument, nullptr, 'l'},
                                       {"ciphers", required_argument, nullptr, 'c'},
                                       {"allow-keys", required_argument, nullptr, 'a'},
                                       {"store", required_argument, nullptr, 's'},
                                       {"threads", required_argument, nullptr, 't'},
                                       {"idle-timeout", required_argument, nullptr, 'i'},
                                       {"unacknowledged-timeout", required_argument, nullptr, 'u'},
                                       {"help", no_argument, nullptr, 'h'},
                                       {nullptr, 0, nullptr, 0}};
  Endpoint where;
  bool haveWhere = false;
  AgentOptions options;
  std::string error;
  for (int ch; (ch = getopt_long(argc, argv, "h", longOptions, nullptr)) != -1;) {
    char *end = nullptr;
    switch (ch) {
      case 'l':
        if (!ParseEndpoint(optarg, &where))
          return Fail(kExitUsage, std::string("bad address: ") + optarg);
        haveWhere = true;
        break;
      case 'c':
      case 'a':
        if (!SetAgentPolicy(ch, optarg, &error))
          return Fail(ch == 'c' ? kExitUsage : kExitInput, error);
        break;
      case 's':
        options.store = optarg;
        break;
      case 't':
        options.threads = static_cast<unsigned>(strtoul(optarg, &end, 10));
        if (*optarg == '\0' || *end != '\0' || options.threads < 1 || options.threads > kMaxLoops)
          return Fail(kExitUsage, std::string("bad thread count: ") + optarg);
        break;
      case 'i':
      case 'u':
        if (!ParseSeconds(optarg, ch == 'i' ? &options.idleMs : &options.unacknowledgedMs))
          return Fail(kExitUsage, std::string("bad time-out: ") + optarg);
        break;
      case 'h':
        fputs(kAgentHelp, stdout);
        return kExitOk;
      default:
        fputs(kAgentHelp, stderr);
        return kExitUsage;
    }
  }
  if (!haveWhere || optind != argc) {
    fputs(kAgentHelp, stderr);
    return kExitUsage;
  }
  struct stat info;
  if (!options.store.empty() && (stat(options.store.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)))
    return Fail(kExitInput, "not a directory: " + options.store);
  if (!StartAgentCrypto()) return Fail(kExitInput, "the crypto library cannot start");
  uint16_t port = 0;
  int listener = ListenOn(where, &port, &error);
  if (listener < 0) return Fail(kExitInput, error);
  // The loops' threads inherit the mask: the signals wait for the main thread.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  Agent agent;
  if (!agent.Start(listener, options, &error)) return Fail(kExitInput, error);
  printf("listening on %s\n", Describe(Endpoint{where.host, port}).c_str());
  printf("holds up to %d peers (descriptor limit %d)\n", agent.Capacity(), RaiseDescriptorLimit());
  fflush(stdout);
  int signal = 0;
  sigwait(&stop, &signal);
  agent.Stop();
  return kExitOk;
}

}  // namespace zvcp
