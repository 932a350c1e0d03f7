// A minimal server: accepts connections on a TCP port, answers the session key
// request and echoes every other request back, encrypted once a key is agreed.
//   echo_server PORT
#include <zavrin.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

static const DWORD kMaxSize = 65536;

static bool Send(int sock, const CSCPMessage &msg, ENCRYPTION_CONTEXT *context) {
  CSCP_MESSAGE *wire = msg.CreateMessage();
  // Encrypted messages replace the plain one on the wire once there is a context.
  void *block = context != nullptr ? static_cast<void *>(CSCPEncryptMessage(context, wire)) : wire;
  bool ok = block != nullptr &&
            SendEx(sock, block, ntohl(static_cast<CSCP_MESSAGE *>(block)->size), 0) > 0;
  if (block != wire) free(block);
  free(wire);
  return ok;
}

static void Serve(int sock) {
  RECEIVE_BUFFER *rb = new RECEIVE_BUFFER;
  std::vector<BYTE> buffer(kMaxSize), work(kMaxSize + 16);
  CSCP_MESSAGE *raw = reinterpret_cast<CSCP_MESSAGE *>(buffer.data());
  ENCRYPTION_CONTEXT *context = nullptr;
  RecvZVCPMessage(sock, nullptr, rb, 0, nullptr, nullptr, 0);  // a fresh buffer
  while (RecvZVCPMessage(sock, raw, rb, kMaxSize, &context, work.data(), 60000) >= 16) {
    CSCPMessage request(raw, ZVCP_PROTOCOL_VERSION);
    if (request.GetCode() == CMD_REQUEST_SESSION_KEY) {
      // The answer always goes out in clear; encryption starts after it.
      CSCPMessage *answer = nullptr;
      ENCRYPTION_CONTEXT *made = nullptr;
      DWORD result =
          SetupEncryptionContext(&request, &made, &answer, nullptr, ZVCP_PROTOCOL_VERSION);
      Send(sock, *answer, nullptr);
      delete answer;
      if (result == RESULT_OK) context = made;
      continue;
    }
    CSCPMessage reply;
    reply.SetCode(CMD_REQUEST_COMPLETED);
    reply.SetId(request.GetId());
    char text[256];
    reply.SetVariable(1, request.GetVariableStr(1, text, sizeof(text)));
    if (!Send(sock, reply, context)) break;
  }
  DestroyEncryptionContext(context);
  delete rb;
  close(sock);
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: echo_server PORT\n");
    return 1;
  }
  InitCryptoLib(0xF);
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(atoi(argv[1])));
  if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
      listen(listener, 16) != 0) {
    perror("echo_server");
    return 1;
  }
  for (int sock; (sock = accept(listener, nullptr, nullptr)) >= 0;)
    std::thread(Serve, sock).detach();
  return 0;
}
