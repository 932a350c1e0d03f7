// Encrypted messages: a clear 8-byte header (code 131, padding count, size), then
// the cipher output of a CRC-32 prefix and the whole plain wire message.
#include "crypto/crypto_internal.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <zavrin/utils.h>

#include <openssl/crypto.h>

#include "coding.h"
#include "message/message_layout.h"
#include "port/thread.h"

namespace zavrin {

namespace {

// The encrypted message's clear header.
constexpr size_t kCodeOffset = 0;
constexpr size_t kPaddingOffset = 2;
constexpr size_t kReservedOffset = 3;
constexpr size_t kSizeOffset = 4;
constexpr size_t kHeaderSize = 8;

// The prefix that is encrypted ahead of the plain message.
constexpr size_t kPrefixCrcOffset = 0;
constexpr size_t kPrefixSize = 8;

// Every message is encrypted afresh from the session's key and IV. Each thread
// keeps one keyed cipher context per direction and only resets its IV while the
// key stays the same: making Blowfish's key schedule costs more than a typical
// message, and a running connection then decrypts without allocating.
//
// A slot remembers the session it was keyed for. Every thread's cache is on one
// list, so that destroying a session wipes its key and key schedule from every
// thread: no copy of a key outlives its session. The list's lock is taken only
// when a slot changes session, and by the destruction; a slot that serves its own
// session again is used without it. A session is never destroyed while a thread
// still uses it, so a slot whose owner is the calling thread's session cannot be
// wiped under that thread.
class CipherCache {
 public:
  CipherCache() {
    Registry &registry = TheRegistry();
    MutexLock lock(&registry.mutex);
    next_ = registry.first;
    if (next_ != nullptr) next_->prev_ = this;
    registry.first = this;
  }
  CipherCache(const CipherCache &) = delete;
  CipherCache &operator=(const CipherCache &) = delete;
  ~CipherCache() {
    Registry &registry = TheRegistry();
    MutexLock lock(&registry.mutex);
    if (prev_ != nullptr)
      prev_->next_ = next_;
    else
      registry.first = next_;
    if (next_ != nullptr) next_->prev_ = prev_;
    for (Slot &slot : slots_) slot.Clear();
  }

  // A cipher context set up for the session's cipher, key and IV, owned by the
  // cache; null when the session cannot be used. The key schedule takes the
  // cipher's own key length, so a Blowfish session is keyed with the first 16
  // of its 32 key bytes, as every peer does; a context whose key is shorter than
  // that is refused rather than read beyond its end.
  EVP_CIPHER_CTX *Start(const ENCRYPTION_CONTEXT *session, bool encrypt) {
    if (session == nullptr || session == PASS_THROUGH_CONTEXT) return nullptr;
    const EVP_CIPHER *cipher = LookupCipher(session->cipher);
    if (cipher == nullptr || session->sessionKey == nullptr) return nullptr;
    int keyLength = EVP_CIPHER_get_key_length(cipher);
    if (keyLength <= 0 || keyLength > EVP_MAX_KEY_LENGTH ||
        session->keyLength < static_cast<DWORD>(keyLength))
      return nullptr;

    Slot &slot = slots_[encrypt ? 1 : 0];
    int enc = encrypt ? 1 : 0;
    // The key bytes are compared as well: a session's key may be changed in place.
    if (slot.Owner() == session && slot.cipher == cipher && slot.keyLength == keyLength &&
        memcmp(slot.key, session->sessionKey, keyLength) == 0) {
      if (EVP_CipherInit_ex2(slot.ctx, nullptr, nullptr, session->iv, enc, nullptr) == 1)
        return slot.ctx;
    }

    MutexLock lock(&TheRegistry().mutex);
    slot.Clear();
    slot.ctx = EVP_CIPHER_CTX_new();
    if (slot.ctx == nullptr) return nullptr;
    if (EVP_CipherInit_ex2(slot.ctx, cipher, session->sessionKey, session->iv, enc, nullptr) != 1) {
      slot.Clear();
      return nullptr;
    }
    slot.cipher = cipher;
    slot.keyLength = keyLength;
    memcpy(slot.key, session->sessionKey, keyLength);
    slot.SetOwner(session);
    return slot.ctx;
  }

  // Wipes every slot of every thread that was keyed for session.
  static void Forget(const ENCRYPTION_CONTEXT *session) {
    Registry &registry = TheRegistry();
    MutexLock lock(&registry.mutex);
    for (CipherCache *cache = registry.first; cache != nullptr; cache = cache->next_) {
      for (Slot &slot : cache->slots_) {
        if (slot.Owner() == session) slot.Clear();
      }
    }
  }

 private:
  struct Registry {
    Mutex mutex;
    CipherCache *first = nullptr;
  };
  // Never destroyed: threads may end after the static objects are gone.
  static Registry &TheRegistry() {
    static Registry *registry = new Registry;
    return *registry;
  }

  struct Slot {
    EVP_CIPHER_CTX *ctx = nullptr;
    const EVP_CIPHER *cipher = nullptr;
    int keyLength = 0;
    BYTE key[EVP_MAX_KEY_LENGTH];
    // The session the slot is keyed for; written under the registry's lock,
    // read by the owning thread without it.
    const ENCRYPTION_CONTEXT *owner = nullptr;

