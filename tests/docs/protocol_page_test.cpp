// The worked examples of docs/protocol.md against the library: the library must
// produce every named hex block of the page byte for byte, or read it as the page
// says. OpenSSL and zlib, used directly, check the cryptography of the examples.
#include <zavrin.h>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <openssl/pem.h>
#include <openssl/rsa.h>

#include "crypto_test_util.h"
#include "test_support.h"

using crypto_test::Bytes;

namespace {

// The page's named blocks: "```hex NAME" lines of "OFFSET: bytes  # comment", the
// offset being that of the line's first byte; "```pem NAME" text.
struct Page {
  std::map<std::string, Bytes> hex;
  std::map<std::string, std::string> text;
  std::vector<std::string> errors;
};

void ReadHexLine(const std::string &line, Bytes *block, std::vector<std::string> *errors) {
  std::istringstream words(line.substr(0, line.find('#')));
  std::string word;
  if (!(words >> word)) return;
  char *end = nullptr;
  unsigned long offset = strtoul(word.c_str(), &end, 16);
  if (word.size() < 2 || *end != ':' || end[1] != '\0' || offset != block->size())
    errors->push_back("offset " + word + " where " + std::to_string(block->size()) + " bytes lie");
  while (words >> word) {
    if (word.size() != 2 || !isxdigit(word[0]) || !isxdigit(word[1])) {
      errors->push_back("not a byte: " + word);
      return;
    }
    block->push_back(static_cast<unsigned char>(strtoul(word.c_str(), nullptr, 16)));
  }
}

const Page &ThePage() {
  static const Page page = [] {
    Page p;
    std::ifstream in(ZAVRIN_PROTOCOL_PAGE);
    if (!in) p.errors.push_back("cannot read " ZAVRIN_PROTOCOL_PAGE);
    std::string line, kind, name;
    bool inBlock = false;
    for (int number = 1; std::getline(in, line); number++) {
      if (line.compare(0, 3, "```") == 0) {
        inBlock = !inBlock;
        std::istringstream words(line.substr(3));
        kind.clear();
        name.clear();
        if (inBlock) words >> kind >> name;
        if (!name.empty() && (p.hex.count(name) || p.text.count(name)))
          p.errors.push_back("line " + std::to_string(number) + ": " + name + " twice");
        continue;
      }
      if (!inBlock || name.empty()) continue;
      if (kind == "hex") {
        std::vector<std::string> errors;
        ReadHexLine(line, &p.hex[name], &errors);
        for (const std::string &e : errors)
          p.errors.push_back("line " + std::to_string(number) + ": " + e);
      } else {
        p.text[name] += line + "\n";
      }
    }
    return p;
  }();
  return page;
}

Bytes Example(const std::string &name) {
  auto found = ThePage().hex.find(name);
  return found != ThePage().hex.end() ? found->second : Bytes();
}

Bytes Wire(const CSCPMessage &msg) {
  CSCP_MESSAGE *wire = msg.CreateMessage();
  Bytes bytes(reinterpret_cast<BYTE *>(wire), reinterpret_cast<BYTE *>(wire) + ntohl(wire->size));
  free(wire);
  return bytes;
}

// A copy of the bytes in a block of their own, as a receiver would hold them.
struct Held {
  explicit Held(const Bytes &bytes) : data(bytes) { data.resize(bytes.size() + 64); }
  CSCP_MESSAGE *message() { return reinterpret_cast<CSCP_MESSAGE *>(data.data()); }
  Bytes data;
};

Bytes Received(int fd) {
  Bytes bytes(zavrin_test::BytesQueued(fd));
  if (!bytes.empty() && read(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
    bytes.clear();
  return bytes;
}

CSCPMessage *Reply(DWORD id, DWORD result) {
  CSCPMessage *reply = new CSCPMessage(2);
  reply->SetCode(CMD_REQUEST_COMPLETED);
  reply->SetId(id);
  reply->SetVariable(VAR_ID_RESULT_CODE, result);
  return reply;
}

// The interface takes the crypto library's RSA objects (deprecated in OpenSSL 3).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
EVP_PKEY *RequesterKey() {
  const std::string &pem = ThePage().text.at("requester-key");
  BIO *bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  EVP_PKEY *key = PEM_read_bio_PrivateKey_ex(bio, nullptr, nullptr, nullptr,
                                             crypto_test::TestLibContext(), nullptr);
  BIO_free(bio);
  return key;
}
RSA *AsRsa(EVP_PKEY *key) {
  return EVP_PKEY_get1_RSA(key);
}
void FreeRsa(RSA *key) {
  RSA_free(key);
}
#pragma GCC diagnostic pop

TEST(ProtocolPage, EveryBlockIsWellFormedAndChecked) {
  const Page &page = ThePage();
  for (const std::string &error : page.errors) ADD_FAILURE() << error;
  const std::set<std::string> checked = {"v2-types",
                                         "v1-types",
                                         "caps-request",
                                         "caps-answer",
                                         "key-request",
                                         "key-answer",
                                         "session-key",
                                         "session-iv",
                                         "echo-request",
                                         "echo-request-plaintext",
                                         "echo-request-encrypted",
                                         "echo-reply",
                                         "file-offer",
                                         "file-accepted",
                                         "file-chunk",
                                         "file-abort",
                                         "file-done"};
  std::set<std::string> found;
  for (const auto &block : page.hex) found.insert(block.first);
  EXPECT_EQ(checked, found);
  EXPECT_EQ(1u, page.text.count("requester-key"));
}

TEST(ProtocolPage, VariablesInBothVersions) {
  for (int version : {2, 1}) {
    CSCPMessage msg(version);
    msg.SetCode(CMD_REQUEST_COMPLETED);
    msg.SetId(7);
    msg.SetVariable(10, static_cast<WORD>(0x0a0b));
    msg.SetVariable(11, static_cast<DWORD>(0x01020304));
    msg.SetVariable(12, static_cast<QWORD>(0x0102030405060708ull));
    msg.SetVariable(13, 1.5);
    msg.SetVariable(14, "abc");
    const BYTE data[] = {1, 2, 3, 4, 5};
    msg.SetVariable(15, data, sizeof(data));
    Bytes expected = Example(version == 2 ? "v2-types" : "v1-types");
    EXPECT_EQ(expected, Wire(msg)) << "version " << version;
    Held held(expected);
    CSCPMessage back(held.message(), version);
    EXPECT_EQ(expected, Wire(back)) << "version " << version;
    EXPECT_EQ(1.5, back.GetVariableDouble(13));
  }
}

TEST(ProtocolPage, VersionExchange) {
  zavrin_test::SocketPair pair;
  Bytes answer = Example("caps-answer");
  ASSERT_TRUE(zavrin_test::WriteAll(pair.remote(), answer.data(), answer.size()));
  int version = 0;
  EXPECT_TRUE(ZVCPGetPeerProtocolVersion(pair.local(), &version));
  EXPECT_EQ(2, version);
  EXPECT_EQ(Example("caps-request"), Received(pair.remote()));
}

TEST(ProtocolPage, SessionKeyExchange) {
  EVP_PKEY *key = RequesterKey();
  ASSERT_NE(nullptr, key);
  RSA *rsa = AsRsa(key);

  // The page's requester allows all four ciphers; this machine may offer fewer.
  CSCPMessage request;
  request.SetId(1);
  PrepareKeyRequestMsg(&request, rsa);
  request.SetVariable(VAR_ID_CIPHER_MASK, static_cast<DWORD>(0x0F));
  EXPECT_EQ(Example("key-request"), Wire(request));

  Bytes answerBytes = Example("key-answer");
  Held held(answerBytes);
  CSCPMessage answer(held.message(), 2);
  EXPECT_EQ(answerBytes, Wire(answer));
  ENCRYPTION_CONTEXT *context = nullptr;
  ASSERT_EQ(static_cast<DWORD>(RESULT_OK),
            SetupEncryptionContext(&answer, &context, nullptr, rsa, 2));
  EXPECT_EQ(static_cast<DWORD>(CIPHER_AES_256), context->cipher);
  EXPECT_EQ(Example("session-key"),
            Bytes(context->sessionKey, context->sessionKey + context->keyLength));
  EXPECT_EQ(Example("session-iv"), Bytes(context->iv, context->iv + sizeof(context->iv)));
  DestroyEncryptionContext(context);

  // OAEP with SHA-1, through OpenSSL alone, recovers the same key.
  Bytes blob(answer.GetVariableBinary(VAR_ID_ENCRYPTED_KEY, nullptr, 0));
  answer.GetVariableBinary(VAR_ID_ENCRYPTED_KEY, blob.data(), static_cast<DWORD>(blob.size()));
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_pkey(crypto_test::TestLibContext(), key, nullptr);
  Bytes plain(EVP_PKEY_get_size(key));
  size_t plainLength = plain.size();
  ASSERT_EQ(1, EVP_PKEY_decrypt_init(ctx));
  ASSERT_EQ(1, EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING));
  ASSERT_EQ(1, EVP_PKEY_CTX_set_rsa_oaep_md_name(ctx, "SHA1", nullptr));
  ASSERT_EQ(1, EVP_PKEY_decrypt(ctx, plain.data(), &plainLength, blob.data(), blob.size()));
  plain.resize(plainLength);
  EXPECT_EQ(Example("session-key"), plain);
  EVP_PKEY_CTX_free(ctx);
  FreeRsa(rsa);
  EVP_PKEY_free(key);
}

TEST(ProtocolPage, EncryptedMessage) {
  Bytes key = Example("session-key"), iv = Example("session-iv");
  ASSERT_EQ(32u, key.size());
  ASSERT_EQ(16u, iv.size());
  ENCRYPTION_CONTEXT *context =
      static_cast<ENCRYPTION_CONTEXT *>(calloc(1, sizeof(ENCRYPTION_CONTEXT)));
  context->cipher = CIPHER_AES_256;
  context->keyLength = 32;
  context->sessionKey = static_cast<BYTE *>(malloc(32));
  memcpy(context->sessionKey, key.data(), 32);
  memcpy(context->iv, iv.data(), 16);

  Bytes plain = Example("echo-request");
  uLong crc = crc32(0, plain.data(), static_cast<uInt>(plain.size()));
  Bytes prefixed = {static_cast<BYTE>(crc >> 24),
                    static_cast<BYTE>(crc >> 16),
                    static_cast<BYTE>(crc >> 8),
                    static_cast<BYTE>(crc),
                    0,
                    0,
                    0,
                    0};
  prefixed.insert(prefixed.end(), plain.begin(), plain.end());
  EXPECT_EQ(Example("echo-request-plaintext"), prefixed);

  Held held(plain);
  ENCRYPTED_MESSAGE *encrypted = CSCPEncryptMessage(context, held.message());
  ASSERT_NE(nullptr, encrypted);
  BYTE *e = reinterpret_cast<BYTE *>(encrypted);
  EXPECT_EQ(Example("echo-request-encrypted"), Bytes(e, e + ntohl(encrypted->size)));
  free(encrypted);

  Held received(Example("echo-request-encrypted"));
  Bytes work(received.data.size() + 16);
  ASSERT_TRUE(CSCPDecryptMessage(context, reinterpret_cast<ENCRYPTED_MESSAGE *>(received.message()),
                                 work.data()));
  EXPECT_EQ(plain, Bytes(received.data.begin(), received.data.begin() + plain.size()));
  DestroyEncryptionContext(context);
}

TEST(ProtocolPage, FileTransfer) {
  zavrin_test::TempFile file("hello\n");
  zavrin_test::SocketPair pair;
  EXPECT_TRUE(SendFileOverZVCP(pair.local(), 3, file.path().c_str(), nullptr));
  EXPECT_EQ(Example("file-chunk"), Received(pair.remote()));
  EXPECT_FALSE(SendFileOverZVCP(pair.local(), 3, (file.path() + ".missing").c_str(), nullptr));
  EXPECT_EQ(Example("file-abort"), Received(pair.remote()));
}

// The zvcp tool's conversations, built the way the tool builds them.
TEST(ProtocolPage, ToolConversations) {
  const BYTE payload[] = {0, 1, 2, 3, 4, 5, 6, 7};
  CSCPMessage echo(2);
  echo.SetCode(CMD_KEEPALIVE);
  echo.SetId(2);
  echo.SetVariable(1, payload, sizeof(payload));
  EXPECT_EQ(Example("echo-request"), Wire(echo));
  std::unique_ptr<CSCPMessage> echoReply(Reply(2, 0));
  echoReply->SetVariable(1, payload, sizeof(payload));
  EXPECT_EQ(Example("echo-reply"), Wire(*echoReply));

  CSCPMessage offer(2);
  offer.SetCode(CMD_TRANSFER_FILE);
  offer.SetId(3);
  offer.SetVariable(2, "hello.txt");
  offer.SetVariable(3, static_cast<QWORD>(6));
  EXPECT_EQ(Example("file-offer"), Wire(offer));
  std::unique_ptr<CSCPMessage> accepted(Reply(3, 0));
  EXPECT_EQ(Example("file-accepted"), Wire(*accepted));
  std::unique_ptr<CSCPMessage> done(Reply(3, 0));
  done->SetVariable(3, static_cast<QWORD>(6));
  BYTE sha1[20];
  CalculateSHA1Hash(reinterpret_cast<const BYTE *>("hello\n"), 6, sha1);
  EXPECT_EQ("f572d396fae9206628714fb2ce00f72e94f2258f", zavrin_test::ToHex(sha1, sizeof(sha1)));
  done->SetVariable(4, sha1, sizeof(sha1));
  EXPECT_EQ(Example("file-done"), Wire(*done));
}

}  // namespace
