// zvcp agent from the outside, under load: 2,000 connections open at once, each
// with an echo request, all answered, while other peers misbehave: one sends its
// request a byte at a time, one stops reading, one vanishes in mid-message, one
// sends a size below 16, one a message over the size limit. The agent serves
// the rest, holds bounded memory for the one that stopped reading and drops it,
// is back to the descriptors and threads it started with once everything has
// closed, and ends cleanly on SIGTERM (under the sanitizers: with no leak).
#include <zavrin.h>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

#ifdef ZVCP_PATH

using zavrin_test::ChildProgram;

constexpr int kPeers = 2000;
constexpr DWORD kVarPayload = 1;  // the tool's echo payload
// What the peer that stopped reading may cost the agent at most: its output
// queue is bounded far below this, and reading from it stops.
constexpr long kStalledBoundKiB = 256 * 1024;

std::vector<BYTE> Payload(DWORD id, size_t size) {
  std::vector<BYTE> payload(size);
  for (size_t i = 0; i < size; i++) payload[i] = static_cast<BYTE>(id + i);
  return payload;
}

std::vector<BYTE> EchoRequest(DWORD id, size_t payloadSize) {
  CSCPMessage echo(ZVCP_PROTOCOL_VERSION);
  echo.SetCode(CMD_KEEPALIVE);
  echo.SetId(id);
  std::vector<BYTE> payload = Payload(id, payloadSize);
  echo.SetVariable(kVarPayload, payload.data(), static_cast<DWORD>(payload.size()));
  CSCP_MESSAGE *wire = echo.CreateMessage();
  std::vector<BYTE> bytes(reinterpret_cast<BYTE *>(wire),
                          reinterpret_cast<BYTE *>(wire) + ntohl(wire->size));
  free(wire);
  return bytes;
}

// Reads one answer and checks that it echoes request id with its payload.
bool Answered(int fd, DWORD id, size_t payloadSize) {
  std::unique_ptr<RECEIVE_BUFFER> rb(new RECEIVE_BUFFER);
  std::vector<BYTE> buffer(65536);
  CSCP_MESSAGE *m = reinterpret_cast<CSCP_MESSAGE *>(buffer.data());
  RecvZVCPMessage(fd, nullptr, rb.get(), 0, nullptr, nullptr, 0);
  ENCRYPTION_CONTEXT *none = nullptr;
  if (RecvZVCPMessage(fd, m, rb.get(), 65536, &none, nullptr, 30000) < 16) return false;
  CSCPMessage answer(m, ZVCP_PROTOCOL_VERSION);
  std::vector<BYTE> back(payloadSize + 1);
  DWORD got = answer.GetVariableBinary(kVarPayload, back.data(), static_cast<DWORD>(back.size()));
  std::vector<BYTE> want = Payload(id, payloadSize);
  return answer.GetCode() == CMD_REQUEST_COMPLETED && answer.GetId() == id &&
         answer.GetVariableLong(VAR_ID_RESULT_CODE) == 0 && got == payloadSize &&
         std::equal(want.begin(), want.end(), back.begin());
}

// True once the agent has closed fd (within seconds).
bool ClosedByAgent(int fd, int seconds) {
  pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, seconds * 1000) <= 0) return false;
  char byte;
  return recv(fd, &byte, 1, 0) <= 0;
}

