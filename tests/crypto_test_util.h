// Independent crypto for the encryption tests: OpenSSL used directly, in a library
// context of the tests' own, plus hand-built wire messages.
#ifndef ZAVRIN_CRYPTO_TEST_UTIL_H
#define ZAVRIN_CRYPTO_TEST_UTIL_H

#include <zavrin.h>

#include <string.h>

#include <string>
#include <vector>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace crypto_test {

using Bytes = std::vector<unsigned char>;

struct KnownCipher {
  DWORD id;
  const char *name;  // OpenSSL's name
  DWORD sessionKeyLength;
  int blockSize;
};
inline const KnownCipher kCiphers[4] = {
    {0, "AES-256-CBC", 32, 16},
    {1, "BF-CBC", 32, 8},
    {2, "IDEA-CBC", 16, 8},
    {3, "DES-EDE3-CBC", 24, 8},
};

// The tests' own library context with both providers, made once.
inline OSSL_LIB_CTX *TestLibContext() {
  static OSSL_LIB_CTX *ctx = [] {
    OSSL_LIB_CTX *c = OSSL_LIB_CTX_new();
    OSSL_PROVIDER_load(c, "legacy");
    OSSL_PROVIDER_load(c, "default");
    return c;
  }();
  return ctx;
}

// The ciphers this machine's OpenSSL offers, as a cipher mask.
inline DWORD OpenSslCiphers() {
  DWORD mask = 0;
  for (const KnownCipher &known : kCiphers) {
    EVP_CIPHER *cipher = EVP_CIPHER_fetch(TestLibContext(), known.name, nullptr);
    if (cipher != nullptr) mask |= 1u << known.id;
    EVP_CIPHER_free(cipher);
  }
  return mask;
}

// CBC with PKCS#7 padding through EVP alone. keyLength bytes of key are used; when
// it differs from the cipher's default it is set before the key is given.
inline bool EvpCrypt(const char *name, bool encrypt, const unsigned char *key, int keyLength,
                     const unsigned char *iv, const Bytes &in, Bytes *out) {
  EVP_CIPHER *cipher = EVP_CIPHER_fetch(TestLibContext(), name, nullptr);
  if (cipher == nullptr) return false;
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  out->assign(in.size() + 32, 0);
  int n = 0, f = 0;
  bool ok = EVP_CipherInit_ex2(ctx, cipher, nullptr, nullptr, encrypt, nullptr) == 1 &&
            EVP_CIPHER_CTX_set_key_length(ctx, keyLength) == 1 &&
            EVP_CipherInit_ex2(ctx, nullptr, key, iv, encrypt, nullptr) == 1 &&
            EVP_CipherUpdate(ctx, out->data(), &n, in.data(), static_cast<int>(in.size())) == 1 &&
            EVP_CipherFinal_ex(ctx, out->data() + n, &f) == 1;
  out->resize(ok ? static_cast<size_t>(n + f) : 0);
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
  return ok;
}

inline void PutBE16(unsigned char *p, unsigned v) {
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v);
}
inline void PutBE32(unsigned char *p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}
inline uint32_t GetBE32(const unsigned char *p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// A plain wire message of the given total size (at least 16): code 0x1234, the
// flags, size, id 0x0A0B0C0D, a count of 0 and a body of bytes seeded by seed.
inline Bytes PlainMessage(uint32_t size, unsigned flags = 0, unsigned seed = 1) {
  Bytes m(size);
  PutBE16(&m[0], 0x1234);
  PutBE16(&m[2], flags);
  PutBE32(&m[4], size);
  PutBE32(&m[8], 0x0A0B0C0D);
  PutBE32(&m[12], 0);
  for (uint32_t i = 16; i < size; i++) m[i] = static_cast<unsigned char>(i * 7 + seed * 31);
  return m;
}

// Runs body with an error of the caller's own in the thread's error queue; true
// when the queue holds that error and nothing else afterwards: the library
// neither leaves its own failures behind nor drops the caller's.
template <typename Body>
bool KeepsTheErrorQueue(Body body) {
  ERR_clear_error();
  ERR_raise(ERR_LIB_USER, 77);
  body();
  unsigned long first = ERR_get_error();
  unsigned long next = ERR_get_error();
  return ERR_GET_LIB(first) == ERR_LIB_USER && ERR_GET_REASON(first) == 77 && next == 0;
}

// RSA keys, made once per test binary: key generation is slow.
inline EVP_PKEY *MakeKey(unsigned bits) {
  EVP_PKEY *key = EVP_PKEY_Q_keygen(TestLibContext(), nullptr, "RSA", static_cast<size_t>(bits));
  if (key == nullptr) abort();
  return key;
}
inline EVP_PKEY *RequesterKey() {
  static EVP_PKEY *key = MakeKey(1024);
  return key;
}
inline EVP_PKEY *OtherKey() {
  static EVP_PKEY *key = MakeKey(1024);
  return key;
}
inline EVP_PKEY *SmallKey() {
  // Too short for OAEP with SHA-1 to carry a 32-byte session key.
  static EVP_PKEY *key = MakeKey(512);
  return key;
}

// The interface takes the crypto library's RSA objects (deprecated in OpenSSL 3).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
inline RSA *AsRsa(EVP_PKEY *key) {
  return EVP_PKEY_get1_RSA(key);
}
inline void FreeRsa(RSA *key) {
  RSA_free(key);
}
inline EVP_PKEY *FromRsa(RSA *rsa) {
  EVP_PKEY *key = EVP_PKEY_new();
  EVP_PKEY_set1_RSA(key, rsa);
  return key;
}
#pragma GCC diagnostic pop

inline Bytes PublicDer(EVP_PKEY *key) {
  int n = i2d_PublicKey(key, nullptr);
  Bytes der(static_cast<size_t>(n));
  unsigned char *p = der.data();
  i2d_PublicKey(key, &p);
  return der;
}
// An ENCRYPTION_CONTEXT over a key the test owns.
struct TestSession {
  ENCRYPTION_CONTEXT ctx = {};
  Bytes key;
  TestSession(DWORD cipher, Bytes keyBytes, const unsigned char *iv) : key(std::move(keyBytes)) {
    ctx.cipher = cipher;
    ctx.sessionKey = key.data();
    ctx.keyLength = static_cast<DWORD>(key.size());
    memcpy(ctx.iv, iv, sizeof(ctx.iv));
  }
  TestSession(const TestSession &) = delete;
  TestSession &operator=(const TestSession &) = delete;
};

// The plain wire message encrypted for the session by the library's own
// CSCPEncryptMessage, as bytes; empty when it failed. For tests of what
// receives encrypted messages.
inline Bytes EncryptedMessage(ENCRYPTION_CONTEXT *context, Bytes plain) {
  ENCRYPTED_MESSAGE *block =
      CSCPEncryptMessage(context, reinterpret_cast<CSCP_MESSAGE *>(plain.data()));
  if (block == nullptr) return Bytes();
  const unsigned char *b = reinterpret_cast<const unsigned char *>(block);
  Bytes encrypted(b, b + GetBE32(b + 4));
  free(block);
  return encrypted;
}

}  // namespace crypto_test

#endif  // ZAVRIN_CRYPTO_TEST_UTIL_H
