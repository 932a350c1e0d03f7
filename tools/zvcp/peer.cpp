// The subcommands that talk over the network: agent, send, version and demo.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <chrono>
#include <vector>

#include "zvcp.h"

namespace zvcp {

namespace {

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::unique_ptr<CSCPMessage> Reply(const Connection &c, DWORD id, DWORD result) {
  std::unique_ptr<CSCPMessage> reply(new CSCPMessage(c.version));
  reply->SetCode(CMD_REQUEST_COMPLETED);
  reply->SetId(id);
  reply->SetVariable(VAR_ID_RESULT_CODE, result);
  return reply;
}

// A file being received: written under its final name in the store, removed
// again when the transfer is aborted or the connection ends first.
struct Incoming {
  DWORD id = 0;
  int fd = -1;
  std::string path;
  QWORD size = 0;
  EVP_MD_CTX *sha1 = nullptr;

  void Drop() {
    if (fd >= 0) {
      close(fd);
      unlink(path.c_str());
    }
    fd = -1;
    EVP_MD_CTX_free(sha1);
    sha1 = nullptr;
  }
};

// The last component of the name the peer sent, or "" when that is no file name.
std::string SafeName(const char *name) {
  std::string base = GetCleanFileName(name);
  if (base.empty() || base == "." || base == "..") return "";
  return base;
}

}  // namespace

void ServeConnection(int fd, const std::string &store) {
  Connection c(fd);
  Incoming file;
  for (;;) {
    // A peer silent for this long is gone: its connection ends.
    int r = c.Read(kIdleTimeout);
    if (r == 1 || r == 2) continue;  // too large, or not decryptable: dropped
    if (r < 16) break;
    CSCP_MESSAGE *m = c.Message();
    WORD code = ntohs(m->code);
    WORD flags = ntohs(m->flags);
    DWORD id = ntohl(m->id);
    if (code == CMD_GET_ZVCP_CAPS) {
      BYTE caps[16] = {};
      CSCP_MESSAGE *answer = reinterpret_cast<CSCP_MESSAGE *>(caps);
      answer->code = htons(CMD_ZVCP_CAPS);
      answer->flags = htons(MSG_FLAG_HEADER_ONLY);
      answer->size = htonl(16);
      answer->id = m->id;
      answer->numVariables = htonl(static_cast<DWORD>(ZVCP_PROTOCOL_VERSION) << 24);
      if (SendEx(c.fd(), caps, sizeof(caps), 0) != 16) break;
      continue;
    }
    if (flags & MSG_FLAG_RAW) {
      if (id != file.id || file.fd < 0) continue;
      if (code == CMD_ABORT_FILE_TRANSFER) {
        file.Drop();
        continue;
      }
      if (code != CMD_FILE_DATA) continue;
      DWORD length = ntohl(m->numVariables);
      const BYTE *data = reinterpret_cast<const BYTE *>(m) + 16;
      if (length > ntohl(m->size) - 16 ||
          write(file.fd, data, length) != static_cast<ssize_t>(length)) {
        file.Drop();
        if (!c.Send(*Reply(c, id, kResultRefused))) break;
        continue;
      }
      EVP_DigestUpdate(file.sha1, data, length);
      file.size += length;
      if (!(flags & MSG_FLAG_END_OF_FILE)) continue;
      BYTE digest[EVP_MAX_MD_SIZE];
      unsigned int digestLength = 0;
      EVP_DigestFinal_ex(file.sha1, digest, &digestLength);
      bool closed = close(file.fd) == 0;
      file.fd = -1;
      std::unique_ptr<CSCPMessage> done = Reply(c, id, closed ? 0 : kResultRefused);
      done->SetVariable(kVarFileSize, file.size);
      done->SetVariable(kVarFileSha1, digest, digestLength);
      file.Drop();
      if (!c.Send(*done)) break;
      continue;
    }
    CSCPMessage request(m, c.version);
    if (code == CMD_REQUEST_SESSION_KEY) {
      CSCPMessage *answer = nullptr;
      ENCRYPTION_CONTEXT *made = nullptr;
      DWORD result = AnswerSessionKeyRequest(&request, &made, &answer, c.version,
                                             agentPolicy.ciphers, agentPolicy.knownKeys);
      bool sent = answer != nullptr && c.Send(*answer, true);
      delete answer;
      if (!sent) break;
      if (result == RESULT_OK) {
        DestroyEncryptionContext(c.context);
        c.context = made;
        LogSessionKey(c.fd(), made, false);
      }
    } else if (code == CMD_KEEPALIVE) {
      std::unique_ptr<CSCPMessage> reply = Reply(c, id, 0);
      std::vector<BYTE> payload(request.GetVariableBinary(kVarPayload, nullptr, 0));
      request.GetVariableBinary(kVarPayload, payload.data(), static_cast<DWORD>(payload.size()));
      reply->SetVariable(kVarPayload, payload.data(), static_cast<DWORD>(payload.size()));
      if (!c.Send(*reply)) break;
    } else if (code == CMD_TRANSFER_FILE) {
      file.Drop();
      char name[1024];
      std::string base = SafeName(request.GetVariableStr(kVarFileName, name, sizeof(name)));
      DWORD result = kResultRefused;
      if (!store.empty() && !base.empty()) {
        file.path = store + "/" + base;
        file.fd =
            open(file.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (file.fd >= 0) {
          file.id = id;
          file.size = 0;
          file.sha1 = EVP_MD_CTX_new();
          EVP_DigestInit_ex(file.sha1, EVP_sha1(), nullptr);
          result = 0;
        }
      }
      if (!c.Send(*Reply(c, id, result))) break;
    } else {
      if (!c.Send(*Reply(c, id, RESULT_UNSUPPORTED_MESSAGE))) break;
    }
  }
  file.Drop();
}

int SendFile(Connection *c, const std::string &path, const std::string &name, bool progress,
             double *seconds) {
  int source = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info;
  if (source < 0 || fstat(source, &info) != 0 || !S_ISREG(info.st_mode)) {
    if (source >= 0) close(source);
    return Fail(kExitInput,
                "cannot read " + path + (errno ? std::string(": ") + strerror(errno) : ""));
  }
  DWORD id = c->NextId();
  CSCPMessage offer(c->version);
  offer.SetCode(CMD_TRANSFER_FILE);
  offer.SetId(id);
  offer.SetVariable(kVarFileName, name.empty() ? GetCleanFileName(path.c_str()) : name.c_str());
  offer.SetVariable(kVarFileSize, static_cast<QWORD>(info.st_size));
  if (!c->Send(offer)) {
    close(source);
    return Fail(kExitPeer, "the file offer could not be sent");
  }
  CSCPMessage *answer = c->Wait(CMD_REQUEST_COMPLETED, id);
  DWORD result = answer != nullptr ? answer->GetVariableLong(VAR_ID_RESULT_CODE) : 0;
  bool answered = answer != nullptr;
  delete answer;
  if (!answered || result != 0) {
    close(source);
    return Fail(kExitPeer, answered ? "the agent refused the file" : "no answer to the file offer");
  }

  // The library reads the file through a pipe that this thread fills: what it
  // has taken is what the progress bar shows.
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    close(source);
    return Fail(kExitInput, std::string("pipe: ") + strerror(errno));
  }
  EVP_MD_CTX *sha1 = EVP_MD_CTX_new();
  EVP_DigestInit_ex(sha1, EVP_sha1(), nullptr);
  bool readFailed = false;
  double start = Now();
  std::thread feeder([&] {
    std::vector<char> chunk(65536);
    QWORD done = 0;
    int lastShown = -1;
    for (;;) {
      ssize_t n = read(source, chunk.data(), chunk.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        readFailed = n < 0;
        break;
      }
      EVP_DigestUpdate(sha1, chunk.data(), static_cast<size_t>(n));
      ssize_t off = 0;
      while (off < n) {
        ssize_t w = write(pipeFds[1], chunk.data() + off, static_cast<size_t>(n - off));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        off += w;
      }
      if (off < n) break;  // the library stopped reading
      done += static_cast<QWORD>(n);
      int percent =
          info.st_size > 0 ? static_cast<int>(done * 100 / static_cast<QWORD>(info.st_size)) : 100;
      if (progress && percent != lastShown) {
        lastShown = percent;
        int bar = percent / 4;
        fprintf(stderr, "\r[%.*s%*s] %3d%% %llu bytes", bar, "=========================", 25 - bar,
                "", percent, static_cast<unsigned long long>(done));
      }
    }
    close(pipeFds[1]);
  });
  char via[64];
  snprintf(via, sizeof(via), "/proc/self/fd/%d", pipeFds[0]);
  BOOL sent = SendFileOverZVCP(c->fd(), id, via, c->context);
  close(pipeFds[0]);  // a feeder still writing sees the pipe end
  feeder.join();
  close(source);
  if (progress) fprintf(stderr, "\n");
  BYTE digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  EVP_DigestFinal_ex(sha1, digest, &digestLength);
  EVP_MD_CTX_free(sha1);
  if (readFailed) return Fail(kExitInput, "read error on " + path);
  if (!sent) return Fail(kExitPeer, "the transfer failed");

  CSCPMessage *done = c->Wait(CMD_REQUEST_COMPLETED, id);
  if (done == nullptr) return Fail(kExitPeer, "no acknowledgement of the file");
  BYTE received[EVP_MAX_MD_SIZE] = {};
  DWORD receivedLength = done->GetVariableBinary(kVarFileSha1, received, sizeof(received));
  QWORD receivedSize = done->GetVariableInt64(kVarFileSize);
  DWORD result2 = done->GetVariableLong(VAR_ID_RESULT_CODE);
  delete done;
  if (seconds != nullptr) *seconds = Now() - start;
  if (result2 != 0) return Fail(kExitPeer, "the agent could not store the file");
  if (receivedLength != digestLength || memcmp(received, digest, digestLength) != 0 ||
      receivedSize != static_cast<QWORD>(info.st_size))
    return Fail(kExitPeer, "the file arrived damaged: SHA-1 " + Hex(received, receivedLength) +
                               " instead of " + Hex(digest, digestLength));
  printf("sent %s: %llu bytes, SHA-1 %s (checked by the agent)\n", path.c_str(),
         static_cast<unsigned long long>(info.st_size), Hex(digest, digestLength).c_str());
  return kExitOk;
}

namespace {

const char kAgentHelp[] =
    "usage: zvcp agent --listen HOST:PORT [--ciphers MASK] [--allow-keys FILE]\n"
    "                  [--store DIR]\n"
    "Answers the protocol version request, the session key request (as the\n"
    "responder: it chooses the cipher and has no RSA key of its own), echo\n"
    "requests (CMD_KEEPALIVE: answered by CMD_REQUEST_COMPLETED with result 0 and\n"
    "the request's variable 1), and file offers (CMD_TRANSFER_FILE with the name in\n"
    "variable 2 and the size in 3; the file follows as file-transfer chunks with the\n"
    "offer's id and is acknowledged with its size in 3 and its SHA-1 in 4). Files\n"
    "are stored in DIR under the last component of the name the peer sent, never\n"
    "elsewhere; without --store every file is refused. A port of 0 picks a free one;\n"
    "the agent prints the address it listens on.\n"
    "  --ciphers MASK  the ciphers allowed (bit 0 AES-256, 1 Blowfish, 2 IDEA,\n"
    "                  3 Triple DES, 4 AES-256-GCM, the authenticated one,\n"
    "                  chosen before the others; default 0xF)\n"
    "  --allow-keys FILE  accept only the public keys whose fingerprints FILE\n"
    "                  lists (as zvcp keygen prints them); others are refused\n"
    "                  with result 45\n";

const char kSendHelp[] =
    "usage: zvcp send FILE --to HOST:PORT [--encrypt] [--key FILE] [--name NAME]\n"
    "                 [--progress]\n"
    "Sends FILE to an agent (zvcp agent), which checks its SHA-1. With --encrypt a\n"
    "session key is agreed first under a fresh RSA key (or the key file --key).\n"
    "--name tells the agent another name than the file's own. The progress bar\n"
    "shows on a terminal, or always with --progress.\n";

const char kVersionHelp[] =
    "usage: zvcp version HOST:PORT\n"
    "Asks the peer for its protocol version (a peer that stays silent for 30 seconds\n"
    "speaks version 1).\n";

struct ClientOptions {
  Endpoint to;
  bool haveTo = false, encrypt = false, progress = false;
  std::string keyFile, name;
};

RSA *ClientKey(const ClientOptions &o, std::string *error) {
  RSA *key = o.keyFile.empty() ? MakeKey(2048) : LoadRSAKeys(o.keyFile.c_str());
  if (key == nullptr)
    *error = o.keyFile.empty() ? "cannot make an RSA key" : "cannot read the key file " + o.keyFile;
  return key;
}

// Connects, learns the peer's version and, if asked, agrees on a session key.
int OpenSession(const ClientOptions &o, std::unique_ptr<Connection> *out) {
  std::string error;
  int fd = ConnectTo(o.to, static_cast<int>(kReplyTimeout), &error);
  if (fd < 0) return Fail(kExitPeer, error);
  out->reset(new Connection(fd));
  Connection &c = **out;
  int version = 1;
  if (!ZVCPGetPeerProtocolVersion(fd, &version))
    return Fail(kExitPeer, "the peer closed the connection");
  c.version = version;
  if (o.encrypt) {
    RSA *key = ClientKey(o, &error);
    if (key == nullptr) return Fail(kExitInput, error);
    bool ok = c.NegotiateKey(key, &error);
    FreeKey(key);
    if (!ok) return Fail(kExitPeer, error);
  }
  c.StartReceiver();
  return kExitOk;
}

}  // namespace

int CmdAgent(int argc, char **argv) {
  static const option longOptions[] = {{"listen", required_argument, nullptr, 'l'},
                                       {"ciphers", required_argument, nullptr, 'c'},
                                       {"allow-keys", required_argument, nullptr, 'a'},
                                       {"store", required_argument, nullptr, 's'},
                                       {"help", no_argument, nullptr, 'h'},
                                       {nullptr, 0, nullptr, 0}};
  Endpoint where;
  bool haveWhere = false;
  std::string store, error;
  for (int ch; (ch = getopt_long(argc, argv, "h", longOptions, nullptr)) != -1;) {
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
        store = optarg;
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
  if (!store.empty() && (stat(store.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)))
    return Fail(kExitInput, "not a directory: " + store);
  if (!StartAgentCrypto()) return Fail(kExitInput, "the crypto library cannot start");
  uint16_t port = 0;
  int listener = ListenOn(where, &port, &error);
  if (listener < 0) return Fail(kExitInput, error);
  printf("listening on %s:%u\n", where.host.c_str(), port);
  fflush(stdout);
  for (;;) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE) {
        if (errno == EMFILE || errno == ENFILE) usleep(100000);
        continue;
      }
      return Fail(kExitInput, std::string("accept: ") + strerror(errno));
    }
    std::thread(ServeConnection, fd, store).detach();
  }
}

