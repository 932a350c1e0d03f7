// Encrypted messages: a clear 8-byte header (code 131, padding count, size), then
// the cipher output of a CRC-32 prefix and the whole plain wire message.
#include "crypto_internal.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <zavrin/utils.h>

#include <openssl/crypto.h>

#include "coding.h"
#include "message_layout.h"

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
class CipherCache {
 public:
  CipherCache() = default;
  CipherCache(const CipherCache &) = delete;
  CipherCache &operator=(const CipherCache &) = delete;
  ~CipherCache() {
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
    if (slot.ctx == nullptr) {
      slot.ctx = EVP_CIPHER_CTX_new();
      if (slot.ctx == nullptr) return nullptr;
    }
    int enc = encrypt ? 1 : 0;
    bool sameKey = slot.cipher == cipher && slot.keyLength == keyLength &&
                   memcmp(slot.key, session->sessionKey, keyLength) == 0;
    int ok = sameKey ? EVP_CipherInit_ex2(slot.ctx, nullptr, nullptr, session->iv, enc, nullptr)
                     : EVP_CipherInit_ex2(slot.ctx, cipher, session->sessionKey, session->iv, enc,
                                          nullptr);
    if (ok != 1) {
      slot.Clear();
      return nullptr;
    }
    if (!sameKey) {
      slot.cipher = cipher;
      slot.keyLength = keyLength;
      memcpy(slot.key, session->sessionKey, keyLength);
    }
    return slot.ctx;
  }

 private:
  struct Slot {
    EVP_CIPHER_CTX *ctx = nullptr;
    const EVP_CIPHER *cipher = nullptr;
    int keyLength = 0;
    BYTE key[EVP_MAX_KEY_LENGTH];

    void Clear() {
      EVP_CIPHER_CTX_free(ctx);
      ctx = nullptr;
      cipher = nullptr;
      keyLength = 0;
      OPENSSL_cleanse(key, sizeof(key));
    }
  };
  Slot slots_[2];
};

thread_local CipherCache cipherCache;

}  // namespace

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
  // Every damaged message fails the cipher's padding check, which queues an error.
  ErrorQueueMark mark;
  if (session == nullptr || session == PASS_THROUGH_CONTEXT ||
      LookupCipher(session->cipher) == nullptr)
    return FALSE;
  BYTE *bytes = reinterpret_cast<BYTE *>(msg);
  if (ReadBE16(bytes + kCodeOffset) != CMD_ENCRYPTED_MESSAGE) return FALSE;

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

  // A failed final step means the cipher padding is damaged, so the message is.
  int updateOut = 0, finalOut = 0;
  if (EVP_DecryptUpdate(ctx, workBuffer, &updateOut, bytes + kHeaderSize,
                        static_cast<int>(encryptedLength)) != 1 ||
      EVP_DecryptFinal_ex(ctx, workBuffer + updateOut, &finalOut) != 1)
    return FALSE;

  // Only bytes the cipher produced are looked at: the prefix and a whole plain
  // header at least. A sender encrypts the prefix and the message and nothing
  // else, so the plain message fills the decrypted bytes exactly; a damaged last
  // block whose garbage happens to pass as cipher padding changes that length.
  DWORD produced = static_cast<DWORD>(updateOut + finalOut);
  if (produced < kPrefixSize + kMsgHeaderSize) return FALSE;
  const BYTE *plain = workBuffer + kPrefixSize;
  DWORD plainSize = ReadBE32(plain + kMsgSizeOffset);
  if (plainSize < kMsgHeaderSize || plainSize > size || plainSize != produced - kPrefixSize)
    return FALSE;
  if (CalculateCRC32(plain, plainSize, 0) != ReadBE32(workBuffer + kPrefixCrcOffset)) return FALSE;
  memcpy(bytes, plain, plainSize);
  return TRUE;
}
