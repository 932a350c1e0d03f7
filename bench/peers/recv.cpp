// RecvZVCPMessage over loopback TCP beside a plain recv loop over the same byte
// stream: messages of 64 B, 1 KiB and 64 KiB, sent back to back by a writer thread.
// The library side runs three ways: RecvZVCPMessage without a time-out, with one
// of 30 s, and the message stream fed by a blocking recv loop.
#include <zavrin.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <thread>
#include <vector>

#include "coding.h"

namespace {

const size_t kStreamBytes = 4 << 20;  // per iteration

// A connected loopback TCP pair: first the sending end, then the receiving end.
bool LoopbackPair(int fds[2]) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(addr);
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
      listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &length) != 0)
    return false;
  fds[0] = socket(AF_INET, SOCK_STREAM, 0);
  if (connect(fds[0], reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) return false;
  fds[1] = accept(listener, nullptr, nullptr);
  close(listener);
  return fds[1] >= 0;
}

// Whole messages of the given size, enough of them to fill kStreamBytes.
std::vector<BYTE> MessageStream(size_t messageSize) {
  std::vector<BYTE> stream(kStreamBytes / messageSize * messageSize);
  for (size_t at = 0; at < stream.size(); at += messageSize) {
    zavrin::WriteBE16(&stream[at], CMD_KEEPALIVE);
    zavrin::WriteBE32(&stream[at + 4], static_cast<uint32_t>(messageSize));
    zavrin::WriteBE32(&stream[at + 8], static_cast<uint32_t>(at));
  }
  return stream;
}

enum Reader { kPlain, kLibrary, kLibraryTimeout, kStream };

// One message from the stream, receiving into its room as needed; its size, or
// the failing receive's result.
int StreamMessage(int sock, ZVCP_STREAM *stream) {
  for (;;) {
    CSCP_MESSAGE *msg;
    int result = ZVCPStreamNext(stream, &msg, nullptr);
    if (result != 0) return result;
    size_t room;
    BYTE *into = ZVCPStreamReserve(stream, &room);
    ssize_t n = into != nullptr ? recv(sock, into, room, 0) : -1;
    if (n <= 0) return static_cast<int>(n);
    ZVCPStreamCommit(stream, static_cast<size_t>(n));
  }
}

template <Reader kReader>
void Receive(benchmark::State &state) {
  const size_t messageSize = static_cast<size_t>(state.range(0));
  std::vector<BYTE> stream = MessageStream(messageSize);
  int fds[2];
  if (!LoopbackPair(fds)) {
    state.SkipWithError("no loopback connection");
    return;
  }
  std::vector<BYTE> message(messageSize);
  RECEIVE_BUFFER *receiveBuffer = static_cast<RECEIVE_BUFFER *>(malloc(sizeof(RECEIVE_BUFFER)));
  ENCRYPTION_CONTEXT *context = nullptr;
  RecvZVCPMessage(fds[1], nullptr, receiveBuffer, 0, &context, nullptr, 0);
  std::vector<BYTE> chunk(65536);
  ZVCP_STREAM *framing = ZVCPStreamCreate(static_cast<DWORD>(messageSize));
  for (auto _ : state) {
    std::thread writer([&] { SendEx(fds[0], stream.data(), stream.size(), 0); });
    size_t received = 0;
    while (received < stream.size()) {
      int n;
      if (kReader == kLibrary || kReader == kLibraryTimeout) {
        n = RecvZVCPMessage(fds[1], reinterpret_cast<CSCP_MESSAGE *>(message.data()), receiveBuffer,
                            static_cast<DWORD>(messageSize), &context, nullptr,
                            kReader == kLibrary ? INFINITE : 30000);
      } else if (kReader == kStream) {
        n = StreamMessage(fds[1], framing);
      } else {
        n = static_cast<int>(recv(fds[1], chunk.data(), chunk.size(), 0));
      }
      if (n < 16 && !(n > 0 && kReader == kPlain)) break;
      received += static_cast<size_t>(n);
    }
    writer.join();
    if (received != stream.size()) {
      state.SkipWithError("stream cut short");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
  free(receiveBuffer);
  ZVCPStreamDestroy(framing);
  close(fds[0]);
  close(fds[1]);
}

}  // namespace

BENCHMARK(Receive<kLibrary>)->Name("recv/zavrin")->Arg(64)->Arg(1024)->Arg(65536)->UseRealTime();
BENCHMARK(Receive<kPlain>)->Name("recv/plain")->Arg(64)->Arg(1024)->Arg(65536)->UseRealTime();
BENCHMARK(Receive<kLibraryTimeout>)
    ->Name("recv_timeout/zavrin")
    ->Arg(1024)
    ->Arg(65536)
    ->UseRealTime();
BENCHMARK(Receive<kStream>)->Name("recv_stream/zavrin")->Arg(1024)->Arg(65536)->UseRealTime();