// zvcp agent on an ephemeral loopback port with the extra arguments, under a
// descriptor limit when limit is above 0; *port and *capacity from what it prints.
std::unique_ptr<ChildProgram> StartAgent(const std::vector<std::string> &extra, int limit,
                                         uint16_t *port, int *capacity) {
  std::vector<std::string> argv = {ZVCP_PATH, "agent", "--listen", "127.0.0.1:0"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  if (limit > 0)
    argv.insert(argv.begin(),
                {"/bin/sh", "-c", "ulimit -n " + std::to_string(limit) + " && exec \"$0\" \"$@\""});
  std::unique_ptr<ChildProgram> agent(new ChildProgram(argv));
  std::string listening = agent->ReadLine(30000);
  std::string holds = agent->ReadLine(30000);
  *port = 0;
  *capacity = 0;
  if (listening.find("listening on 127.0.0.1:") == 0)
    *port = static_cast<uint16_t>(atoi(listening.c_str() + listening.rfind(':') + 1));
  sscanf(holds.c_str(), "holds up to %d peers", capacity);
  return agent;
}

TEST(AgentUnderLoad, AnswersEveryPeerWhileOthersMisbehave) {
  ZAVRIN_SKIP_UNDER_QEMU("the test starts the tool, which the emulator does not run for it");
  if (zavrin_test::RaiseDescriptorLimit(kPeers + 256) < kPeers + 256)
    GTEST_SKIP() << "the descriptor limit is below " << kPeers + 256;
  uint16_t port;
  int capacity;
  std::unique_ptr<ChildProgram> agent =
      StartAgent({"--threads", "2", "--unacknowledged-timeout", "2"}, 0, &port, &capacity);
  ASSERT_NE(0, port);
  ASSERT_GE(capacity, kPeers + 16);
  const int descriptors = zavrin_test::DescriptorsOf(agent->pid());
  const int threads = zavrin_test::ThreadsOf(agent->pid());
  const long resident = zavrin_test::ResidentKiBOf(agent->pid());

  // Stops reading: sends large echo requests and never takes an answer, until
  // the agent drops it. The agent's memory is watched meanwhile.
  std::atomic<bool> stalledDropped{false};
  std::atomic<long> peakKiB{resident};
  zavrin_test::Peer stalled([&] {
    int fd = zavrin_test::ConnectLoopback(port);
    int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    std::vector<BYTE> request = EchoRequest(1, 60000);
    size_t at = 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < until) {
      peakKiB = std::max(peakKiB.load(), zavrin_test::ResidentKiBOf(agent->pid()));
      pollfd p = {fd, POLLOUT, 0};
      if (poll(&p, 1, 100) == 0) continue;
      ssize_t n = send(fd, request.data() + at, request.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && errno == EAGAIN) continue;
      if (n <= 0) {
        stalledDropped = true;
        break;
      }
      at = (at + static_cast<size_t>(n)) % request.size();
    }
    close(fd);
  });
  // Sends its request a byte at a time.
  std::atomic<bool> trickledAnswered{false};
  zavrin_test::Peer trickler([&] {
    int fd = zavrin_test::ConnectLoopback(port);
    std::vector<BYTE> request = EchoRequest(7, 40);
    bool sent = true;
    for (BYTE b : request) {
      sent = sent && zavrin_test::WriteAll(fd, &b, 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    trickledAnswered = sent && Answered(fd, 7, 40);
    close(fd);
  });
  // Vanishes in mid-message; sends a size below 16; sends a message over the
  // agent's limit (skipped) and then an echo request, which is answered.
  {
    int fd = zavrin_test::ConnectLoopback(port);
    std::vector<BYTE> request = EchoRequest(3, 4000);
    ASSERT_TRUE(zavrin_test::WriteAll(fd, request.data(), request.size() / 2));
    close(fd);
  }
  int badSize = zavrin_test::ConnectLoopback(port);
  BYTE header[16] = {0, CMD_KEEPALIVE, 0, 0, 0, 0, 0, 8};
  ASSERT_TRUE(zavrin_test::WriteAll(badSize, header, sizeof(header)));
  int oversized = zavrin_test::ConnectLoopback(port);
  {
    std::vector<BYTE> huge(4 * 1024 * 1024 + 64);
    BYTE *h = huge.data();
    h[1] = CMD_KEEPALIVE;
    h[4] = static_cast<BYTE>(huge.size() >> 24);
    h[5] = static_cast<BYTE>(huge.size() >> 16);
    h[6] = static_cast<BYTE>(huge.size() >> 8);
    h[7] = static_cast<BYTE>(huge.size());
    std::vector<BYTE> after = EchoRequest(9, 16);
    huge.insert(huge.end(), after.begin(), after.end());
    ASSERT_TRUE(zavrin_test::WriteAll(oversized, huge.data(), huge.size()));
  }

  // Every well-behaved peer connects and sends before any answer is read.
  std::vector<int> peers;
  for (int i = 0; i < kPeers; i++) {
    int fd = zavrin_test::ConnectLoopback(port);
    ASSERT_GE(fd, 0) << "connection " << i;
    peers.push_back(fd);
    std::vector<BYTE> request = EchoRequest(static_cast<DWORD>(100 + i), 32);
    ASSERT_TRUE(zavrin_test::WriteAll(fd, request.data(), request.size()));
  }
  int answered = 0;
  for (int i = 0; i < kPeers; i++) answered += Answered(peers[i], static_cast<DWORD>(100 + i), 32);
  EXPECT_EQ(kPeers, answered);
  EXPECT_TRUE(Answered(oversized, 9, 16)) << "the stream was out of step after a skipped message";
  EXPECT_TRUE(ClosedByAgent(badSize, 10)) << "a size below 16 left the connection open";
  trickler.Join();
  EXPECT_TRUE(trickledAnswered);
  stalled.Join();
  EXPECT_TRUE(stalledDropped) << "the peer that stopped reading was never dropped";
  EXPECT_LT(peakKiB - resident, kStalledBoundKiB + 64L * kPeers);

  for (int fd : peers) close(fd);
  close(badSize);
  close(oversized);
  int pid = agent->pid();
  EXPECT_TRUE(
      zavrin_test::SettlesAt([pid] { return zavrin_test::DescriptorsOf(pid); }, descriptors))
      << zavrin_test::DescriptorsOf(pid) << " descriptors open, not " << descriptors;
  EXPECT_EQ(threads, zavrin_test::ThreadsOf(pid));
  int status = agent->Stop(SIGTERM);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
}

// At its descriptor limit the agent stops accepting, serves the peers it has
// without spinning, and takes the waiting connections as peers leave.
TEST(AgentUnderLoad, PausesAtItsDescriptorLimit) {
  ZAVRIN_SKIP_UNDER_QEMU("the test starts the tool, which the emulator does not run for it");
  constexpr int kWaiting = 8;
  uint16_t port;
  int capacity;
  std::unique_ptr<ChildProgram> agent = StartAgent({"--threads", "1"}, 128, &port, &capacity);
  ASSERT_NE(0, port);
  ASSERT_GT(capacity, kWaiting);
  ASSERT_LT(capacity, 128);
  std::vector<int> peers;
  for (int i = 0; i < capacity + kWaiting; i++) {
    int fd = zavrin_test::ConnectLoopback(port);  // the backlog takes those beyond capacity
    ASSERT_GE(fd, 0);
    peers.push_back(fd);
    std::vector<BYTE> request = EchoRequest(static_cast<DWORD>(i), 8);
    ASSERT_TRUE(zavrin_test::WriteAll(fd, request.data(), request.size()));
  }
  for (int i = 0; i < capacity; i++) EXPECT_TRUE(Answered(peers[i], static_cast<DWORD>(i), 8));
  long cpu = zavrin_test::CpuTimeMsOf(agent->pid());
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_LT(zavrin_test::CpuTimeMsOf(agent->pid()) - cpu, 200) << "the paused agent spins";
  for (int i = capacity; i < capacity + kWaiting; i++) {
    pollfd p = {peers[i], POLLIN, 0};
    EXPECT_EQ(0, poll(&p, 1, 0)) << "connection " << i << " was served beyond the limit";
  }
  for (int i = 0; i < kWaiting; i++) close(peers[i]);
  for (int i = capacity; i < capacity + kWaiting; i++)
    EXPECT_TRUE(Answered(peers[i], static_cast<DWORD>(i), 8)) << "connection " << i;
  for (int i = kWaiting; i < capacity + kWaiting; i++) close(peers[i]);
  int status = agent->Stop(SIGTERM);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
}

#else

TEST(AgentUnderLoad, NeedsTheTool) {
  GTEST_SKIP() << "the zvcp tool is not built";
}

#endif  // ZVCP_PATH

}  // namespace
