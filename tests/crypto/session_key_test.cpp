// The session key exchange, the RSA key file and certificate signing, checked with
// OpenSSL used directly.
#include <zavrin.h>

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "crypto_test_util.h"
#include "test_support.h"

using namespace crypto_test;

namespace {

Bytes PrivateDer(EVP_PKEY *key) {
  int n = i2d_PrivateKey(key, nullptr);
  Bytes der(static_cast<size_t>(n));
  unsigned char *p = der.data();
  i2d_PrivateKey(key, &p);
  return der;
}

// The key file, laid out by hand: length (little-endian), keys, SHA-1 of the keys.
std::string KeyFile(const Bytes &keys) {
  std::string file;
  uint32_t length = static_cast<uint32_t>(keys.size());
  for (int i = 0; i < 4; i++) file.push_back(static_cast<char>(length >> (8 * i)));
  file.append(keys.begin(), keys.end());
  unsigned char digest[20];
  unsigned int digestLength = 0;
  EVP_Digest(keys.data(), keys.size(), digest, &digestLength, EVP_sha1(), nullptr);
  file.append(reinterpret_cast<char *>(digest), 20);
  return file;
}

Bytes KeyPairDer(EVP_PKEY *key) {
  Bytes keys = PublicDer(key), priv = PrivateDer(key);
  keys.insert(keys.end(), priv.begin(), priv.end());
  return keys;
}

// The key loaded from the file is the same key: same public and private halves.
bool SameKey(RSA *loaded, EVP_PKEY *expected) {
  EVP_PKEY *key = FromRsa(loaded);
  bool same = PrivateDer(key) == PrivateDer(expected) && PublicDer(key) == PublicDer(expected);
  EVP_PKEY_free(key);
  return same;
}

}  // namespace

TEST(LoadRSAKeys, ReadsAKeyFileWrittenByHand) {
  std::string file = KeyFile(KeyPairDer(RequesterKey()));
  zavrin_test::TempFile keyFile(file);
  RSA *key = LoadRSAKeys(keyFile.path().c_str());
  ASSERT_NE(nullptr, key);
  EXPECT_TRUE(SameKey(key, RequesterKey()));
  FreeRsa(key);

  // Bytes after the digest are ignored.
  keyFile.Write(file + std::string("trailing bytes"));
  key = LoadRSAKeys(keyFile.path().c_str());
  ASSERT_NE(nullptr, key);
  EXPECT_TRUE(SameKey(key, RequesterKey()));
  FreeRsa(key);
}

TEST(LoadRSAKeys, RefusesDamagedFiles) {
  const std::string file = KeyFile(KeyPairDer(RequesterKey()));
  zavrin_test::TempFile keyFile;
  // Every truncation: inside the length, the keys or the digest.
  keyFile.Write(file);
  for (size_t length = file.size(); length-- > 0;) {
    ASSERT_EQ(0, truncate(keyFile.path().c_str(), static_cast<off_t>(length)));
    EXPECT_EQ(nullptr, LoadRSAKeys(keyFile.path().c_str())) << "cut at " << length;
  }
  // A changed byte of the digest, or of the keys.
  for (size_t pos : {file.size() - 1, file.size() - 20, size_t{4}, file.size() / 2}) {
    std::string changed = file;
    changed[pos] ^= 0x01;
    keyFile.Write(changed);
    EXPECT_EQ(nullptr, LoadRSAKeys(keyFile.path().c_str())) << "changed byte " << pos;
  }
  // A length of 0 with the digest of nothing: no key to decode.
  keyFile.Write(KeyFile(Bytes()));
  EXPECT_EQ(nullptr, LoadRSAKeys(keyFile.path().c_str()));
  // A length field far beyond the file.
  std::string huge = file;
  huge[3] = '\x7f';
  keyFile.Write(huge);
  EXPECT_EQ(nullptr, LoadRSAKeys(keyFile.path().c_str()));
  // Only a public key, or a private key that does not decode after it.
  keyFile.Write(KeyFile(PublicDer(RequesterKey())));
  EXPECT_EQ(nullptr, LoadRSAKeys(keyFile.path().c_str()));
  Bytes garbage = PublicDer(RequesterKey());
  garbage.insert(garbage.end(), 64, 0x30);
  keyFile.Write(KeyFile(garbage));
  EXPECT_EQ(nullptr, LoadRSAKeys(keyFile.path().c_str()));
  EXPECT_EQ(nullptr, LoadRSAKeys("/nonexistent/zavrin/key/file"));
}

