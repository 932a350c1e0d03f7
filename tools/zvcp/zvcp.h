// The zvcp tool's shared pieces: exit statuses, errors, endpoints, connections
// that carry messages (encrypted once a session key is agreed), the conversation
// the tool defines on top of the library, and the progress bar.
#ifndef ZVCP_TOOL_H
#define ZVCP_TOOL_H

#include <zavrin.h>

#include <stdint.h>
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace zvcp {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;  // bad arguments
constexpr int kExitInput = 2;  // unreadable or malformed input, local I/O errors
constexpr int kExitPeer = 3;   // a peer that refused, failed, closed or stayed silent

// The conversation that the tool defines beyond the library (see "zvcp help").
// Echo: CMD_KEEPALIVE with kVarPayload; the answer is CMD_REQUEST_COMPLETED with
// the request's id, VAR_ID_RESULT_CODE 0 and the same payload.
// File: CMD_TRANSFER_FILE with kVarFileName and kVarFileSize; the answer (result 0:
// go ahead) comes first, then the file follows as SendFileOverZVCP chunks with the
// same id, and once the last chunk is in the agent answers again with the size
// and the SHA-1 it received.
constexpr DWORD kVarPayload = 1;
constexpr DWORD kVarFileName = 2;
constexpr DWORD kVarFileSize = 3;
constexpr DWORD kVarFileSha1 = 4;
constexpr DWORD kResultRefused = 1;  // the agent does not take the file

constexpr DWORD kReplyTimeout = 10000;  // milliseconds for any answer
constexpr DWORD kIdleTimeout = 300000;  // the agent's patience with a silent peer
// Data that a peer does not acknowledge for this long ends the connection, so
// that a send to a peer that stopped reading cannot block for ever.
constexpr unsigned kUnacknowledgedTimeout = 30000;
constexpr DWORD kMaxMessage = 4 * 1024 * 1024;
constexpr uint16_t kDefaultPort = 4700;

// Lower-case hex digits of the bytes, as sha1sum prints them.
std::string Hex(const BYTE *bytes, size_t n);

// Prints "zvcp: <text>" on stderr and returns status.
int Fail(int status, const std::string &text);

// HOST:PORT or HOST (the default port); the port may be 0 where one is chosen.
struct Endpoint {
  std::string host;
  uint16_t port = kDefaultPort;
};
bool ParseEndpoint(const std::string &text, Endpoint *out);

// HOST:PORT again, with an IPv6 address in brackets.
std::string Describe(const Endpoint &where);
// The addresses a name stands for, IPv4 or IPv6 (passive: for listening), or
// false with *error set.
bool Resolve(const Endpoint &where, bool passive, std::vector<sockaddr_storage> *out,
             std::string *error);
socklen_t AddressLength(const sockaddr_storage &address);

// A connected TCP socket within timeout milliseconds, or -1 with *error set.
int ConnectTo(const Endpoint &where, int timeout, std::string *error);
// A listening TCP socket, or -1 with *error set; *port receives the bound port.
int ListenOn(const Endpoint &where, uint16_t *port, std::string *error);

// One connection: owns the socket. Messages are read one at a time with Read
// until StartReceiver hands every later message to the wait queue.
class Connection {
 public:
  // Sets the socket's time-out for unacknowledged data.
  explicit Connection(int fd);
  ~Connection();
  Connection(const Connection &) = delete;
  Connection &operator=(const Connection &) = delete;

  int fd() const { return fd_; }
  int version = ZVCP_PROTOCOL_VERSION;
  ENCRYPTION_CONTEXT *context = nullptr;  // owned

  // The receiver's result; on 16 or more, Message() holds the message.
  int Read(DWORD timeout);
  CSCP_MESSAGE *Message() { return reinterpret_cast<CSCP_MESSAGE *>(buffer_.get()); }
  // Sends the message, encrypted when there is a context and plain is false.
  bool Send(const CSCPMessage &msg, bool plain = false);

  // Requester's side of the session key exchange; false with *error set.
  bool NegotiateKey(RSA *key, std::string *error);
  void StartReceiver();
  // The answer with this code and id, or null after timeout; the caller deletes it.
  CSCPMessage *Wait(WORD code, DWORD id, DWORD timeout = kReplyTimeout) {
    return queue_.WaitForMessage(code, id, timeout);
  }
  DWORD NextId() { return nextId_++; }

 private:
  int fd_;
  std::unique_ptr<RECEIVE_BUFFER> receiveBuffer_;
  std::unique_ptr<BYTE[]> buffer_, work_;
  MsgWaitQueue queue_;
  std::thread receiver_;
  std::atomic<DWORD> nextId_{1};
};

// An RSA key made here, of the given bits; null on failure. Freed with FreeKey.
RSA *MakeKey(int bits);
void FreeKey(RSA *key);
// The key file that LoadRSAKeys reads; false on a write error.
bool WriteKeyFile(RSA *key, const char *path);

// Sends the file over the connection as the tool's file conversation, offered
// under name (the file's own when empty); shows a progress bar on stderr when
// asked. Returns an exit status, with the message printed.
int SendFile(Connection *c, const std::string &path, const std::string &name, bool progress,
             double *seconds);

// Raises the soft descriptor limit to the hard one; returns the limit in force.
int RaiseDescriptorLimit();

struct AgentOptions {
  std::string store;     // the directory that receives files; "" refuses every file
  unsigned threads = 0;  // event loops; 0: one per core (at most 5)
  unsigned idleMs = kIdleTimeout;
  unsigned unacknowledgedMs = kUnacknowledgedTimeout;
};

// The agent: event loops that accept from a listening socket and answer every
// connection, until Stop (or destruction) ends them all.
class Agent {
 public:
  Agent();
  ~Agent();
  Agent(const Agent &) = delete;
  Agent &operator=(const Agent &) = delete;
  // Serves the listener (taken over); false with *error set.
  bool Start(int listener, const AgentOptions &options, std::string *error);
  // How many peers it holds at most, from its descriptor limit.
  int Capacity() const;
  void Stop();

 private:
  struct Impl;
  Impl *impl_;
};

// What the agent's responder allows: the ciphers (--ciphers) and, when not null,
// the only public keys it accepts (--allow-keys). Set before the agent serves.
struct AgentPolicy {
  DWORD ciphers = CIPHER_MASK_CLASSIC;
  KNOWN_KEYS *knownKeys = nullptr;
};
extern AgentPolicy agentPolicy;
// Takes the agent's --ciphers (c) or --allow-keys (a) option into agentPolicy;
// false with *error set for a bad mask or an unreadable key list.
bool SetAgentPolicy(int option, const char *value, std::string *error);
// Turns on the crypto library's ciphers that the policy allows.
bool StartAgentCrypto();

// The name of a cipher id, as the demo and the key log show it.
const char *CipherName(DWORD cipher);

// The session key log, in the spirit of the key-log files that TLS tools write:
// when a path is set (ZVCP_KEYLOG_FILE, or --key-log), every agreed session adds
// a line "ZVCP_SESSION <client ip:port> <server ip:port> <cipher id> <key hex>
// <iv hex> <cipher name>", so that a capture of the session can be decrypted.
extern std::string keyLogPath;
void LogSessionKey(int fd, const ENCRYPTION_CONTEXT *context, bool weAreClient);

// Subcommands.
int CmdAgent(int argc, char **argv);
int CmdSend(int argc, char **argv);
int CmdVersion(int argc, char **argv);
int CmdDemo(int argc, char **argv);
int CmdBench(int argc, char **argv);

}  // namespace zvcp

#endif  // ZVCP_TOOL_H
