// Endpoints, connections and the progress bar of the zvcp tool.
#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <vector>

#include "zvcp.h"

namespace zvcp {

int Fail(int status, const std::string &text) {
  fprintf(stderr, "zvcp: %s\n", text.c_str());
  return status;
}

std::string keyLogPath;

std::string Hex(const BYTE *bytes, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; i++) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

std::string AddressText(const sockaddr_storage &a) {
  char ip[INET6_ADDRSTRLEN] = "?";
  uint16_t port = 0;
  if (a.ss_family == AF_INET6) {
    const sockaddr_in6 &v6 = reinterpret_cast<const sockaddr_in6 &>(a);
    inet_ntop(AF_INET6, &v6.sin6_addr, ip, sizeof(ip));
    port = ntohs(v6.sin6_port);
    return std::string("[") + ip + "]:" + std::to_string(port);
  }
  const sockaddr_in &v4 = reinterpret_cast<const sockaddr_in &>(a);
  inet_ntop(AF_INET, &v4.sin_addr, ip, sizeof(ip));
  return std::string(ip) + ":" + std::to_string(ntohs(v4.sin_port));
}

const char *CipherName(DWORD cipher) {
  static const char *const names[] = {"AES-256", "Blowfish", "IDEA", "Triple DES", "AES-256-GCM"};
  return cipher < sizeof(names) / sizeof(names[0]) ? names[cipher] : "unknown";
}

void LogSessionKey(int fd, const ENCRYPTION_CONTEXT *context, bool weAreClient) {
  if (keyLogPath.empty() || context == nullptr) return;
  sockaddr_storage local = {}, remote = {};
  socklen_t length = sizeof(local);
  getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length);
  length = sizeof(remote);
  getpeername(fd, reinterpret_cast<sockaddr *>(&remote), &length);
  const sockaddr_storage &client = weAreClient ? local : remote;
  const sockaddr_storage &server = weAreClient ? remote : local;
  std::string line =
      "ZVCP_SESSION " + AddressText(client) + " " + AddressText(server) + " " +
      std::to_string(context->cipher) + " " + Hex(context->sessionKey, context->keyLength) + " " +
      Hex(context->iv, sizeof(context->iv)) + " " + CipherName(context->cipher) + "\n";
  // One write per line, appended: lines from several processes do not mix.
  int log = open(keyLogPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (log < 0 || write(log, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
    fprintf(stderr, "zvcp: cannot write the key log %s\n", keyLogPath.c_str());
  if (log >= 0) close(log);
}

// HOST:PORT, [V6]:PORT, [V6], HOST, or a bare IPv6 address (the default port).
bool ParseEndpoint(const std::string &text, Endpoint *out) {
  out->port = kDefaultPort;
  std::string port;
  if (!text.empty() && text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos) return false;
    out->host = text.substr(1, close - 1);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':') return false;
      port = text.substr(close + 2);
      if (port.empty()) return false;
    }
  } else {
    size_t colon = text.rfind(':');
    bool bareV6 = colon != std::string::npos && text.find(':') != colon;
    out->host = bareV6 ? text : text.substr(0, colon);
    if (!bareV6 && colon != std::string::npos) {
      port = text.substr(colon + 1);
      if (port.empty()) return false;
    }
  }
  if (out->host.empty()) return false;
  if (port.empty()) return true;
  char *end = nullptr;
  unsigned long value = strtoul(port.c_str(), &end, 10);
  if (!isdigit(static_cast<unsigned char>(port[0])) || *end != '\0' || value > 65535) return false;
  out->port = static_cast<uint16_t>(value);
  return true;
}

std::string Describe(const Endpoint &where) {
  bool v6 = where.host.find(':') != std::string::npos;
  return (v6 ? "[" + where.host + "]" : where.host) + ":" + std::to_string(where.port);
}