namespace {

// A self-signed certificate for key.
X509 *Certificate(EVP_PKEY *key) {
  X509 *cert = X509_new();
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_set_pubkey(cert, key);
  X509_NAME *name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char *>("zavrin test"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509_sign(cert, key, EVP_sha256());
  return cert;
}

bool Verifies(EVP_PKEY *key, const Bytes &data, const unsigned char *signature, size_t length) {
  EVP_MD_CTX *md = EVP_MD_CTX_new();
  EVP_PKEY_CTX *pctx = nullptr;
  bool ok = EVP_DigestVerifyInit(md, &pctx, EVP_sha1(), nullptr, key) == 1 &&
            EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) == 1 &&
            EVP_DigestVerify(md, signature, length, data.data(), data.size()) == 1;
  EVP_MD_CTX_free(md);
  return ok;
}

}  // namespace

TEST(SignMessageWithCAPI, SignsWithTheCertificatesKey) {
  X509 *cert = Certificate(RequesterKey());
  CERT_CONTEXT context = {cert, RequesterKey()};
  Bytes data = PlainMessage(100);
  unsigned char signature[512];
  DWORD length = 0;
  ASSERT_EQ(TRUE, SignMessageWithCAPI(data.data(), static_cast<DWORD>(data.size()), &context,
                                      signature, sizeof(signature), &length));
  EXPECT_EQ(128u, length);
  EXPECT_TRUE(Verifies(RequesterKey(), data, signature, length));
  // PKCS#1 v1.5 is deterministic: the same data signs the same.
  unsigned char again[128];
  DWORD againLength = 0;
  ASSERT_EQ(TRUE, SignMessageWithCAPI(data.data(), static_cast<DWORD>(data.size()), &context, again,
                                      sizeof(again), &againLength));
  EXPECT_EQ(0, memcmp(signature, again, 128));

  // A buffer one byte short: FALSE, the needed length reported.
  unsigned char small[127];
  length = 0;
  EXPECT_EQ(FALSE, SignMessageWithCAPI(data.data(), static_cast<DWORD>(data.size()), &context,
                                       small, sizeof(small), &length));
  EXPECT_EQ(128u, length);

  // A key that does not belong to the certificate.
  CERT_CONTEXT wrong = {cert, OtherKey()};
  EXPECT_EQ(FALSE, SignMessageWithCAPI(data.data(), static_cast<DWORD>(data.size()), &wrong,
                                       signature, sizeof(signature), &length));
  CERT_CONTEXT none = {cert, nullptr};
  EXPECT_EQ(FALSE, SignMessageWithCAPI(data.data(), static_cast<DWORD>(data.size()), &none,
                                       signature, sizeof(signature), &length));
  X509_free(cert);
}

namespace {

Bytes Oaep(EVP_PKEY *key, bool encrypt, const Bytes &in) {
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_pkey(TestLibContext(), key, nullptr);
  Bytes out(512);
  size_t length = out.size();
  bool ok = (encrypt ? EVP_PKEY_encrypt_init(ctx) : EVP_PKEY_decrypt_init(ctx)) == 1 &&
            EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) == 1 &&
            EVP_PKEY_CTX_set_rsa_oaep_md(ctx, EVP_sha1()) == 1 &&
            EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_sha1()) == 1 &&
            (encrypt ? EVP_PKEY_encrypt(ctx, out.data(), &length, in.data(), in.size())
                     : EVP_PKEY_decrypt(ctx, out.data(), &length, in.data(), in.size())) == 1;
  EVP_PKEY_CTX_free(ctx);
  out.resize(ok ? length : 0);
  return out;
}

Bytes Binary(CSCPMessage *msg, DWORD id) {
  Bytes data(msg->GetVariableBinary(id, nullptr, 0));
  if (!data.empty()) msg->GetVariableBinary(id, data.data(), static_cast<DWORD>(data.size()));
  return data;
}

// A message as the peer receives it: through its wire form.
CSCPMessage *OverTheWire(CSCPMessage *msg) {
  CSCP_MESSAGE *wire = msg->CreateMessage();
  CSCPMessage *received = new CSCPMessage(wire, ZVCP_PROTOCOL_VERSION);
  free(wire);
  return received;
}

// One key exchange between two ends of this library.
struct Exchange {
  DWORD responderResult = 0xFFFF;
  DWORD requesterResult = 0xFFFF;
  ENCRYPTION_CONTEXT *responder = nullptr;
  ENCRYPTION_CONTEXT *requester = nullptr;
  CSCPMessage *answer = nullptr;

