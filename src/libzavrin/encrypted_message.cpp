// Encrypted messages: a clear 8-byte header (code 131, padding count, size), then
// the cipher output of a CRC-32 prefix and the whole plain wire message.
#include "crypto_internal.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include <zavrin/utils.h>

#include "coding.h"

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

// Fields of the plain message's 16-byte wire header.
constexpr size_t kPlainFlagsOffset = 2;
constexpr size_t kPlainSizeOffset = 4;
constexpr DWORD kPlainHeaderSize = 16;

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX *ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

// Sets a cipher context up for the session: the context's cipher, key and IV,
// afresh for every message. The key schedule takes the cipher's own key length,
// so a Blowfish session is keyed with the first 16 of its 32 key bytes, as every
// peer does. A context whose key is shorter than that is refused rather than read
// beyond its end. Null when the session cannot be used.
CipherCtxPtr StartCipher(const ENCRYPTION_CONTEXT *session, bool encrypt) {
  if (session == nullptr || session == PASS_THROUGH_CONTEXT) return nullptr;
  const EVP_CIPHER *cipher = LookupCipher(session->cipher);
  if (cipher == nullptr || session->sessionKey == nullptr) return nullptr;
  int keyLength = EVP_CIPHER_get_key_length(cipher);
  if (keyLength <= 0 || session->keyLength < static_cast<DWORD>(keyLength)) return nullptr;
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return nullptr;
  if (EVP_CipherInit_ex2(ctx.get(), cipher, session->sessionKey, session->iv, encrypt ? 1 : 0,
                         nullptr) != 1)
    return nullptr;
  return ctx;
}

}  // namespace

}  // namespace zavrin

using namespace zavrin;

ENCRYPTED_MESSAGE *CSCPEncryptMessage(ENCRYPTION_CONTEXT *session, CSCP_MESSAGE *msg) {
  const BYTE *plain = reinterpret_cast<const BYTE *>(msg);
  DWORD plainSize = ReadBE32(plain + kPlainSizeOffset);
  if (ReadBE16(plain + kPlainFlagsOffset) & MSG_FLAG_NO_ENCRYPTION)
    return static_cast<ENCRYPTED_MESSAGE *>(zv_memdup(plain, plainSize));

  CipherCtxPtr ctx = StartCipher(session, true);
  if (!ctx) return nullptr;
  // The cipher takes int lengths, and the result's size field must hold the total.
  if (plainSize > INT_MAX - 64) return nullptr;
  int blockSize = EVP_CIPHER_CTX_get_block_size(ctx.get());
  // Header, prefix, message, a whole block of cipher padding, up to 7 bytes of
  // message padding.
  size_t capacity = kHeaderSize + kPrefixSize + plainSize + blockSize + 7;
  BYTE *out = static_cast<BYTE *>(malloc(capacity));
  if (out == nullptr) return nullptr;

  BYTE prefix[kPrefixSize] = {};
  WriteBE32(prefix + kPrefixCrcOffset, CalculateCRC32(plain, plainSize, 0));
  int prefixOut = 0, messageOut = 0, finalOut = 0;
  BYTE *data = out + kHeaderSize;
  if (EVP_EncryptUpdate(ctx.get(), data, &prefixOut, prefix, kPrefixSize) != 1 ||
      EVP_EncryptUpdate(ctx.get(), data + prefixOut, &messageOut, plain,
                        static_cast<int>(plainSize)) != 1 ||
      EVP_EncryptFinal_ex(ctx.get(), data + prefixOut + messageOut, &finalOut) != 1) {
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
  if (session == nullptr || session == PASS_THROUGH_CONTEXT ||
      LookupCipher(session->cipher) == nullptr)
    return FALSE;
  BYTE *bytes = reinterpret_cast<BYTE *>(msg);
  if (ReadBE16(bytes + kCodeOffset) != CMD_ENCRYPTED_MESSAGE) return FALSE;

  // The receiver finds the size field in host order after the call, whatever the
  // outcome.
  DWORD size = ReadBE32(bytes + kSizeOffset);
  msg->size = size;

  CipherCtxPtr ctx = StartCipher(session, false);
  if (!ctx) return FALSE;
  // Bounds, checked before any arithmetic on them: the padding must leave
  // encrypted bytes (decrypting nothing would let whatever the work buffer held
  // before pass the checks), and those must be whole cipher blocks.
  DWORD padding = bytes[kPaddingOffset];
  if (size < kHeaderSize || padding >= size - kHeaderSize) return FALSE;
  DWORD encryptedLength = size - kHeaderSize - padding;
  int blockSize = EVP_CIPHER_CTX_get_block_size(ctx.get());
  if (encryptedLength > INT_MAX || encryptedLength % static_cast<DWORD>(blockSize) != 0)
    return FALSE;

  // A failed final step means the cipher padding is damaged, so the message is.
  int updateOut = 0, finalOut = 0;
  if (EVP_DecryptUpdate(ctx.get(), workBuffer, &updateOut, bytes + kHeaderSize,
                        static_cast<int>(encryptedLength)) != 1 ||
      EVP_DecryptFinal_ex(ctx.get(), workBuffer + updateOut, &finalOut) != 1)
    return FALSE;

  // Only bytes the cipher produced are looked at: the prefix and a whole plain
  // header at least, and no more plain message than was decrypted.
  DWORD produced = static_cast<DWORD>(updateOut + finalOut);
  if (produced < kPrefixSize + kPlainHeaderSize) return FALSE;
  const BYTE *plain = workBuffer + kPrefixSize;
  DWORD plainSize = ReadBE32(plain + kPlainSizeOffset);
  if (plainSize < kPlainHeaderSize || plainSize > size || plainSize > produced - kPrefixSize)
    return FALSE;
  if (CalculateCRC32(plain, plainSize, 0) != ReadBE32(workBuffer + kPrefixCrcOffset)) return FALSE;
  memcpy(bytes, plain, plainSize);
  return TRUE;
}
