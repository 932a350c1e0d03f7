// RSA for the key exchange: the key file, OAEP encryption of the session key, and
// signing with a certificate's private key.
#include "crypto/crypto_internal.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <memory>
#include <utility>

#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <zavrin/utils.h>

namespace zavrin {

namespace {

// Frees what the crypto library allocated when the scope ends.
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX *ctx) const { EVP_PKEY_CTX_free(ctx); }
};
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

// OAEP as the protocol fixes it: SHA-1 for both the label hash and MGF1.
bool SetOaep(EVP_PKEY_CTX *ctx) {
  return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) == 1 &&
         EVP_PKEY_CTX_set_rsa_oaep_md_name(ctx, "SHA1", nullptr) == 1 &&
         EVP_PKEY_CTX_set_rsa_mgf1_md_name(ctx, "SHA1", nullptr) == 1;
}

bool RunOaep(EVP_PKEY *key, bool encrypt, const BYTE *data, size_t length, KeyBuffer *out) {
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(CryptoLibContext(), key, nullptr));
  if (!ctx) return false;
  int ok = encrypt ? EVP_PKEY_encrypt_init(ctx.get()) : EVP_PKEY_decrypt_init(ctx.get());
  if (ok != 1 || !SetOaep(ctx.get())) return false;
  size_t outLength = 0;
  ok = encrypt ? EVP_PKEY_encrypt(ctx.get(), nullptr, &outLength, data, length)
               : EVP_PKEY_decrypt(ctx.get(), nullptr, &outLength, data, length);
  if (ok != 1) return false;
  KeyBuffer buffer(outLength);
  if (buffer.size() != outLength) return false;
  ok = encrypt ? EVP_PKEY_encrypt(ctx.get(), buffer.data(), &outLength, data, length)
               : EVP_PKEY_decrypt(ctx.get(), buffer.data(), &outLength, data, length);
  if (ok != 1) return false;
  buffer.Truncate(outLength);
  *out = std::move(buffer);
  return true;
}

// The key file's length field is little-endian, unlike the wire.
DWORD ReadLE32(const BYTE *p) {
  return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
         static_cast<DWORD>(p[3]) << 24;
}

constexpr size_t kSha1Size = 20;

}  // namespace

EVP_PKEY *DecodeRsaPublicKey(const BYTE *der, size_t length) {
  if (length > static_cast<size_t>(INT32_MAX)) return nullptr;
  const unsigned char *p = der;
  return d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(length));
}

bool RsaEncryptOaep(EVP_PKEY *key, const BYTE *data, size_t length, KeyBuffer *out) {
  return RunOaep(key, true, data, length, out);
}

// The interface hands RSA keys around as the crypto library's RSA objects, which
// OpenSSL 3 deprecates; the conversions from and to them stay in this section.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

bool EncodeRsaPublicKey(RSA *key, KeyBuffer *der) {
  if (key == nullptr) return false;
  int length = i2d_RSAPublicKey(key, nullptr);
  if (length <= 0) return false;
  KeyBuffer buffer(static_cast<size_t>(length));
  if (buffer.size() != static_cast<size_t>(length)) return false;
  unsigned char *p = buffer.data();
  if (i2d_RSAPublicKey(key, &p) != length) return false;
  *der = std::move(buffer);
  return true;
}

bool RsaDecryptOaep(RSA *key, const BYTE *data, size_t length, KeyBuffer *out) {
  if (key == nullptr) return false;
  EVP_PKEY *pkey = EVP_PKEY_new();
  if (pkey == nullptr) return false;
  bool ok = EVP_PKEY_set1_RSA(pkey, key) == 1 && RunOaep(pkey, false, data, length, out);
  EVP_PKEY_free(pkey);
  return ok;
}

// Decodes the public key, then the private key that follows it. The private
// key's encoding holds the public half as well, so the key object made from it
// is the whole key.
static RSA *DecodeKeyPair(const BYTE *keys, DWORD length) {
  const unsigned char *p = keys;
  RSA *publicKey = d2i_RSAPublicKey(nullptr, &p, length);
  if (publicKey == nullptr) return nullptr;
  RSA_free(publicKey);
  long rest = static_cast<long>(length - static_cast<DWORD>(p - keys));
  return d2i_RSAPrivateKey(nullptr, &p, rest);
}

#pragma GCC diagnostic pop

}  // namespace zavrin

using namespace zavrin;

RSA *LoadRSAKeys(const char *fileName) {
  if (fileName == nullptr) return nullptr;
  ErrorQueueMark mark;
  FILE *file = fopen(fileName, "rb");
  if (file == nullptr) return nullptr;
  RSA *key = nullptr;
  BYTE lengthField[4];
  struct stat st;
  if (fread(lengthField, 1, sizeof(lengthField), file) == sizeof(lengthField) &&
      fstat(fileno(file), &st) == 0) {
    // Bound the length by what the file holds before allocating for it: a damaged
    // length field must not ask for gigabytes.
    DWORD length = ReadLE32(lengthField);
    if (static_cast<uint64_t>(length) + sizeof(lengthField) + kSha1Size <=
        static_cast<uint64_t>(st.st_size)) {
      KeyBuffer keys(length);
      BYTE stored[kSha1Size], computed[kSha1Size];
      if (keys.size() == length && fread(keys.data(), 1, length, file) == length &&
          fread(stored, 1, sizeof(stored), file) == sizeof(stored)) {
        CalculateSHA1Hash(keys.data(), length, computed);
        if (memcmp(stored, computed, sizeof(stored)) == 0) key = DecodeKeyPair(keys.data(), length);
      }
    }
  }
  fclose(file);
  return key;
}

BOOL SignMessageWithCAPI(const BYTE *data, DWORD dataLength, PCCERT_CONTEXT cert, BYTE *signature,
                         DWORD bufferSize, DWORD *signatureLength) {
  if (cert == nullptr || cert->certificate == nullptr || cert->privateKey == nullptr) return FALSE;
  ErrorQueueMark mark;
  EVP_PKEY *key = cert->privateKey;
  // Only RSA signs as the peers expect (PKCS#1 v1.5), and only the certificate's
  // own key may sign in its name.
  if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA ||
      X509_check_private_key(cert->certificate, key) != 1)
    return FALSE;
  int keySize = EVP_PKEY_get_size(key);
  if (keySize <= 0) return FALSE;
  if (static_cast<DWORD>(keySize) > bufferSize) {
    if (signatureLength != nullptr) *signatureLength = static_cast<DWORD>(keySize);
    return FALSE;
  }

  EVP_MD_CTX *md = EVP_MD_CTX_new();
  if (md == nullptr) return FALSE;
  EVP_PKEY_CTX *pctx = nullptr;
  KeyBuffer work(static_cast<size_t>(keySize));
  size_t length = work.size();
  BOOL ok =
      EVP_DigestSignInit_ex(md, &pctx, "SHA1", CryptoLibContext(), nullptr, key, nullptr) == 1 &&
      EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) == 1 &&
      EVP_DigestSign(md, work.data(), &length, data, dataLength) == 1;
  EVP_MD_CTX_free(md);
  if (!ok) return FALSE;
  // The crypto library already gives the big-endian form that peers verify.
  memcpy(signature, work.data(), length);
  if (signatureLength != nullptr) *signatureLength = static_cast<DWORD>(length);
  return TRUE;
}