  Exchange(EVP_PKEY *requesterKey, const DWORD *mask, DWORD id = 77) {
    RSA *rsa = AsRsa(requesterKey);
    CSCPMessage request;
    request.SetId(id);
    PrepareKeyRequestMsg(&request, rsa);
    if (mask != nullptr) request.SetVariable(VAR_ID_CIPHER_MASK, *mask);
    CSCPMessage *received = OverTheWire(&request);
    responderResult =
        SetupEncryptionContext(received, &responder, &answer, nullptr, ZVCP_PROTOCOL_VERSION);
    delete received;
    if (answer != nullptr) {
      CSCPMessage *answerReceived = OverTheWire(answer);
      requesterResult = SetupEncryptionContext(answerReceived, &requester, nullptr, rsa, 0);
      delete answerReceived;
    }
    FreeRsa(rsa);
  }
  ~Exchange() {
    DestroyEncryptionContext(responder);
    DestroyEncryptionContext(requester);
    delete answer;
  }
};

Bytes EncryptWith(ENCRYPTION_CONTEXT *ctx, Bytes plain) {
  ENCRYPTED_MESSAGE *block =
      CSCPEncryptMessage(ctx, reinterpret_cast<CSCP_MESSAGE *>(plain.data()));
  if (block == nullptr) return Bytes();
  const unsigned char *p = reinterpret_cast<const unsigned char *>(block);
  Bytes out(p, p + GetBE32(p + 4));
  free(block);
  return out;
}

bool DecryptsTo(ENCRYPTION_CONTEXT *ctx, Bytes message, const Bytes &plain) {
  Bytes work(message.size() + 16);
  if (!CSCPDecryptMessage(ctx, reinterpret_cast<ENCRYPTED_MESSAGE *>(message.data()), work.data()))
    return false;
  return std::equal(plain.begin(), plain.end(), message.begin());
}

}  // namespace

TEST(KeyExchange, BothEndsAgreeOnEveryCipher) {
  const DWORD has = OpenSslCiphers();
  for (const KnownCipher &known : kCiphers) {
    if ((has & (1u << known.id)) == 0) continue;
    SCOPED_TRACE(known.name);
    DWORD mask = 1u << known.id;
    Exchange x(RequesterKey(), &mask);
    ASSERT_EQ(RESULT_OK, x.responderResult);
    ASSERT_EQ(RESULT_OK, x.requesterResult);
    ASSERT_NE(nullptr, x.responder);
    ASSERT_NE(nullptr, x.requester);
    EXPECT_EQ(known.id, x.responder->cipher);
    EXPECT_EQ(known.id, x.requester->cipher);
    ASSERT_EQ(known.sessionKeyLength, x.responder->keyLength);
    ASSERT_EQ(known.sessionKeyLength, x.requester->keyLength);
    EXPECT_EQ(0, memcmp(x.responder->sessionKey, x.requester->sessionKey, known.sessionKeyLength));
    EXPECT_EQ(0, memcmp(x.responder->iv, x.requester->iv, 16));

    // The answer's key and IV decrypt with plain OpenSSL to the responder's.
    Bytes key = Oaep(RequesterKey(), false, Binary(x.answer, VAR_ID_ENCRYPTED_KEY));
    Bytes iv = Oaep(RequesterKey(), false, Binary(x.answer, VAR_ID_ENCRYPTED_IV));
    EXPECT_EQ(Bytes(x.responder->sessionKey, x.responder->sessionKey + known.sessionKeyLength),
              key);
    EXPECT_EQ(Bytes(x.responder->iv, x.responder->iv + 16), iv);

    // Messages cross in both directions.
    for (uint32_t size : {16u, 40u, 4096u}) {
      Bytes plain = PlainMessage(size, 0, size);
      EXPECT_TRUE(DecryptsTo(x.requester, EncryptWith(x.responder, plain), plain)) << size;
      EXPECT_TRUE(DecryptsTo(x.responder, EncryptWith(x.requester, plain), plain)) << size;
    }
  }
  // Two exchanges make two different keys.
  DWORD mask = 0x01;
  Exchange a(RequesterKey(), &mask), b(RequesterKey(), &mask);
  ASSERT_NE(nullptr, a.responder);
  ASSERT_NE(nullptr, b.responder);
  EXPECT_NE(0, memcmp(a.responder->sessionKey, b.responder->sessionKey, 32));
  Bytes plain = PlainMessage(40);
  EXPECT_FALSE(DecryptsTo(b.requester, EncryptWith(a.responder, plain), plain));
}