bool Resolve(const Endpoint &where, bool passive, std::vector<sockaddr_storage> *out,
             std::string *error) {
  addrinfo hints = {}, *found = nullptr;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = passive ? AI_PASSIVE : AI_ADDRCONFIG;
  std::string port = std::to_string(where.port);
  int rc = getaddrinfo(where.host.c_str(), port.c_str(), &hints, &found);
  if (rc == EAI_NONAME || rc == EAI_ADDRFAMILY || rc == EAI_NODATA) {
    // Loopback-only machines: AI_ADDRCONFIG hides ::1 where no interface has IPv6.
    hints.ai_flags = passive ? AI_PASSIVE : 0;
    rc = getaddrinfo(where.host.c_str(), port.c_str(), &hints, &found);
  }
  if (rc != 0 || found == nullptr) {
    *error = "cannot resolve " + where.host + ": " + gai_strerror(rc);
    return false;
  }
  out->clear();
  for (addrinfo *a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_family != AF_INET && a->ai_family != AF_INET6) continue;
    sockaddr_storage address = {};
    memcpy(&address, a->ai_addr, a->ai_addrlen);
    out->push_back(address);
  }
  freeaddrinfo(found);
  if (out->empty()) *error = "no IPv4 or IPv6 address for " + where.host;
  return !out->empty();
}

socklen_t AddressLength(const sockaddr_storage &a) {
  return a.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

namespace {

// A blocking connect of fd within timeout milliseconds; the errno of a failure.
int ConnectWithin(int fd, const sockaddr_storage &address, int timeout) {
  int rc = connect(fd, reinterpret_cast<const sockaddr *>(&address), AddressLength(address));
  if (rc == 0) return 0;
  if (errno != EINPROGRESS) return errno;
  pollfd p = {fd, POLLOUT, 0};
  int ready;
  do {
    ready = poll(&p, 1, timeout);
  } while (ready < 0 && errno == EINTR);
  int soError = 0;
  socklen_t length = sizeof(soError);
  if (ready == 0) return ETIMEDOUT;
  if (ready < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length) != 0) return errno;
  return soError;
}

}  // namespace

int ConnectTo(const Endpoint &where, int timeout, std::string *error) {
  std::vector<sockaddr_storage> addresses;
  if (!Resolve(where, false, &addresses, error)) return -1;
  int failure = 0;
  for (const sockaddr_storage &address : addresses) {
    int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
      *error = std::string("socket: ") + strerror(errno);
      return -1;
    }
    failure = ConnectWithin(fd, address, timeout);
    if (failure != 0) {
      close(fd);
      continue;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return fd;
  }
  *error = "cannot connect to " + Describe(where) + ": " + strerror(failure);
  return -1;
}

int ListenOn(const Endpoint &where, uint16_t *port, std::string *error) {
  std::vector<sockaddr_storage> addresses;
  if (!Resolve(where, true, &addresses, error)) return -1;
  sockaddr_storage address = addresses[0];
  int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  socklen_t length = sizeof(address);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), AddressLength(address)) != 0 ||
      listen(fd, SOMAXCONN) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
    *error = "cannot listen on " + Describe(where) + ": " + strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 &>(address).sin6_port
                                              : reinterpret_cast<sockaddr_in &>(address).sin_port);
  return fd;
}

Connection::Connection(int fd)
    : fd_(fd),
      receiveBuffer_(new RECEIVE_BUFFER),
      buffer_(new BYTE[kMaxMessage]),
      work_(new BYTE[kMaxMessage + 16]) {
  RecvZVCPMessage(fd_, nullptr, receiveBuffer_.get(), 0, nullptr, nullptr, 0);
  unsigned timeout = kUnacknowledgedTimeout;
  setsockopt(fd_, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, sizeof(timeout));
}

Connection::~Connection() {
  // Ends the receiver: its next read sees the connection end.
  shutdown(fd_, SHUT_RDWR);
  if (receiver_.joinable()) receiver_.join();
  close(fd_);
  DestroyEncryptionContext(context);
}

