// A long run of a whole conversation: 16 clients on encrypted loopback TCP
// connections to one agent, each with 2,000 requests whose replies are matched
// through a MsgWaitQueue, interleaved with file transfers. No reply may be lost,
// duplicated or reach the wrong waiter, and nothing may be left behind: no
// descriptor, no thread (and, under the sanitizers, no memory).
#include <zavrin.h>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

constexpr int kClients = 16;
constexpr int kRequests = 2000;
constexpr int kWindow = 8;       // requests in flight per client
constexpr int kFileEvery = 400;  // a file transfer after this many requests
constexpr DWORD kMaxMessage = 65536;
constexpr DWORD kWait = 30000;
constexpr WORD kRequestCode = CMD_GET_OBJECTS;
constexpr DWORD kFileIdBase = 0x40000000;
constexpr DWORD kVarClient = 1, kVarSequence = 2, kVarLength = 3, kVarCrc = 4;

int HousekeeperThreads() {
  return zavrin_test::ThreadsNamed(MSG_WAIT_QUEUE_THREAD_NAME);
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
RSA *MakeRsaKey() {
  EVP_PKEY *pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(1024));
  RSA *rsa = EVP_PKEY_get1_RSA(pkey);
  EVP_PKEY_free(pkey);
  return rsa;
}
void FreeRsaKey(RSA *rsa) {
  RSA_free(rsa);
}
#pragma GCC diagnostic pop

// One end of a connection: reads whole messages, sends messages encrypted once
// there is a context.
struct Connection {
  explicit Connection(int fd)
      : fd(fd), rb(new RECEIVE_BUFFER), buffer(kMaxMessage), work(kMaxMessage + 16) {
    RecvZVCPMessage(fd, nullptr, rb.get(), 0, nullptr, nullptr, 0);
  }
  ~Connection() { DestroyEncryptionContext(context); }
  // The size of the message now in buffer, or the receiver's other result.
  int Read() {
    return RecvZVCPMessage(fd, reinterpret_cast<CSCP_MESSAGE *>(buffer.data()), rb.get(),
                           kMaxMessage, &context, work.data(), kWait);
  }
  CSCP_MESSAGE *Message() { return reinterpret_cast<CSCP_MESSAGE *>(buffer.data()); }
  bool Send(const CSCPMessage &msg, bool plain = false) {
    CSCP_MESSAGE *wire = msg.CreateMessage();
    if (wire == nullptr) return false;
    bool ok;
    if (context == nullptr || plain) {
      ok = SendEx(fd, wire, ntohl(wire->size), 0) == static_cast<int>(ntohl(wire->size));
    } else {
      ENCRYPTED_MESSAGE *e = CSCPEncryptMessage(context, wire);
      ok = e != nullptr && SendEx(fd, e, ntohl(e->size), 0) == static_cast<int>(ntohl(e->size));
      free(e);
    }
    free(wire);
    return ok;
  }

  int fd;
  std::unique_ptr<RECEIVE_BUFFER> rb;
  std::vector<BYTE> buffer, work;
  ENCRYPTION_CONTEXT *context = nullptr;
};

// The agent's side of one connection: answers the key request, echoes every
// request with its client and sequence, and acknowledges every file with its
// length and CRC-32 once its last chunk is in.
void Serve(int fd) {
  Connection c(fd);
  std::vector<BYTE> file;
  for (int r; (r = c.Read()) >= 16;) {
    CSCP_MESSAGE *m = c.Message();
    WORD code = ntohs(m->code);
    DWORD id = ntohl(m->id);
    if (ntohs(m->flags) & MSG_FLAG_RAW) {
      if (code != CMD_FILE_DATA) break;
      const BYTE *data = reinterpret_cast<const BYTE *>(m) + 16;
      file.insert(file.end(), data, data + ntohl(m->numVariables));
      if (!(ntohs(m->flags) & MSG_FLAG_END_OF_FILE)) continue;
      CSCPMessage ack;
      ack.SetCode(CMD_REQUEST_COMPLETED);
      ack.SetId(id);
      ack.SetVariable(kVarLength, static_cast<DWORD>(file.size()));
      ack.SetVariable(kVarCrc, CalculateCRC32(file.data(), static_cast<DWORD>(file.size()), 0));
      file.clear();
      if (!c.Send(ack)) break;
      continue;
    }
    CSCPMessage request(m, ZVCP_PROTOCOL_VERSION);
    if (code == CMD_REQUEST_SESSION_KEY) {
      CSCPMessage *answer = nullptr;
      ENCRYPTION_CONTEXT *made = nullptr;
      DWORD result =
          SetupEncryptionContext(&request, &made, &answer, nullptr, ZVCP_PROTOCOL_VERSION);
      bool sent = answer != nullptr && c.Send(*answer, true);
      delete answer;
      if (result != RESULT_OK || !sent) break;
      c.context = made;
      continue;
    }
    CSCPMessage reply;
    reply.SetCode(CMD_REQUEST_COMPLETED);
    reply.SetId(id);
    reply.SetVariable(kVarClient, request.GetVariableLong(kVarClient));
    reply.SetVariable(kVarSequence, request.GetVariableLong(kVarSequence));
    if (!c.Send(reply)) break;
  }
  shutdown(fd, SHUT_RDWR);
}