TEST(KeyExchange, LowestCommonCipherIsChosen) {
  DWORD mask = 0x03;
  Exchange x(RequesterKey(), &mask);
  ASSERT_EQ(RESULT_OK, x.requesterResult);
  EXPECT_EQ(static_cast<DWORD>(CIPHER_AES_256), x.requester->cipher);
  EXPECT_EQ(32u, x.requester->keyLength);

  const DWORD has = OpenSslCiphers();
  int status = zavrin_test::RunInChild([has] {
    InitCryptoLib(0x0C);
    DWORD all = 0x0F;
    Exchange y(RequesterKey(), &all);
    // IDEA when this OpenSSL has it, else Triple DES.
    DWORD expected = (has & 0x04) ? CIPHER_IDEA : CIPHER_TRIPLE_DES;
    DWORD expectedKey = (has & 0x04) ? 16 : 24;
    bool ok = y.requesterResult == RESULT_OK && y.requester->cipher == expected &&
              y.requester->keyLength == expectedKey;
    _exit(ok ? 0 : 1);
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  // A program that allows nothing answers every request with "no common cipher".
  status = zavrin_test::RunInChild([] {
    InitCryptoLib(0);
    DWORD all = 0x0F;
    Exchange y(RequesterKey(), &all);
    bool ok = y.responderResult == RESULT_NO_COMMON_CIPHER && y.responder == nullptr &&
              y.requesterResult == RESULT_NO_COMMON_CIPHER;
    _exit(ok ? 0 : 1);
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(KeyExchange, AnswerLayoutOnTheWire) {
  DWORD mask = 0x08;
  Exchange x(RequesterKey(), &mask, 0x01020304);
  ASSERT_EQ(RESULT_OK, x.responderResult);
  CSCP_MESSAGE *wire = x.answer->CreateMessage();
  const unsigned char *p = reinterpret_cast<const unsigned char *>(wire);
  EXPECT_EQ(132, p[0] << 8 | p[1]);
  EXPECT_EQ(0x0004, (p[2] << 8 | p[3]) & 0x0004);
  EXPECT_EQ(0x01020304u, GetBE32(p + 8));
  ASSERT_EQ(6u, GetBE32(p + 12));
  // Walk the version 2 layout: id, type, padding, int16, then the value.
  const DWORD ids[] = {VAR_ID_RESULT_CODE, VAR_ID_ENCRYPTED_KEY,    VAR_ID_ENCRYPTED_IV,
                       VAR_ID_CIPHER_ID,   VAR_ID_SESSION_KEY_SIZE, VAR_ID_IV_SIZE};
  const int types[] = {VAR_TYPE_INT32, VAR_TYPE_BINARY, VAR_TYPE_BINARY,
                       VAR_TYPE_INT16, VAR_TYPE_INT16,  VAR_TYPE_INT16};
  const unsigned values[] = {0, 128, 128, 3, 24, 16};
  size_t offset = 16;
  for (int i = 0; i < 6; i++) {
    EXPECT_EQ(ids[i], GetBE32(p + offset)) << i;
    EXPECT_EQ(types[i], p[offset + 4]) << i;
    size_t size = 0;
    switch (p[offset + 4]) {
      case VAR_TYPE_INT32:
        EXPECT_EQ(values[i], GetBE32(p + offset + 8));
        size = 12;
        break;
      case VAR_TYPE_BINARY:
        EXPECT_EQ(values[i], GetBE32(p + offset + 8));  // 1024-bit RSA output
        size = 12 + GetBE32(p + offset + 8);
        break;
      case VAR_TYPE_INT16:
        EXPECT_EQ(values[i], static_cast<unsigned>(p[offset + 6] << 8 | p[offset + 7]));
        size = 8;
        break;
    }
    offset += size + (8 - size % 8) % 8;
  }
  EXPECT_EQ(GetBE32(p + 4), offset);
  free(wire);
}

TEST(KeyExchange, RequestLayoutOnTheWire) {
  RSA *rsa = AsRsa(RequesterKey());
  CSCPMessage request;
  request.SetId(0x0A0B0C0D);
  PrepareKeyRequestMsg(&request, rsa);
  FreeRsa(rsa);
  CSCP_MESSAGE *wire = request.CreateMessage();
  const unsigned char *p = reinterpret_cast<const unsigned char *>(wire);
  const Bytes der = PublicDer(RequesterKey());
  char mask[9];
  snprintf(mask, sizeof(mask), "%08x", static_cast<unsigned>(0x0Fu & OpenSslCiphers()));
  // Code 130, id, two variables: the mask as an int32, the key as a binary.
  Bytes expected = zavrin_test::FromHex(
      "0082 0000 00000000 0a0b0c0d 00000002"
      "0000007a 00 00 0000" +
      std::string(mask) + "00000000 0000009a 04 00 0000");
  PutBE32(&expected[4], GetBE32(p + 4));
  expected.resize(expected.size() + 4);
  PutBE32(&expected[expected.size() - 4], static_cast<uint32_t>(der.size()));
  expected.insert(expected.end(), der.begin(), der.end());
  expected.resize(expected.size() + (8 - expected.size() % 8) % 8);
  EXPECT_EQ(zavrin_test::ToHex(expected.data(), expected.size()),
            zavrin_test::ToHex(p, GetBE32(p + 4)));
  free(wire);
}

TEST(KeyExchange, ResponderReadsTheMaskInNetworkOrder) {
  const Bytes der = PublicDer(RequesterKey());
  const struct {
    const char *mask;  // the int32 value's bytes as they travel
    DWORD result;
    DWORD cipher;
  } cases[] = {
      {"00000001", RESULT_OK, CIPHER_AES_256},
      {"00000008", RESULT_OK, CIPHER_TRIPLE_DES},
      {"00000009", RESULT_OK, CIPHER_AES_256},
      {"01000000", RESULT_NO_COMMON_CIPHER, 0},  // bit 24: no cipher at all
      {"08000000", RESULT_NO_COMMON_CIPHER, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.mask);
    Bytes wire = zavrin_test::FromHex(std::string("0082 0000 00000000 00000005 00000002"
                                                  "0000007a 00 00 0000") +
                                      c.mask + "00000000 0000009a 04 00 0000 00000000");
    PutBE32(&wire[wire.size() - 4], static_cast<uint32_t>(der.size()));
    wire.insert(wire.end(), der.begin(), der.end());
    wire.resize(wire.size() + (8 - wire.size() % 8) % 8);
    PutBE32(&wire[4], static_cast<uint32_t>(wire.size()));
    CSCPMessage received(reinterpret_cast<CSCP_MESSAGE *>(wire.data()), ZVCP_PROTOCOL_VERSION);
    ENCRYPTION_CONTEXT *context = nullptr;
    CSCPMessage *answer = nullptr;
    EXPECT_EQ(c.result,
              SetupEncryptionContext(&received, &context, &answer, nullptr, ZVCP_PROTOCOL_VERSION));
    if (c.result == RESULT_OK) {
      ASSERT_NE(nullptr, context);
      EXPECT_EQ(c.cipher, context->cipher);
    } else {
      EXPECT_EQ(nullptr, context);
    }
    DestroyEncryptionContext(context);
    delete answer;
  }
}

TEST(KeyExchange, ResponderRefusals) {
  // No cipher mask: no common cipher, an answer with the result alone.
  Exchange none(RequesterKey(), nullptr);
  {
    CSCPMessage request;
    request.SetCode(CMD_REQUEST_SESSION_KEY);
    request.SetId(5);
    ENCRYPTION_CONTEXT *ctx = nullptr;
    CSCPMessage *answer = nullptr;
    EXPECT_EQ(static_cast<DWORD>(RESULT_NO_COMMON_CIPHER),
              SetupEncryptionContext(&request, &ctx, &answer, nullptr, ZVCP_PROTOCOL_VERSION));
    EXPECT_EQ(nullptr, ctx);
    ASSERT_NE(nullptr, answer);
    EXPECT_EQ(CMD_SESSION_KEY, answer->GetCode());
    EXPECT_EQ(5u, answer->GetId());
    EXPECT_EQ(42u, answer->GetVariableLong(VAR_ID_RESULT_CODE));
    EXPECT_FALSE(answer->IsVariableExist(VAR_ID_ENCRYPTED_KEY));
    EXPECT_FALSE(answer->IsVariableExist(VAR_ID_CIPHER_ID));
    delete answer;
  }
  // A mask of ciphers this platform cannot run is no common cipher either.
  if ((OpenSslCiphers() & 0x04) == 0) {
    DWORD idea = 0x04;
    Exchange x(RequesterKey(), &idea);
    EXPECT_EQ(static_cast<DWORD>(RESULT_NO_COMMON_CIPHER), x.responderResult);
    EXPECT_EQ(nullptr, x.responder);
  }

  // Public keys that are missing, garbage, or longer than 4096 bytes.
  Bytes good = PublicDer(RequesterKey());
  Bytes longKey(good);
  longKey.resize(4097, 0);
  Bytes garbage(200, 0x30);
  for (int variant = 0; variant < 3; variant++) {
    CSCPMessage request;
    request.SetCode(CMD_REQUEST_SESSION_KEY);
    request.SetVariable(VAR_ID_CIPHER_MASK, static_cast<DWORD>(0x0F));
    if (variant == 1) request.SetVariable(VAR_ID_RSA_PUBLIC_KEY, garbage.data(), 200);
    if (variant == 2) request.SetVariable(VAR_ID_RSA_PUBLIC_KEY, longKey.data(), 4097);
    ENCRYPTION_CONTEXT *ctx = nullptr;
    CSCPMessage *answer = nullptr;
    EXPECT_EQ(static_cast<DWORD>(RESULT_BAD_PUBLIC_KEY),
              SetupEncryptionContext(&request, &ctx, &answer, nullptr, ZVCP_PROTOCOL_VERSION))
        << variant;
    EXPECT_EQ(nullptr, ctx);
    ASSERT_NE(nullptr, answer);
    EXPECT_EQ(43u, answer->GetVariableLong(VAR_ID_RESULT_CODE));
    EXPECT_FALSE(answer->IsVariableExist(VAR_ID_ENCRYPTED_KEY));
    delete answer;
  }

  // A key too short for OAEP to carry the session key: a refusal, never a key.
  DWORD aes = 0x01;
  Exchange small(SmallKey(), &aes);
  EXPECT_EQ(static_cast<DWORD>(RESULT_BAD_PUBLIC_KEY), small.responderResult);
  EXPECT_EQ(nullptr, small.responder);
  ASSERT_NE(nullptr, small.answer);
  EXPECT_EQ(43u, small.answer->GetVariableLong(VAR_ID_RESULT_CODE));
  EXPECT_FALSE(small.answer->IsVariableExist(VAR_ID_ENCRYPTED_KEY));
  EXPECT_FALSE(small.answer->IsVariableExist(VAR_ID_ENCRYPTED_IV));
  EXPECT_EQ(static_cast<DWORD>(RESULT_BAD_PUBLIC_KEY), small.requesterResult);
  EXPECT_EQ(nullptr, small.requester);
}

namespace {

// An answer made by hand: the key and IV encrypted for `to` with plain OpenSSL.
// A negative announced size leaves the variable out.
CSCPMessage *HandAnswer(EVP_PKEY *to, int cipher, int keySize, const Bytes &key, const Bytes &iv,
                        int ivSize) {
  CSCPMessage *answer = new CSCPMessage();
  answer->SetCode(CMD_SESSION_KEY);
  answer->SetVariable(VAR_ID_RESULT_CODE, static_cast<DWORD>(0));
  Bytes k = Oaep(to, true, key), i = Oaep(to, true, iv);
  answer->SetVariable(VAR_ID_ENCRYPTED_KEY, k.data(), static_cast<DWORD>(k.size()));
  answer->SetVariable(VAR_ID_ENCRYPTED_IV, i.data(), static_cast<DWORD>(i.size()));
  answer->SetVariable(VAR_ID_CIPHER_ID, static_cast<WORD>(cipher));
  answer->SetVariable(VAR_ID_SESSION_KEY_SIZE, static_cast<WORD>(keySize));
  if (ivSize >= 0) answer->SetVariable(VAR_ID_IV_SIZE, static_cast<WORD>(ivSize));
  return answer;
}

// The requester's result for an answer; *ctx receives the context.
DWORD Accept(CSCPMessage *answer, ENCRYPTION_CONTEXT **ctx, EVP_PKEY *key = RequesterKey()) {
  RSA *rsa = key != nullptr ? AsRsa(key) : nullptr;
  DWORD result = SetupEncryptionContext(answer, ctx, nullptr, rsa, 0);
  if (rsa != nullptr) FreeRsa(rsa);
  delete answer;
  return result;
}

Bytes Pattern(size_t length, unsigned seed) {
  Bytes b(length);
  for (size_t i = 0; i < length; i++) b[i] = static_cast<unsigned char>(seed + 3 * i);
  return b;
}

}  // namespace

TEST(KeyExchange, RequesterAcceptsWhatTheCipherCanUse) {
  ENCRYPTION_CONTEXT *ctx = nullptr;
  // No IV size, or 0: 16 bytes.
  for (int ivSize : {-1, 0}) {
    EXPECT_EQ(
        static_cast<DWORD>(RESULT_OK),
        Accept(HandAnswer(RequesterKey(), 0, 32, Pattern(32, 1), Pattern(16, 2), ivSize), &ctx))
        << ivSize;
    ASSERT_NE(nullptr, ctx);
    EXPECT_EQ(0, memcmp(ctx->iv, Pattern(16, 2).data(), 16));
    EXPECT_EQ(0, memcmp(ctx->sessionKey, Pattern(32, 1).data(), 32));
    DestroyEncryptionContext(ctx);
    ctx = nullptr;
  }
  // An 8-byte IV is enough for Triple DES; the rest of the context's IV is zero.
  EXPECT_EQ(static_cast<DWORD>(RESULT_OK),
            Accept(HandAnswer(RequesterKey(), 3, 24, Pattern(24, 1), Pattern(8, 2), 8), &ctx));
  ASSERT_NE(nullptr, ctx);
  Bytes iv(ctx->iv, ctx->iv + 16), expected = Pattern(8, 2);
  expected.resize(16, 0);
  EXPECT_EQ(expected, iv);
  DestroyEncryptionContext(ctx);
  ctx = nullptr;
  // A longer key than the cipher reads is taken whole.
  EXPECT_EQ(static_cast<DWORD>(RESULT_OK),
            Accept(HandAnswer(RequesterKey(), 3, 40, Pattern(40, 1), Pattern(16, 2), 16), &ctx));
  ASSERT_NE(nullptr, ctx);
  EXPECT_EQ(40u, ctx->keyLength);
  DestroyEncryptionContext(ctx);
}

TEST(KeyExchange, RequesterRefusals) {
  struct Case {
    const char *what;
    int cipher, keySize;
    size_t keyBytes, ivBytes;
    int ivSize;
    EVP_PKEY *to;
  };
  const Case cases[] = {
      {"key for another public key", 0, 32, 32, 16, 16, OtherKey()},
      {"cipher id out of range", 7, 32, 32, 16, 16, RequesterKey()},
      {"key shorter than the cipher's", 0, 16, 16, 16, 16, RequesterKey()},
      {"key length other than announced", 0, 32, 24, 16, 16, RequesterKey()},
      {"IV length other than announced", 0, 32, 32, 8, 16, RequesterKey()},
      {"IV shorter than AES reads", 0, 32, 32, 8, 8, RequesterKey()},
      {"IV shorter than Triple DES reads", 3, 24, 24, 4, 4, RequesterKey()},
  };
  for (const Case &c : cases) {
    // A context left in the slot is destroyed on failure (the leak checker
    // would see it otherwise).
    ENCRYPTION_CONTEXT *ctx = static_cast<ENCRYPTION_CONTEXT *>(calloc(1, sizeof(*ctx)));
    ctx->sessionKey = static_cast<BYTE *>(malloc(8));
    ctx->keyLength = 8;
    EXPECT_EQ(static_cast<DWORD>(RESULT_BAD_SESSION_KEY),
              Accept(HandAnswer(c.to, c.cipher, c.keySize, Pattern(c.keyBytes, 1),
                                Pattern(c.ivBytes, 2), c.ivSize),
                     &ctx))
        << c.what;
    EXPECT_EQ(nullptr, ctx) << c.what;
  }
  ENCRYPTION_CONTEXT *ctx = nullptr;
  if ((OpenSslCiphers() & 0x04) == 0) {
    EXPECT_EQ(static_cast<DWORD>(RESULT_BAD_SESSION_KEY),
              Accept(HandAnswer(RequesterKey(), 2, 16, Pattern(16, 1), Pattern(16, 2), 16), &ctx))
        << "cipher without a table entry";
  }
  // No private key, or no encrypted key at all.
  EXPECT_EQ(
      static_cast<DWORD>(RESULT_BAD_SESSION_KEY),
      Accept(HandAnswer(RequesterKey(), 0, 32, Pattern(32, 1), Pattern(16, 2), 16), &ctx, nullptr));
  CSCPMessage *bare = new CSCPMessage();
  bare->SetCode(CMD_SESSION_KEY);
  EXPECT_EQ(static_cast<DWORD>(RESULT_BAD_SESSION_KEY), Accept(bare, &ctx));
  EXPECT_EQ(nullptr, ctx);

  // The responder's own result comes back unchanged.
  CSCPMessage *refused = new CSCPMessage();
  refused->SetCode(CMD_SESSION_KEY);
  refused->SetVariable(VAR_ID_RESULT_CODE, static_cast<DWORD>(42));
  EXPECT_EQ(42u, Accept(refused, &ctx));
  EXPECT_EQ(nullptr, ctx);
}

TEST(KeyExchange, OtherMessagesAndContextRelease) {
  CSCPMessage msg;
  msg.SetCode(CMD_ENCRYPTED_MESSAGE);
  ENCRYPTION_CONTEXT *ctx = static_cast<ENCRYPTION_CONTEXT *>(calloc(1, sizeof(*ctx)));
  CSCPMessage *answer = nullptr;
  EXPECT_EQ(static_cast<DWORD>(RESULT_UNSUPPORTED_MESSAGE),
            SetupEncryptionContext(&msg, &ctx, &answer, nullptr, ZVCP_PROTOCOL_VERSION));
  EXPECT_EQ(nullptr, ctx);
  EXPECT_EQ(nullptr, answer);
  DestroyEncryptionContext(nullptr);
  DestroyEncryptionContext(PASS_THROUGH_CONTEXT);
  EXPECT_EQ(static_cast<DWORD>(RESULT_UNSUPPORTED_MESSAGE),
            SetupEncryptionContext(nullptr, &ctx, &answer, nullptr, ZVCP_PROTOCOL_VERSION));
  EXPECT_EQ(static_cast<DWORD>(RESULT_UNSUPPORTED_MESSAGE),
            SetupEncryptionContext(&msg, nullptr, &answer, nullptr, ZVCP_PROTOCOL_VERSION));
}

TEST(KeyExchange, RequestCarriesTheMaskAndPublicKey) {
  RSA *rsa = AsRsa(RequesterKey());
  CSCPMessage request;
  PrepareKeyRequestMsg(&request, rsa);
  FreeRsa(rsa);
  EXPECT_EQ(CMD_REQUEST_SESSION_KEY, request.GetCode());
  // Before set-up all four are allowed, less what OpenSSL here lacks.
  const DWORD has = OpenSslCiphers();
  EXPECT_EQ(0x0Fu & has, request.GetVariableLong(VAR_ID_CIPHER_MASK));
  EXPECT_EQ(PublicDer(RequesterKey()), Binary(&request, VAR_ID_RSA_PUBLIC_KEY));
  // After set-up, the ciphers the program allows.
  int status = zavrin_test::RunInChild([has] {
    InitCryptoLib(0x0A);
    CSCPMessage narrowed;
    PrepareKeyRequestMsg(&narrowed, nullptr);
    _exit(narrowed.GetVariableLong(VAR_ID_CIPHER_MASK) == (0x0Au & has) ? 0 : 1);
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(SignMessageWithCAPI, RefusesKeysThatCannotSignAsPeersExpect) {
  EVP_PKEY *ec = EVP_PKEY_Q_keygen(TestLibContext(), nullptr, "EC", "P-256");
  ASSERT_NE(nullptr, ec);
  X509 *cert = Certificate(ec);
  CERT_CONTEXT context = {cert, ec};
  Bytes data = PlainMessage(32);
  unsigned char signature[512];
  DWORD length = 0;
  EXPECT_EQ(FALSE, SignMessageWithCAPI(data.data(), static_cast<DWORD>(data.size()), &context,
                                       signature, sizeof(signature), &length));
  EXPECT_EQ(FALSE, SignMessageWithCAPI(data.data(), static_cast<DWORD>(data.size()), nullptr,
                                       signature, sizeof(signature), &length));
  X509_free(cert);
  EVP_PKEY_free(ec);
}

TEST(KeyExchange, FailuresLeaveTheErrorQueueAsItWas) {
  DWORD aes = 0x01;
  EXPECT_TRUE(KeepsTheErrorQueue([] {
    CSCPMessage request;
    request.SetCode(CMD_REQUEST_SESSION_KEY);
    request.SetVariable(VAR_ID_CIPHER_MASK, static_cast<DWORD>(0x0F));
    Bytes garbage(200, 0x30);
    request.SetVariable(VAR_ID_RSA_PUBLIC_KEY, garbage.data(), 200);
    ENCRYPTION_CONTEXT *ctx = nullptr;
    CSCPMessage *answer = nullptr;
    SetupEncryptionContext(&request, &ctx, &answer, nullptr, ZVCP_PROTOCOL_VERSION);
    delete answer;
  })) << "undecodable public key";
  EXPECT_TRUE(KeepsTheErrorQueue([&] { Exchange small(SmallKey(), &aes); }))
      << "key too short for OAEP";
  EXPECT_TRUE(KeepsTheErrorQueue([] {
    ENCRYPTION_CONTEXT *ctx = nullptr;
    Accept(HandAnswer(OtherKey(), 0, 32, Pattern(32, 1), Pattern(16, 2), 16), &ctx);
  })) << "key for another public key";

  std::string file = KeyFile(KeyPairDer(RequesterKey()));
  file[file.size() / 2] ^= 0x01;
  zavrin_test::TempFile keyFile(file);
  EXPECT_TRUE(KeepsTheErrorQueue([&] { LoadRSAKeys(keyFile.path().c_str()); }))
      << "damaged key file";
  Bytes garbage = PublicDer(RequesterKey());
  garbage.insert(garbage.end(), 64, 0x30);
  keyFile.Write(KeyFile(garbage));
  EXPECT_TRUE(KeepsTheErrorQueue([&] { LoadRSAKeys(keyFile.path().c_str()); }))
      << "undecodable private key";

  X509 *cert = Certificate(RequesterKey());
  CERT_CONTEXT wrong = {cert, OtherKey()};
  Bytes data = PlainMessage(32);
  unsigned char signature[512];
  DWORD length = 0;
  EXPECT_TRUE(KeepsTheErrorQueue([&] {
    SignMessageWithCAPI(data.data(), static_cast<DWORD>(data.size()), &wrong, signature,
                        sizeof(signature), &length);
  })) << "key not the certificate's";
  X509_free(cert);
}