int CmdSend(int argc, char **argv) {
  static const option longOptions[] = {{"to", required_argument, nullptr, 't'},
                                       {"encrypt", no_argument, nullptr, 'e'},
                                       {"key", required_argument, nullptr, 'k'},
                                       {"progress", no_argument, nullptr, 'p'},
                                       {"name", required_argument, nullptr, 'n'},
                                       {"help", no_argument, nullptr, 'h'},
                                       {nullptr, 0, nullptr, 0}};
  ClientOptions o;
  for (int ch; (ch = getopt_long(argc, argv, "h", longOptions, nullptr)) != -1;) {
    switch (ch) {
      case 't':
        if (!ParseEndpoint(optarg, &o.to))
          return Fail(kExitUsage, std::string("bad address: ") + optarg);
        o.haveTo = true;
        break;
      case 'e':
        o.encrypt = true;
        break;
      case 'k':
        o.keyFile = optarg;
        break;
      case 'p':
        o.progress = true;
        break;
      case 'n':
        o.name = optarg;
        break;
      case 'h':
        fputs(kSendHelp, stdout);
        return kExitOk;
      default:
        fputs(kSendHelp, stderr);
        return kExitUsage;
    }
  }
  if (!o.haveTo || optind + 1 != argc) {
    fputs(kSendHelp, stderr);
    return kExitUsage;
  }
  std::string path = argv[optind];
  if (access(path.c_str(), R_OK) != 0)
    return Fail(kExitInput, "cannot read " + path + ": " + strerror(errno));
  InitCryptoLib(0xF);
  // Offered beside the classic four: an agent that does not know it ignores it.
  CSCPEnableAuthenticatedCipher();
  std::unique_ptr<Connection> c;
  int status = OpenSession(o, &c);
  if (status != kExitOk) return status;
  return SendFile(c.get(), path, o.name, o.progress || isatty(STDERR_FILENO), nullptr);
}

