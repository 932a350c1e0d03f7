// RecvZVCPMessage over loopback TCP beside a plain recv loop over the same byte
// stream: messages of 64 B, 1 KiB and 64 KiB, sent back to back by a writer thread.
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

template <bool kLibrary>
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
  for (auto _ : state) {
    std::thread writer([&] { SendEx(fds[0], stream.data(), stream.size(), 0); });
    size_t received = 0;
    while (received < stream.size()) {
      int n;
      if (kLibrary) {
        n = RecvZVCPMessage(fds[1], reinterpret_cast<CSCP_MESSAGE *>(message.data()),
                            receiveBuffer, static_cast<DWORD>(messageSize), &context, nullptr,
                            INFINITE);
      } else {
        n = static_cast<int>(recv(fds[1], chunk.data(), chunk.size(), 0));
      }
      if (n < 16 && !(n > 0 && !kLibrary)) break;
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
  close(fds[0]);
  close(fds[1]);
}

}  // namespace

BENCHMARK(Receive<true>)->Name("recv/zavrin")->Arg(64)->Arg(1024)->Arg(65536)->UseRealTime();
BENCHMARK(Receive<false>)->Name("recv/plain")->Arg(64)->Arg(1024)->Arg(65536)->UseRealTime();
