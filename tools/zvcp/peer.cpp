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

}  // namespace

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
  Agent agent;
  AgentOptions agentOptions;
  agentOptions.store = incoming;
  agentOptions.threads = 1;
  if (!agent.Start(listener, agentOptions, &error)) return Fail(kExitInput, error);
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
  agent.Stop();
  unlink((incoming + "/payload.bin").c_str());
  rmdir(incoming.c_str());
  unlink(keyFile.c_str());
  unlink(keyList.c_str());
  unlink(fileName.c_str());
  rmdir(store.c_str());
  return status;
}

}  // namespace zvcp
