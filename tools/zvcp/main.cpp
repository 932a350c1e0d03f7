// zvcp: the command-line tool of the Zavrin message protocol. One program with
// subcommands; "zvcp help" lists them, "zvcp <command> --help" explains one.
#include <arpa/inet.h>
#include <errno.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "zvcp.h"

namespace zvcp {
namespace {

const char kUsage[] =
    "usage: zvcp [--key-log FILE] <command> [arguments]\n"
    "       (zvcp <command> --help for one command)\n"
    "  demo                       an agent and a client in one process, with a summary\n"
    "  agent --listen HOST:PORT   answer version, key, echo requests; store files\n"
    "                             (--allow-keys FILE: only the keys it lists)\n"
    "  send FILE --to HOST:PORT   send a file to an agent (--encrypt)\n"
    "  version HOST:PORT          ask a peer its protocol version\n"
    "  bench --to HOST:PORT       load an agent with echo requests from many connections\n"
    "  keygen FILE [--bits N]     write an RSA key file, print its fingerprint\n"
    "  decode [--version N] [FILE]  wire bytes to XML\n"
    "  encode [--version N] [FILE]  XML to wire bytes\n"
    "  codes | code N             the command codes and their names\n"
    "  ping HOST [-c COUNT] [-t MS] [-s SIZE]   ICMP echo\n"
    "  uuid                       a new time-based UUID\n"
    "  crc32 | md5 | sha1 FILE    a file's checksum\n"
    "--key-log FILE (or ZVCP_KEYLOG_FILE=FILE) appends each agreed session's cipher,\n"
    "key and IV to FILE, so that a capture can be decrypted (tools/wireshark).\n"
    "Exit status: 0 done, 1 bad usage, 2 unreadable or malformed input,\n"
    "3 a peer that refused, failed or stayed silent.\n";

bool WantsHelp(int argc, char **argv) {
  for (int i = 1; i < argc; i++)
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) return true;
  return false;
}

int Usage(const char *text) {
  fputs(text, stderr);
  return kExitUsage;
}

bool ParseNumber(const char *text, long low, long high, long *out) {
  char *end = nullptr;
  errno = 0;
  long value = strtol(text, &end, 0);
  if (*text == '\0' || *end != '\0' || errno != 0 || value < low || value > high) return false;
  *out = value;
  return true;
}

// All of a file, or of standard input for "" or "-".
bool ReadAll(const std::string &path, std::vector<BYTE> *out) {
  FILE *f = path.empty() || path == "-" ? stdin : fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  BYTE chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof(chunk), f)) > 0) out->insert(out->end(), chunk, chunk + n);
  bool ok = !ferror(f);
  if (f != stdin) fclose(f);
  return ok;
}

int CmdCodes(int argc, char **argv) {
  if (WantsHelp(argc, argv)) {
    puts("usage: zvcp codes\nLists every command code with its name.");
    return kExitOk;
  }
  if (argc != 1) return Usage("usage: zvcp codes\n");
  char name[64];
  for (unsigned code = 1; code <= 0xFFFF; code++) {
    ZVCPMessageCodeName(static_cast<WORD>(code), name);
    if (strncmp(name, "CMD_UNKNOWN", 11) == 0) continue;
    printf("%u\t%s\n", code, name);
  }
  return kExitOk;
}

int CmdCode(int argc, char **argv) {
  static const char help[] =
      "usage: zvcp code N\nPrints the name of command code N (decimal or 0x hex).\n";
  if (WantsHelp(argc, argv)) return fputs(help, stdout), kExitOk;
  long code;
  if (argc != 2 || !ParseNumber(argv[1], 0, 0xFFFF, &code)) return Usage(help);
  char name[64];
  puts(ZVCPMessageCodeName(static_cast<WORD>(code), name));
  return kExitOk;
}

int CmdUuid(int argc, char **argv) {
  if (WantsHelp(argc, argv))
    return puts("usage: zvcp uuid\nPrints a new time-based UUID."), kExitOk;
  if (argc != 1) return Usage("usage: zvcp uuid\n");
  uuid_t id;
  uuid_generate(id);
  char text[40];
  puts(uuid_to_string(id, text));
  return kExitOk;
}