    const ENCRYPTION_CONTEXT *Owner() const { return __atomic_load_n(&owner, __ATOMIC_ACQUIRE); }
    void SetOwner(const ENCRYPTION_CONTEXT *session) {
      __atomic_store_n(&owner, session, __ATOMIC_RELEASE);
    }
    // Freeing the cipher context wipes its key schedule.
    void Clear() {
      SetOwner(nullptr);
      EVP_CIPHER_CTX_free(ctx);
      ctx = nullptr;
      cipher = nullptr;
      keyLength = 0;
      OPENSSL_cleanse(key, sizeof(key));
    }
  };
  Slot slots_[2];
  CipherCache *prev_ = nullptr;
  CipherCache *next_ = nullptr;
};

thread_local CipherCache cipherCache;

}  // namespace

void ForgetSessionKey(const ENCRYPTION_CONTEXT *session) {
  CipherCache::Forget(session);
}

}  // namespace zavrin

using namespace zavrin;

ENCRYPTED_MESSAGE *CSCPEncryptMessage(ENCRYPTION_CONTEXT *session, CSCP_MESSAGE *msg) {
  const BYTE *plain = reinterpret_cast<const BYTE *>(msg);
  DWORD plainSize = ReadBE32(plain + kMsgSizeOffset);
  if (ReadBE16(plain + kMsgFlagsOffset) & MSG_FLAG_NO_ENCRYPTION)
    return static_cast<ENCRYPTED_MESSAGE *>(zv_memdup(plain, plainSize));

  ErrorQueueMark mark;
  EVP_CIPHER_CTX *ctx = cipherCache.Start(session, true);
  if (ctx == nullptr) return nullptr;
  // The cipher takes int lengths, and the result's size field must hold the total.
  if (plainSize > INT_MAX - 64) return nullptr;
  int blockSize = EVP_CIPHER_CTX_get_block_size(ctx);
  // Header, prefix, message, a whole block of cipher padding, up to 7 bytes of
  // message padding.
  size_t capacity = kHeaderSize + kPrefixSize + plainSize + blockSize + 7;
  BYTE *out = static_cast<BYTE *>(malloc(capacity));
  if (out == nullptr) return nullptr;

  BYTE prefix[kPrefixSize] = {};
  WriteBE32(prefix + kPrefixCrcOffset, CalculateCRC32(plain, plainSize, 0));
  int prefixOut = 0, messageOut = 0, finalOut = 0;
  BYTE *data = out + kHeaderSize;
  if (EVP_EncryptUpdate(ctx, data, &prefixOut, prefix, kPrefixSize) != 1 ||
      EVP_EncryptUpdate(ctx, data + prefixOut, &messageOut, plain, static_cast<int>(plainSize)) !=
          1 ||
      EVP_EncryptFinal_ex(ctx, data + prefixOut + messageOut, &finalOut) != 1) {
    free(out);
    return nullptr;
  }
  DWORD total = static_cast<DWORD>(kHeaderSize + prefixOut + messageOut + finalOut);
  DWORD padding = Pad8(total);
  memset(out + total, 0, padding);
  total += padding;

  WriteBE16(out + kCodeOffset, CMD_ENCRYPTED_MESSAGE);
  out[kPaddingOffset] = static_cast<BYTE>(padding);
  out[kReservedOffset] = 0;
  WriteBE32(out + kSizeOffset, total);
  return reinterpret_cast<ENCRYPTED_MESSAGE *>(out);
}

BOOL CSCPDecryptMessage(ENCRYPTION_CONTEXT *session, ENCRYPTED_MESSAGE *msg, BYTE *workBuffer) {
  // A damaged last block fails the cipher's padding check, which queues an error.
  ErrorQueueMark mark;
  if (session == nullptr || session == PASS_THROUGH_CONTEXT ||
      LookupCipher(session->cipher) == nullptr)
    return FALSE;
  BYTE *bytes = reinterpret_cast<BYTE *>(msg);

  // The receiver finds the size field in host order after the call, whatever the
  // outcome.
  DWORD size = ReadBE32(bytes + kSizeOffset);
  msg->size = size;

  EVP_CIPHER_CTX *ctx = cipherCache.Start(session, false);
  if (ctx == nullptr) return FALSE;
  // Bounds, checked before any arithmetic on them: the padding must leave
  // encrypted bytes (decrypting nothing would let whatever the work buffer held
  // before pass the checks), and those must be whole cipher blocks.
  DWORD padding = bytes[kPaddingOffset];
  if (size < kHeaderSize || padding >= size - kHeaderSize) return FALSE;
  DWORD encryptedLength = size - kHeaderSize - padding;
  int blockSize = EVP_CIPHER_CTX_get_block_size(ctx);
  if (encryptedLength > INT_MAX || encryptedLength % static_cast<DWORD>(blockSize) != 0)
    return FALSE;

  // The finishing step's verdict on the cipher padding is not what decides: the
  // size and the checksum are. A last block that held only cipher padding may be
  // damaged without harm to the message; when the finishing step fails it adds
  // no bytes, so a message that reached into that block fails the size check.
  int updateOut = 0, finalOut = 0;
  if (EVP_DecryptUpdate(ctx, workBuffer, &updateOut, bytes + kHeaderSize,
                        static_cast<int>(encryptedLength)) != 1)
    return FALSE;
  if (EVP_DecryptFinal_ex(ctx, workBuffer + updateOut, &finalOut) != 1) finalOut = 0;

  // Only bytes the cipher produced are looked at: the prefix and the M bytes of
  // the plain message, a whole header at least. Bytes after them are dropped.
  DWORD produced = static_cast<DWORD>(updateOut + finalOut);
  if (produced < kPrefixSize + kMsgHeaderSize) return FALSE;
  const BYTE *plain = workBuffer + kPrefixSize;
  DWORD plainSize = ReadBE32(plain + kMsgSizeOffset);
  if (plainSize < kMsgHeaderSize || plainSize > produced - kPrefixSize) return FALSE;
  if (CalculateCRC32(plain, plainSize, 0) != ReadBE32(workBuffer + kPrefixCrcOffset)) return FALSE;
  memcpy(bytes, plain, plainSize);
  return TRUE;
}