int Connection::Read(DWORD timeout) {
  return RecvZVCPMessage(fd_, Message(), receiveBuffer_.get(), kMaxMessage, &context, work_.get(),
                         timeout);
}

bool Connection::Send(const CSCPMessage &msg, bool plain) {
  CSCP_MESSAGE *wire = msg.CreateMessage();
  if (wire == nullptr) return false;
  bool sent;
  if (context == nullptr || plain) {
    int size = static_cast<int>(ntohl(wire->size));
    sent = SendEx(fd_, wire, static_cast<size_t>(size), 0) == size;
  } else {
    ENCRYPTED_MESSAGE *e = CSCPEncryptMessage(context, wire);
    int size = e != nullptr ? static_cast<int>(ntohl(e->size)) : 0;
    sent = e != nullptr && SendEx(fd_, e, static_cast<size_t>(size), 0) == size;
    free(e);
  }
  free(wire);
  return sent;
}

bool Connection::NegotiateKey(RSA *key, std::string *error) {
  CSCPMessage request(version);
  PrepareKeyRequestMsg(&request, key);
  DWORD id = NextId();
  request.SetId(id);
  if (!Send(request, true)) {
    *error = "the key request could not be sent";
    return false;
  }
  for (;;) {
    int r = Read(kReplyTimeout);
    if (r < 16) {
      *error = r == 3 ? "no answer to the key request" : "the peer ended the key exchange";
      return false;
    }
    if (ntohs(Message()->code) != CMD_SESSION_KEY || ntohl(Message()->id) != id) continue;
    CSCPMessage answer(Message(), version);
    DWORD result = SetupEncryptionContext(&answer, &context, nullptr, key, version);
    if (result != RESULT_OK) {
      *error = "the key exchange failed with result " + std::to_string(result);
      return false;
    }
    LogSessionKey(fd_, context, true);
    return true;
  }
}

void Connection::StartReceiver() {
  receiver_ = std::thread([this] {
    for (;;) {
      int r = Read(INFINITE);
      if (r < 16) {
        if (r == 1 || r == 2) continue;  // too large or not decryptable: dropped
        return;
      }
      if (ntohs(Message()->flags) & MSG_FLAG_RAW) continue;
      queue_.Put(new CSCPMessage(Message(), version));
    }
  });
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
RSA *MakeKey(int bits) {
  EVP_PKEY *pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits));
  if (pkey == nullptr) return nullptr;
  RSA *rsa = EVP_PKEY_get1_RSA(pkey);
  EVP_PKEY_free(pkey);
  return rsa;
}

void FreeKey(RSA *key) {
  RSA_free(key);
}

bool WriteKeyFile(RSA *key, const char *path) {
  unsigned char *pub = nullptr, *priv = nullptr;
  int pubLength = i2d_RSAPublicKey(key, &pub);
  int privLength = i2d_RSAPrivateKey(key, &priv);
  bool ok = pubLength > 0 && privLength > 0;
  std::vector<unsigned char> file;
  if (ok) {
    uint32_t length = static_cast<uint32_t>(pubLength + privLength);
    for (int i = 0; i < 4; i++) file.push_back(static_cast<unsigned char>(length >> (8 * i)));
    file.insert(file.end(), pub, pub + pubLength);
    file.insert(file.end(), priv, priv + privLength);
    BYTE digest[20];
    CalculateSHA1Hash(file.data() + 4, length, digest);
    file.insert(file.end(), digest, digest + sizeof(digest));
    OPENSSL_cleanse(priv, static_cast<size_t>(privLength));
  }
  OPENSSL_free(pub);
  OPENSSL_free(priv);
  if (!ok) return false;
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool written =
      fd >= 0 && write(fd, file.data(), file.size()) == static_cast<ssize_t>(file.size());
  if (fd >= 0 && close(fd) != 0) written = false;
  OPENSSL_cleanse(file.data(), file.size());
  return written;
}
#pragma GCC diagnostic pop

}  // namespace zvcp