struct ClientResult {
  int replies = 0, wrong = 0, missing = 0, filesOk = 0;
  int queued = 0;  // messages the receiving thread handed to the queue
};

void RunClient(int index, int fd, RSA *key, ClientResult *out) {
  Connection c(fd);
  CSCPMessage request;
  PrepareKeyRequestMsg(&request, key);
  request.SetId(1);
  ASSERT_TRUE(c.Send(request));
  ASSERT_GE(c.Read(), 16);
  CSCPMessage answer(c.Message(), ZVCP_PROTOCOL_VERSION);
  ENCRYPTION_CONTEXT *made = nullptr;
  ASSERT_EQ(static_cast<DWORD>(RESULT_OK),
            SetupEncryptionContext(&answer, &made, nullptr, key, ZVCP_PROTOCOL_VERSION));
  c.context = made;

  MsgWaitQueue queue;
  std::thread receiver([&] {
    for (int r; (r = c.Read()) >= 16;) {
      queue.Put(new CSCPMessage(c.Message(), ZVCP_PROTOCOL_VERSION));
      out->queued++;
    }
  });

  std::vector<BYTE> file(70000 + index * 1000);
  for (size_t i = 0; i < file.size(); i++) file[i] = static_cast<BYTE>(i * 13 + index);
  zavrin_test::TempFile fileOnDisk(std::string(file.begin(), file.end()));

  for (int first = 0; first < kRequests; first += kWindow) {
    for (int seq = first; seq < first + kWindow; seq++) {
      CSCPMessage req;
      req.SetCode(kRequestCode);
      req.SetId(static_cast<DWORD>(seq + 2));
      req.SetVariable(kVarClient, static_cast<DWORD>(index));
      req.SetVariable(kVarSequence, static_cast<DWORD>(seq));
      ASSERT_TRUE(c.Send(req));
    }
    // Waited for newest first, so that replies wait in the queue.
    for (int seq = first + kWindow - 1; seq >= first; seq--) {
      CSCPMessage *reply =
          queue.WaitForMessage(CMD_REQUEST_COMPLETED, static_cast<DWORD>(seq + 2), kWait);
      if (reply == nullptr) {
        out->missing++;
        continue;
      }
      out->replies++;
      if (reply->GetVariableLong(kVarClient) != static_cast<DWORD>(index) ||
          reply->GetVariableLong(kVarSequence) != static_cast<DWORD>(seq))
        out->wrong++;
      delete reply;
    }
    if ((first + kWindow) % kFileEvery == 0) {
      DWORD id = kFileIdBase + static_cast<DWORD>(first);
      ASSERT_TRUE(SendFileOverZVCP(fd, id, fileOnDisk.path().c_str(), c.context));
      CSCPMessage *ack = queue.WaitForMessage(CMD_REQUEST_COMPLETED, id, kWait);
      if (ack != nullptr && ack->GetVariableLong(kVarLength) == file.size() &&
          ack->GetVariableLong(kVarCrc) ==
              CalculateCRC32(file.data(), static_cast<DWORD>(file.size()), 0))
        out->filesOk++;
      delete ack;
    }
  }
  // Nothing more may come: a reply twice would be here now.
  EXPECT_EQ(nullptr, queue.WaitForMessage(CMD_REQUEST_COMPLETED, 2, 0));
  shutdown(fd, SHUT_WR);
  receiver.join();
}

}  // namespace

TEST(Soak, SixteenEncryptedClientsWithFileTransfers) {
  int descriptors = zavrin_test::OpenDescriptorCount();
  ASSERT_EQ(0, HousekeeperThreads());
  RSA *key = MakeRsaKey();
  ASSERT_NE(nullptr, key);
  {
    std::vector<std::unique_ptr<zavrin_test::SocketPair>> pairs;
    for (int i = 0; i < kClients; i++) pairs.emplace_back(new zavrin_test::SocketPair(true));
    std::vector<std::thread> agent, clients;
    std::vector<ClientResult> results(kClients);
    for (int i = 0; i < kClients; i++) agent.emplace_back(Serve, pairs[i]->remote());
    for (int i = 0; i < kClients; i++)
      clients.emplace_back(RunClient, i, pairs[i]->local(), key, &results[i]);
    for (std::thread &t : clients) t.join();
    for (std::thread &t : agent) t.join();
    const int files = kRequests / kFileEvery;
    for (int i = 0; i < kClients; i++) {
      SCOPED_TRACE(i);
      EXPECT_EQ(kRequests, results[i].replies);
      EXPECT_EQ(0, results[i].wrong);
      EXPECT_EQ(0, results[i].missing);
      EXPECT_EQ(files, results[i].filesOk);
      EXPECT_EQ(kRequests + files, results[i].queued);  // no reply twice
    }
  }
  FreeRsaKey(key);
  EXPECT_EQ(descriptors, zavrin_test::OpenDescriptorCount());
  // Every queue's housekeeper has ended with its queue. Only the library's
  // threads count: the emulator and the sanitizers start threads of their own.
  EXPECT_TRUE(zavrin_test::SettlesAt(HousekeeperThreads, 0));
}