int CmdChecksum(int argc, char **argv) {
  std::string usage =
      std::string("usage: zvcp ") + argv[0] + " FILE\nPrints the file's " + argv[0] + ".\n";
  if (WantsHelp(argc, argv)) return fputs(usage.c_str(), stdout), kExitOk;
  if (argc != 2) return Usage(usage.c_str());
  const char *file = argv[1];
  if (access(file, R_OK) != 0)
    return Fail(kExitInput, std::string("cannot read ") + file + ": " + strerror(errno));
  BYTE hash[20];
  size_t length = 0;
  BOOL ok;
  if (strcmp(argv[0], "crc32") == 0) {
    DWORD crc = 0;
    ok = CalculateFileCRC32(file, &crc);
    if (ok) printf("%08x  %s\n", crc, file);
  } else {
    bool md5 = strcmp(argv[0], "md5") == 0;
    ok = md5 ? CalculateFileMD5Hash(file, hash) : CalculateFileSHA1Hash(file, hash);
    length = md5 ? 16 : 20;
    if (ok) {
      for (size_t i = 0; i < length; i++) printf("%02x", hash[i]);
      printf("  %s\n", file);
    }
  }
  return ok ? kExitOk : Fail(kExitInput, std::string("cannot read ") + file);
}

int CmdKeygen(int argc, char **argv) {
  static const char help[] =
      "usage: zvcp keygen FILE [--bits N]\n"
      "Writes a new RSA key (N bits, default 2048, 1024 to 8192) to FILE in the key\n"
      "file format the library reads: the 32-bit little-endian length, the public\n"
      "and the private key in PKCS#1 DER, and their SHA-1. The file is private (0600).\n"
      "Prints the key's fingerprint (SHA-256 of the DER public key) and FILE, a line\n"
      "that zvcp agent --allow-keys takes as it is.\n";
  static const option longOptions[] = {{"bits", required_argument, nullptr, 'b'},
                                       {"help", no_argument, nullptr, 'h'},
                                       {nullptr, 0, nullptr, 0}};
  long bits = 2048;
  for (int ch; (ch = getopt_long(argc, argv, "h", longOptions, nullptr)) != -1;) {
    if (ch == 'h') return fputs(help, stdout), kExitOk;
    if (ch != 'b' || !ParseNumber(optarg, 1024, 8192, &bits)) return Usage(help);
  }
  if (optind + 1 != argc) return Usage(help);
  RSA *key = MakeKey(static_cast<int>(bits));
  if (key == nullptr) return Fail(kExitInput, "cannot make an RSA key");
  bool written = WriteKeyFile(key, argv[optind]);
  BYTE fingerprint[KEY_FINGERPRINT_SIZE];
  bool printed = GetRSAKeyFingerprint(key, fingerprint);
  FreeKey(key);
  if (!written)
    return Fail(kExitInput, std::string("cannot write ") + argv[optind] + ": " + strerror(errno));
  // The line a key list takes as it is (zvcp agent --allow-keys).
  if (printed) printf("%s  %s\n", Hex(fingerprint, sizeof(fingerprint)).c_str(), argv[optind]);
  return kExitOk;
}

// decode and encode share their arguments.
bool CodecArguments(int argc, char **argv, const char *help, int *version, std::string *file,
                    int *status) {
  static const option longOptions[] = {{"version", required_argument, nullptr, 'v'},
                                       {"help", no_argument, nullptr, 'h'},
                                       {nullptr, 0, nullptr, 0}};
  long v = ZVCP_PROTOCOL_VERSION;
  for (int ch; (ch = getopt_long(argc, argv, "h", longOptions, nullptr)) != -1;) {
    if (ch == 'h') {
      fputs(help, stdout);
      *status = kExitOk;
      return false;
    }
    if (ch != 'v' || !ParseNumber(optarg, 1, ZVCP_PROTOCOL_VERSION, &v)) {
      *status = Usage(help);
      return false;
    }
  }
  if (argc - optind > 1) {
    *status = Usage(help);
    return false;
  }
  *version = static_cast<int>(v);
  *file = optind < argc ? argv[optind] : "";
  return true;
}

