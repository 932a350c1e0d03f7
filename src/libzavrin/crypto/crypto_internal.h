// What the set-up, the key exchange and the encrypted messages share: the crypto
// library context the ciphers come from, and the cipher table.
#ifndef ZAVRIN_CRYPTO_INTERNAL_H
#define ZAVRIN_CRYPTO_INTERNAL_H

#include <zavrin/crypto.h>

#include <stdlib.h>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

namespace zavrin {

// Bytes of IV that a context carries and that the responder sends.
constexpr DWORD kContextIvSize = 16;
// Largest public key or encrypted value taken from a key exchange message.
constexpr DWORD kMaxKeyExchangeBlob = 4096;

// One entry of the cipher table.
struct CipherEntry {
  const char *name;        // the crypto library's name of the cipher
  DWORD sessionKeyLength;  // key bytes a session of this cipher carries
};

// Number of cipher ids (0 to kCipherCount - 1).
constexpr DWORD kCipherCount = 4;

// The library's own crypto library context, with the "default" and "legacy"
// providers loaded: the program's own use of OpenSSL is left as it was.
OSSL_LIB_CTX *CryptoLibContext();

// The cipher for an id, or null when the id is out of range or this platform's
// crypto library cannot run it (an empty entry of the table).
const EVP_CIPHER *LookupCipher(DWORD id);

// The session key length of a cipher id; 0 for an id out of range.
DWORD SessionKeyLength(DWORD id);

// The mask of ciphers that this platform can run.
DWORD AvailableCiphers();

// Current value of the allowed-cipher mask.
DWORD SupportedCiphers();

// Leaves the crypto library's error queue of the calling thread as the caller
// had it: whatever the library's own failed steps queue is dropped when the scope
// ends, entries that were there before stay. Failures are reported by results;
// leftovers would be taken for the program's own errors by its next look at the
// queue (a TLS connection's error check, for one). Every exported function that
// calls the crypto library holds one.
class ErrorQueueMark {
 public:
  ErrorQueueMark() { ERR_set_mark(); }
  ~ErrorQueueMark() { ERR_pop_to_mark(); }
  ErrorQueueMark(const ErrorQueueMark &) = delete;
  ErrorQueueMark &operator=(const ErrorQueueMark &) = delete;
};

// A block of bytes from malloc, wiped and freed when it goes: the key exchange's
// buffers hold key material. Our own rather than std::vector<BYTE>, whose
// out-of-line template code unoptimised builds export from the shared library.
class KeyBuffer {
 public:
  KeyBuffer() = default;
  // size zeroed bytes; size() is 0 when memory runs out.
  explicit KeyBuffer(size_t size) : data_(static_cast<BYTE *>(calloc(size > 0 ? size : 1, 1))) {
    if (data_ != nullptr) size_ = capacity_ = size;
  }
  ~KeyBuffer() { Release(); }
  KeyBuffer(KeyBuffer &&other) noexcept { Take(other); }
  KeyBuffer &operator=(KeyBuffer &&other) noexcept {
    if (this != &other) {
      Release();
      Take(other);
    }
    return *this;
  }
  KeyBuffer(const KeyBuffer &) = delete;
  KeyBuffer &operator=(const KeyBuffer &) = delete;

  BYTE *data() const { return data_; }
  size_t size() const { return size_; }
  // Keeps the first size bytes; a larger size changes nothing.
  void Truncate(size_t size) {
    if (size < size_) size_ = size;
  }

 private:
  void Take(KeyBuffer &other) {
    data_ = other.data_;
    size_ = other.size_;
    capacity_ = other.capacity_;
    other.data_ = nullptr;
    other.size_ = other.capacity_ = 0;
  }
  void Release() {
    if (data_ != nullptr) {
      OPENSSL_cleanse(data_, capacity_);
      free(data_);
    }
    data_ = nullptr;
    size_ = capacity_ = 0;
  }

  BYTE *data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// RSA with OAEP padding (PKCS#1 v2.0, SHA-1) in the library's crypto context.
// The key-exchange values are small, so they come and go as whole buffers.

// The public key from a DER RSAPublicKey; null when it does not decode.
EVP_PKEY *DecodeRsaPublicKey(const BYTE *der, size_t length);
// The DER RSAPublicKey of the key's public half; false when it cannot be encoded.
bool EncodeRsaPublicKey(RSA *key, KeyBuffer *der);
// Encrypts with the public key; false on any failure (a key too short for the
// data included).
bool RsaEncryptOaep(EVP_PKEY *key, const BYTE *data, size_t length, KeyBuffer *out);
// Decrypts with the private key; false on any failure.
bool RsaDecryptOaep(RSA *key, const BYTE *data, size_t length, KeyBuffer *out);

// Wipes the session's key and key schedule from the cipher state that every
// thread keeps for the sessions it encrypted and decrypted with.
void ForgetSessionKey(const ENCRYPTION_CONTEXT *session);

}  // namespace zavrin

#endif  // ZAVRIN_CRYPTO_INTERNAL_H
