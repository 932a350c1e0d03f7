// A minimal client: connects to echo_server, agrees on a session key under a
// fresh RSA key, then sends a few requests and matches each reply through a
// wait queue filled by a receiving thread.
//   echo_client PORT
#include <zavrin.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

static const DWORD kMaxSize = 65536;

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: echo_client PORT\n");
    return 1;
  }
  InitCryptoLib(0xF);
  int sock = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(atoi(argv[1])));
  if (connect(sock, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
    perror("echo_client");
    return 1;
  }

  // The key exchange: our public key goes out, the session key comes back.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  EVP_PKEY *pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048));
  RSA *key = EVP_PKEY_get1_RSA(pkey);
#pragma GCC diagnostic pop
  CSCPMessage request;
  PrepareKeyRequestMsg(&request, key);
  request.SetId(1);
  CSCP_MESSAGE *wire = request.CreateMessage();
  SendEx(sock, wire, ntohl(wire->size), 0);
  free(wire);

  RECEIVE_BUFFER *rb = new RECEIVE_BUFFER;
  std::vector<BYTE> buffer(kMaxSize), work(kMaxSize + 16);
  CSCP_MESSAGE *raw = reinterpret_cast<CSCP_MESSAGE *>(buffer.data());
  ENCRYPTION_CONTEXT *context = nullptr;
  RecvZVCPMessage(sock, nullptr, rb, 0, nullptr, nullptr, 0);
  if (RecvZVCPMessage(sock, raw, rb, kMaxSize, &context, work.data(), 10000) < 16) return 1;
  CSCPMessage answer(raw, ZVCP_PROTOCOL_VERSION);
  if (SetupEncryptionContext(&answer, &context, nullptr, key, ZVCP_PROTOCOL_VERSION) != RESULT_OK) {
    fprintf(stderr, "echo_client: the key exchange failed\n");
    return 1;
  }

  // From here on one thread receives and the queue hands each reply to its waiter.
  MsgWaitQueue queue;
  std::thread receiver([&] {
    while (RecvZVCPMessage(sock, raw, rb, kMaxSize, &context, work.data(), INFINITE) >= 16)
      queue.Put(new CSCPMessage(raw, ZVCP_PROTOCOL_VERSION));
  });
  int status = 0;
  for (DWORD id = 2; id < 7; id++) {
    CSCPMessage msg;
    msg.SetCode(CMD_KEEPALIVE);
    msg.SetId(id);
    msg.SetVariable(1, "hello");
    CSCP_MESSAGE *plain = msg.CreateMessage();
    ENCRYPTED_MESSAGE *encrypted = CSCPEncryptMessage(context, plain);
    SendEx(sock, encrypted, ntohl(encrypted->size), 0);
    free(encrypted);
    free(plain);
    CSCPMessage *reply = queue.WaitForMessage(CMD_REQUEST_COMPLETED, id, 5000);
    char text[64];
    printf("reply %u: %s\n", id,
           reply != nullptr ? reply->GetVariableStr(1, text, sizeof(text)) : "(none)");
    if (reply == nullptr) status = 1;
    delete reply;
  }
  shutdown(sock, SHUT_RDWR);
  receiver.join();
  close(sock);
  DestroyEncryptionContext(context);
  delete rb;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  RSA_free(key);
#pragma GCC diagnostic pop
  EVP_PKEY_free(pkey);
  return status;
}