int CmdDecode(int argc, char **argv) {
  static const char help[] =
      "usage: zvcp decode [--version N] [FILE]\n"
      "Reads one message's wire bytes (protocol version N, default 2) from FILE or\n"
      "standard input and prints its XML form.\n";
  int version, status;
  std::string file;
  if (!CodecArguments(argc, argv, help, &version, &file, &status)) return status;
  std::vector<BYTE> wire;
  if (!ReadAll(file, &wire))
    return Fail(kExitInput, "cannot read " + (file.empty() ? "standard input" : file));
  if (wire.size() < 16 || ntohl(reinterpret_cast<CSCP_MESSAGE *>(wire.data())->size) != wire.size())
    return Fail(kExitInput, "not one whole message: its size field and its length differ");
  CSCPMessage msg(reinterpret_cast<CSCP_MESSAGE *>(wire.data()), version);
  char *xml = msg.CreateXML();
  if (xml == nullptr) return Fail(kExitInput, "out of memory");
  fputs(xml, stdout);
  free(xml);
  return kExitOk;
}

// The document with its version attribute set to version: the XML reader takes
// the wire layout from it.
std::string WithVersion(std::string xml, int version) {
  size_t tag = xml.find("<zvcp");
  size_t end = tag == std::string::npos ? tag : xml.find('>', tag);
  if (end == std::string::npos) return xml;
  std::string attribute = "version=\"" + std::to_string(version) + "\"";
  size_t at = xml.find("version=\"", tag);
  if (at != std::string::npos && at < end) {
    size_t close = xml.find('"', at + 9);
    if (close != std::string::npos && close < end)
      return xml.replace(at, close + 1 - at, attribute);
  }
  return xml.insert(tag + 5, " " + attribute);
}

int CmdEncode(int argc, char **argv) {
  static const char help[] =
      "usage: zvcp encode [--version N] [FILE]\n"
      "Reads a message's XML form from FILE or standard input and writes its wire\n"
      "bytes to standard output, in protocol version N (default: the document's).\n";
  bool versionGiven = false;
  for (int i = 1; i < argc; i++)
    if (strncmp(argv[i], "--version", 9) == 0) versionGiven = true;
  int version, status;
  std::string file;
  if (!CodecArguments(argc, argv, help, &version, &file, &status)) return status;
  std::vector<BYTE> text;
  if (!ReadAll(file, &text))
    return Fail(kExitInput, "cannot read " + (file.empty() ? "standard input" : file));
  std::string xml(text.begin(), text.end());
  if (xml.find('\0') != std::string::npos || xml.find("<zvcp") == std::string::npos)
    return Fail(kExitInput, "not the XML form of a message");
  if (versionGiven) xml = WithVersion(xml, version);
  CSCPMessage msg(xml.c_str());
  CSCP_MESSAGE *wire = msg.CreateMessage();
  if (wire == nullptr) return Fail(kExitInput, "out of memory");
  size_t size = ntohl(wire->size);
  bool ok = fwrite(wire, 1, size, stdout) == size && fflush(stdout) == 0;
  free(wire);
  return ok ? kExitOk : Fail(kExitInput, "cannot write the output");
}

int CmdPing(int argc, char **argv) {
  static const char help[] =
      "usage: zvcp ping HOST [-c COUNT] [-t MS] [-s SIZE]\n"
      "Sends COUNT (default 4) ICMP echo requests of SIZE bytes (default 56), each\n"
      "waiting up to MS milliseconds (default 1000). Needs a raw socket (root or\n"
      "CAP_NET_RAW). Exit status 3 when no reply came.\n";
  if (WantsHelp(argc, argv)) return fputs(help, stdout), kExitOk;
  long count = 4, timeout = 1000, size = 56;
  optind = 1;
  for (int ch; (ch = getopt(argc, argv, "c:t:s:h")) != -1;) {
    bool ok = true;
    if (ch == 'c')
      ok = ParseNumber(optarg, 1, 1000000, &count);
    else if (ch == 't')
      ok = ParseNumber(optarg, 1, 600000, &timeout);
    else if (ch == 's')
      ok = ParseNumber(optarg, 0, 65000, &size);
    else if (ch == 'h')
      return fputs(help, stdout), kExitOk;
    else
      ok = false;
    if (!ok) return Usage(help);
  }
  if (optind + 1 != argc) return Usage(help);
  DWORD addr = ResolveHostName(argv[optind]);
  if (addr == INADDR_NONE || addr == 0)
    return Fail(kExitInput, std::string("cannot resolve ") + argv[optind]);
  int received = 0;
  for (long i = 0; i < count; i++) {
    DWORD rtt = 0;
    DWORD result = IcmpPing(addr, 1, static_cast<DWORD>(timeout), &rtt, static_cast<DWORD>(size));
    static const char *const results[] = {"reply", "unreachable", "no reply", "socket error"};
    if (result == PING_SOCKET_ERROR)
      return Fail(kExitInput, "cannot open a raw ICMP socket (root or CAP_NET_RAW needed)");
    if (result == PING_OK) {
      received++;
      printf("%s: reply in %u ms\n", argv[optind], rtt);
    } else {
      printf("%s: %s\n", argv[optind], result < 4 ? results[result] : "failed");
    }
    fflush(stdout);
  }
  printf("%ld sent, %d answered\n", count, received);
  return received > 0 ? kExitOk : kExitPeer;
}

}  // namespace

