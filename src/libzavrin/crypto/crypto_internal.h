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
  bool authenticated;      // an AEAD cipher with the authenticated message format
};

// Number of cipher ids (0 to kCipherCount - 1).
constexpr DWORD kCipherCount = 5;

// The authenticated cipher's direction keys and nonces.
constexpr size_t kAeadKeySize = 32;
constexpr size_t kAeadNonceSize = 12;
constexpr size_t kAeadTagSize = 16;

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

// True for the ids of authenticated ciphers.
bool IsAuthenticatedCipher(DWORD id);

// True for a session of the authenticated cipher: once it stands, whatever comes
// in clear may have been put there by anybody, and the receiver refuses it.
inline bool RefusesPlainMessages(const ENCRYPTION_CONTEXT *session) {
  return session != nullptr && session != PASS_THROUGH_CONTEXT &&
         IsAuthenticatedCipher(session->cipher);
}

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

// True when the SHA-256 of the DER public key is on the list.
bool KeyIsKnown(const KNOWN_KEYS *keys, const BYTE *der, size_t length);

// Keyed cipher contexts of one session and direction, taken and given back by
// any thread without a lock: a thread that serves many sessions sets a message's
// cipher up by resetting the IV of a context keyed for that session, and no key
// schedule is made twice while a context is free.
class CipherPool {
 public:
  CipherPool() = default;
  CipherPool(const CipherPool &) = delete;
  CipherPool &operator=(const CipherPool &) = delete;

  // A free context, or null when every one is taken (or none was made yet).
  EVP_CIPHER_CTX *Take();
  // Keeps ctx for the next taker; false when every slot is full (the caller frees it).
  bool Give(EVP_CIPHER_CTX *ctx);
  // Frees every kept context; freeing wipes the key schedule.
  void Clear();

 private:
  // As many as threads commonly use one session at once: a sender and a receiver.
  static constexpr int kSlots = 4;
  EVP_CIPHER_CTX *slots_[kSlots] = {};
};

// Indexes of a session's two directions.
constexpr int kReceive = 0;
constexpr int kSend = 1;

// A cipher context set up for one message of the session in one direction, with
// iv (for the authenticated cipher: the message's nonce); null when the session
// cannot be used. Give it back with ReturnCipher once the message is done.
EVP_CIPHER_CTX *TakeCipher(const ENCRYPTION_CONTEXT *session, int direction, const BYTE *iv);
void ReturnCipher(const ENCRYPTION_CONTEXT *session, int direction, EVP_CIPHER_CTX *ctx);

// Gives a context the library made its state: the cipher pools and, for the
// authenticated cipher, the direction keys derived from its key and IV for the
// given side. False when memory runs out or the derivation fails.
bool AttachSessionState(ENCRYPTION_CONTEXT *context, bool requester);
// Frees the state and wipes every key and key schedule it held.
void ReleaseSessionState(ENCRYPTION_CONTEXT *context);

}  // namespace zavrin

// A session's state beyond its public fields.
struct ZV_SESSION_STATE {
  zavrin::CipherPool pools[2];  // by direction
  // The authenticated cipher only: by direction, the key and the nonce base, and
  // the sequence number of the next message sent / expected (atomic builtins).
  BYTE keys[2][zavrin::kAeadKeySize];
  BYTE nonceBases[2][zavrin::kAeadNonceSize];
  QWORD nextSequence[2];
};

#endif  // ZAVRIN_CRYPTO_INTERNAL_H