int CmdVersion(int argc, char **argv) {
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(kVersionHelp, stdout);
    return kExitOk;
  }
  Endpoint to;
  if (argc != 2 || !ParseEndpoint(argv[1], &to)) {
    fputs(kVersionHelp, stderr);
    return kExitUsage;
  }
  std::string error;
  int fd = ConnectTo(to, static_cast<int>(kReplyTimeout), &error);
  if (fd < 0) return Fail(kExitPeer, error);
  int version = 0;
  BOOL ok = ZVCPGetPeerProtocolVersion(fd, &version);
  close(fd);
  if (!ok) return Fail(kExitPeer, "the peer closed the connection");
  printf("%d\n", version);
  return kExitOk;
}

int CmdDemo(int argc, char **argv) {
  static const char help[] =
      "usage: zvcp demo [--requests N] [--mib N] [--authenticated]\n"
      "Runs an agent and a client in one process on a loopback port: the protocol\n"
      "version exchange, the session key exchange under a fresh RSA key, N encrypted\n"
      "echo requests (default 500) answered through a wait queue, and a transfer of\n"
      "N MiB (default 4) checked by SHA-1 at both ends; then a summary.\n"
      "--authenticated: the session uses the authenticated cipher (AES-256-GCM), and\n"
      "the agent accepts only the client's key: a client with another key is shown\n"
      "being refused first.\n";
  static const option longOptions[] = {{"requests", required_argument, nullptr, 'r'},
                                       {"mib", required_argument, nullptr, 'm'},
                                       {"authenticated", no_argument, nullptr, 'a'},
                                       {"help", no_argument, nullptr, 'h'},
                                       {nullptr, 0, nullptr, 0}};
  long requests = 500, mib = 4;
  bool authenticated = false;
  for (int ch; (ch = getopt_long(argc, argv, "h", longOptions, nullptr)) != -1;) {
    char *end = nullptr;
    switch (ch) {
      case 'r':
      case 'm': {
        long value = strtol(optarg, &end, 10);
        if (*optarg == '\0' || *end != '\0' || value < 0 || value > 1000000)
          return Fail(kExitUsage, std::string("bad number: ") + optarg);
        (ch == 'r' ? requests : mib) = value;
        break;
      }
      case 'a':
        authenticated = true;
        break;
      case 'h':
        fputs(help, stdout);
        return kExitOk;
      default:
        fputs(help, stderr);
        return kExitUsage;
    }
  }
  if (optind != argc) {
    fputs(help, stderr);
    return kExitUsage;
  }
  if (authenticated) agentPolicy.ciphers = CIPHER_MASK_CLASSIC | CIPHER_MASK_AES_256_GCM;
  if (!StartAgentCrypto()) return Fail(kExitInput, "the authenticated cipher cannot run here");
  char storeTemplate[] = "/tmp/zvcp-demo-XXXXXX";
  if (mkdtemp(storeTemplate) == nullptr)
    return Fail(kExitInput, "cannot make a directory for the agent");
  std::string store = storeTemplate;
  std::string fileName = store + "/payload.bin";
  std::string incoming = store + "/in";
  mkdir(incoming.c_str(), 0700);
  {
    std::vector<BYTE> payload(static_cast<size_t>(mib) << 20);
    for (size_t i = 0; i < payload.size(); i++)
      payload[i] = static_cast<BYTE>((i * 2654435761u) >> 13);
    int fd = open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || write(fd, payload.data(), payload.size()) != static_cast<ssize_t>(payload.size()))
      return Fail(kExitInput, "cannot write " + fileName);
    close(fd);
  }

  // The client's key, and the agent's list that holds only it.
  std::string keyFile = store + "/client.key", keyList = store + "/allowed.keys";
  std::string fingerprint;
  if (authenticated) {
    RSA *key = MakeKey(2048);
    BYTE digest[KEY_FINGERPRINT_SIZE];
    bool ok =
        key != nullptr && WriteKeyFile(key, keyFile.c_str()) && GetRSAKeyFingerprint(key, digest);
    FreeKey(key);
    if (ok) {
      fingerprint = Hex(digest, sizeof(digest));
      FILE *list = fopen(keyList.c_str(), "w");
      ok = list != nullptr && fprintf(list, "# the demo's client\n%s\n", fingerprint.c_str()) > 0;
      if (list != nullptr && fclose(list) != 0) ok = false;
    }
    std::string error;
    if (!ok || !SetAgentPolicy('a', keyList.c_str(), &error))
      return Fail(kExitInput, "cannot make the client's key and the agent's key list");
  }

  std::string error;
  uint16_t port = 0;
  int listener = ListenOn(Endpoint{"127.0.0.1", 0}, &port, &error);
  if (listener < 0) return Fail(kExitInput, error);
  std::thread agent([&] {
    // With known keys, a stranger comes first.
    for (int served = 0; served < (authenticated ? 2 : 1); served++) {
      int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) break;
      ServeConnection(fd, incoming);
    }
  });
  printf("agent listening on 127.0.0.1:%u\n", port);

  int status = kExitOk;
  if (authenticated) {
    printf("the agent accepts only the key %s\n", fingerprint.c_str());
    ClientOptions stranger;
    stranger.to = Endpoint{"127.0.0.1", port};
    stranger.encrypt = true;
    std::unique_ptr<Connection> c;
    if (OpenSession(stranger, &c) == kExitOk)
      status = Fail(kExitPeer, "a stranger was let in");
    else
      printf("a client with another key was refused (result %d)\n", RESULT_UNKNOWN_KEY);
  }
  if (status == kExitOk) {
    ClientOptions o;
    o.to = Endpoint{"127.0.0.1", port};
    o.encrypt = true;
    if (authenticated) o.keyFile = keyFile;
    double keyStart = Now();
    std::unique_ptr<Connection> c;
    status = OpenSession(o, &c);
    if (status == kExitOk) {
      printf("peer speaks protocol version %d\n", c->version);
      printf("session key agreed in %.0f ms: %s, %u-byte key\n", (Now() - keyStart) * 1000,
             CipherName(c->context->cipher), c->context->keyLength);
      double start = Now();
      long answered = 0;
      for (long i = 0; i < requests; i++) {
        CSCPMessage echo(c->version);
        echo.SetCode(CMD_KEEPALIVE);
        DWORD id = c->NextId();
        echo.SetId(id);
        BYTE payload[64];
        for (size_t k = 0; k < sizeof(payload); k++) payload[k] = static_cast<BYTE>(i + k);
        echo.SetVariable(kVarPayload, payload, sizeof(payload));
        if (!c->Send(echo)) break;
        CSCPMessage *reply = c->Wait(CMD_REQUEST_COMPLETED, id);
        BYTE back[64] = {};
        if (reply != nullptr &&
            reply->GetVariableBinary(kVarPayload, back, sizeof(back)) == sizeof(back) &&
            memcmp(back, payload, sizeof(back)) == 0)
          answered++;
        delete reply;
      }
      double echoSeconds = Now() - start;
      printf("%ld of %ld encrypted echo requests answered\n", answered, requests);
      double fileSeconds = 0;
      status = SendFile(c.get(), fileName, "", isatty(STDERR_FILENO), &fileSeconds);
      if (answered != requests && status == kExitOk)
        status = Fail(kExitPeer, "echo requests went unanswered");
      if (status == kExitOk) {
        printf("summary: %.0f messages/s, %.1f MiB/s, cipher %s\n",
               echoSeconds > 0 ? answered / echoSeconds : 0.0,
               fileSeconds > 0 ? mib / fileSeconds : 0.0, CipherName(c->context->cipher));
      }
    }
  }
  shutdown(listener, SHUT_RDWR);
  close(listener);
  agent.join();
  unlink((incoming + "/payload.bin").c_str());
  rmdir(incoming.c_str());
  unlink(keyFile.c_str());
  unlink(keyList.c_str());
  unlink(fileName.c_str());
  rmdir(store.c_str());
  return status;
}

}  // namespace zvcp