AgentPolicy agentPolicy;

bool SetAgentPolicy(int option, const char *value, std::string *error) {
  if (option == 'a') {
    FreeKnownKeys(agentPolicy.knownKeys);
    agentPolicy.knownKeys = LoadKnownKeys(value);
    if (agentPolicy.knownKeys == nullptr)
      *error = std::string("cannot read the key list ") + value +
               " (one SHA-256 fingerprint in hex a line, # for comments)";
    return agentPolicy.knownKeys != nullptr;
  }
  long mask;
  if (!ParseNumber(value, 0, CIPHER_MASK_CLASSIC | CIPHER_MASK_AES_256_GCM, &mask)) {
    *error = std::string("bad cipher mask: ") + value;
    return false;
  }
  agentPolicy.ciphers = static_cast<DWORD>(mask);
  return true;
}

bool StartAgentCrypto() {
  if (!InitCryptoLib(agentPolicy.ciphers & CIPHER_MASK_CLASSIC)) return false;
  return (agentPolicy.ciphers & CIPHER_MASK_AES_256_GCM) == 0 || CSCPEnableAuthenticatedCipher();
}

namespace {

struct Command {
  const char *name;
  int (*run)(int argc, char **argv);
};

const Command kCommands[] = {
    {"demo", CmdDemo},     {"agent", CmdAgent},   {"send", CmdSend},     {"version", CmdVersion},
    {"keygen", CmdKeygen}, {"decode", CmdDecode}, {"encode", CmdEncode}, {"codes", CmdCodes},
    {"code", CmdCode},     {"ping", CmdPing},     {"uuid", CmdUuid},     {"crc32", CmdChecksum},
    {"md5", CmdChecksum},  {"sha1", CmdChecksum}, {"bench", CmdBench},
};

}  // namespace
}  // namespace zvcp

int main(int argc, char **argv) {
  using namespace zvcp;
  signal(SIGPIPE, SIG_IGN);
  const char *keyLog = getenv("ZVCP_KEYLOG_FILE");
  if (keyLog != nullptr) keyLogPath = keyLog;
  // zvcp --key-log FILE <command> ...: the same for one run.
  if (argc >= 3 && strcmp(argv[1], "--key-log") == 0) {
    keyLogPath = argv[2];
    argv[2] = argv[0];
    argv += 2;
    argc -= 2;
  }
  if (argc < 2) return Usage(kUsage);
  if (strcmp(argv[1], "--version") == 0) {
    printf("zvcp %s (protocol version %d)\n", ZAVRIN_VERSION_STRING, ZVCP_PROTOCOL_VERSION);
    return kExitOk;
  }
  if (strcmp(argv[1], "help") == 0 || strcmp(argv[1], "--help") == 0 ||
      strcmp(argv[1], "-h") == 0) {
    fputs(kUsage, stdout);
    return kExitOk;
  }
  for (const Command &c : kCommands) {
    if (strcmp(argv[1], c.name) == 0) {
      optind = 1;
      return c.run(argc - 1, argv + 1);
    }
  }
  fprintf(stderr, "zvcp: unknown command \"%s\"\n", argv[1]);
  return Usage(kUsage);
}
