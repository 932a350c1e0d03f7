// Encrypted messages: a clear 8-byte header (code 131, padding count, size), then
// the cipher output of a CRC-32 prefix and the whole plain wire message. Under the
// authenticated cipher (docs/authenticated.md): the header, a sequence number,
// the ciphertext of the plain message and the tag that covers all of them.
#include "crypto/crypto_internal.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <zavrin/utils.h>

#include <openssl/crypto.h>

#include "coding.h"
#include "message/message_layout.h"

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

// The authenticated message: the clear header as above, then the sequence number,
// the ciphertext and the tag. The header and the sequence number are the
// associated data.
constexpr size_t kSequenceOffset = 8;
constexpr size_t kSealedHeaderSize = 16;
constexpr size_t kSealedOverhead = kSealedHeaderSize + kAeadTagSize;

// The nonce of a message: the direction's nonce base with the sequence number
// added (exclusive or) into its last 8 bytes.
void MakeNonce(const BYTE *base, QWORD sequence, BYTE *nonce) {
  memcpy(nonce, base, kAeadNonceSize);
  BYTE counter[8];
  WriteBE64(counter, sequence);
  for (size_t i = 0; i < sizeof(counter); i++) nonce[kAeadNonceSize - 8 + i] ^= counter[i];
}

// Every message is encrypted afresh from the session's key and IV (or its nonce),
// with a cipher context kept with the session (TakeCipher): only its IV is reset.
ENCRYPTED_MESSAGE *SealMessage(ENCRYPTION_CONTEXT *session, const BYTE *plain, DWORD plainSize) {
  ZV_SESSION_STATE *state = session->state;
  if (state == nullptr) return nullptr;
  DWORD total = static_cast<DWORD>(kSealedOverhead + plainSize);
  DWORD padding = Pad8(total);
  BYTE *out = static_cast<BYTE *>(malloc(total + padding));
  if (out == nullptr) return nullptr;
  // Taken once and never again under this key, whatever becomes of the message
  // (a number taken and not sent leaves a gap at which the receiver stops); a
  // session that used up half the numbers sends nothing more rather than wrap.
  QWORD sequence = __atomic_fetch_add(&state->nextSequence[kSend], 1, __ATOMIC_RELAXED);
  if (sequence >= (QWORD{1} << 63)) {
    free(out);
    return nullptr;
  }
  BYTE nonce[kAeadNonceSize];
  MakeNonce(state->nonceBases[kSend], sequence, nonce);
  WriteBE16(out + kCodeOffset, CMD_ENCRYPTED_MESSAGE);
  out[kPaddingOffset] = static_cast<BYTE>(padding);
  out[kReservedOffset] = 0;
  WriteBE32(out + kSizeOffset, total + padding);
  WriteBE64(out + kSequenceOffset, sequence);
  memset(out + total, 0, padding);

  EVP_CIPHER_CTX *ctx = TakeCipher(session, kSend, nonce);
  int aadOut = 0, bodyOut = 0, finalOut = 0;
  bool ok = ctx != nullptr &&
            EVP_EncryptUpdate(ctx, nullptr, &aadOut, out, kSealedHeaderSize) == 1 &&
            EVP_EncryptUpdate(ctx, out + kSealedHeaderSize, &bodyOut, plain,
                              static_cast<int>(plainSize)) == 1 &&
            EVP_EncryptFinal_ex(ctx, out + kSealedHeaderSize + bodyOut, &finalOut) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, kAeadTagSize,
                                out + kSealedHeaderSize + plainSize) == 1;
  ReturnCipher(session, kSend, ctx);
  if (!ok) {
    free(out);
    return nullptr;
  }
  return reinterpret_cast<ENCRYPTED_MESSAGE *>(out);
}

// The size field is already in host order in bytes; the associated data carries
// it as it came. A refused message leaves the expected sequence number as it was.
BOOL OpenMessage(ENCRYPTION_CONTEXT *session, BYTE *bytes, BYTE *workBuffer) {
  ZV_SESSION_STATE *state = session->state;
  if (state == nullptr) return FALSE;
  // Bounds, before any arithmetic on them: a whole header, a tag and a plain
  // message header at least, and padding that only rounds up to a multiple of 8.
  DWORD size = reinterpret_cast<ENCRYPTED_MESSAGE *>(bytes)->size;
  DWORD padding = bytes[kPaddingOffset];
  if (size < kSealedOverhead + kMsgHeaderSize || size > INT_MAX || padding > 7 ||
      padding > size - kSealedOverhead - kMsgHeaderSize)
    return FALSE;
  DWORD bodySize = size - static_cast<DWORD>(kSealedOverhead) - padding;

  // Only the next message in order: an earlier one is a replay, a later one means
  // that one was cut out.
  QWORD sequence = ReadBE64(bytes + kSequenceOffset);
  QWORD expected = __atomic_load_n(&state->nextSequence[kReceive], __ATOMIC_ACQUIRE);
  if (sequence != expected) return FALSE;

  BYTE aad[kSealedHeaderSize];
  memcpy(aad, bytes, sizeof(aad));
  WriteBE32(aad + kSizeOffset, size);
  BYTE nonce[kAeadNonceSize];
  MakeNonce(state->nonceBases[kReceive], sequence, nonce);
  BYTE tag[kAeadTagSize];
  memcpy(tag, bytes + kSealedHeaderSize + bodySize, sizeof(tag));

  EVP_CIPHER_CTX *ctx = TakeCipher(session, kReceive, nonce);
  int aadOut = 0, bodyOut = 0, finalOut = 0;
  bool ok = ctx != nullptr && EVP_DecryptUpdate(ctx, nullptr, &aadOut, aad, sizeof(aad)) == 1 &&
            EVP_DecryptUpdate(ctx, workBuffer, &bodyOut, bytes + kSealedHeaderSize,
                              static_cast<int>(bodySize)) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, kAeadTagSize, tag) == 1 &&
            EVP_DecryptFinal_ex(ctx, workBuffer + bodyOut, &finalOut) == 1;
  ReturnCipher(session, kReceive, ctx);
  // The sender sealed exactly one whole message.
  if (!ok || ReadBE32(workBuffer + kMsgSizeOffset) != bodySize) return FALSE;
  // Two threads that opened the same message: only one takes it.
  if (!__atomic_compare_exchange_n(&state->nextSequence[kReceive], &expected, expected + 1, false,
                                   __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
    return FALSE;
  memcpy(bytes, workBuffer, bodySize);
  return TRUE;
}

}  // namespace

}  // namespace zavrin

using namespace zavrin;

ENCRYPTED_MESSAGE *CSCPEncryptMessage(ENCRYPTION_CONTEXT *session, CSCP_MESSAGE *msg) {
  const BYTE *plain = reinterpret_cast<const BYTE *>(msg);
  DWORD plainSize = ReadBE32(plain + kMsgSizeOffset);
  if (ReadBE16(plain + kMsgFlagsOffset) & MSG_FLAG_NO_ENCRYPTION)
    return static_cast<ENCRYPTED_MESSAGE *>(zv_memdup(plain, plainSize));

  ErrorQueueMark mark;
  // The cipher takes int lengths, and the result's size field must hold the total.
  if (plainSize > INT_MAX - 64) return nullptr;
  if (session != nullptr && session != PASS_THROUGH_CONTEXT &&
      IsAuthenticatedCipher(session->cipher))
    return SealMessage(session, plain, plainSize);
  EVP_CIPHER_CTX *ctx = TakeCipher(session, kSend, session != nullptr ? session->iv : nullptr);
  if (ctx == nullptr) return nullptr;
  int blockSize = EVP_CIPHER_CTX_get_block_size(ctx);
  // Header, prefix, message, a whole block of cipher padding, up to 7 bytes of
  // message padding.
  size_t capacity = kHeaderSize + kPrefixSize + plainSize + blockSize + 7;
  BYTE *out = static_cast<BYTE *>(malloc(capacity));
  if (out == nullptr) {
    ReturnCipher(session, kSend, ctx);
    return nullptr;
  }

  BYTE prefix[kPrefixSize] = {};
  WriteBE32(prefix + kPrefixCrcOffset, CalculateCRC32(plain, plainSize, 0));
  int prefixOut = 0, messageOut = 0, finalOut = 0;
  BYTE *data = out + kHeaderSize;
  if (EVP_EncryptUpdate(ctx, data, &prefixOut, prefix, kPrefixSize) != 1 ||
      EVP_EncryptUpdate(ctx, data + prefixOut, &messageOut, plain, static_cast<int>(plainSize)) !=
          1 ||
      EVP_EncryptFinal_ex(ctx, data + prefixOut + messageOut, &finalOut) != 1) {
    EVP_CIPHER_CTX_free(ctx);
    free(out);
    return nullptr;
  }
  ReturnCipher(session, kSend, ctx);
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
  if (IsAuthenticatedCipher(session->cipher)) return OpenMessage(session, bytes, workBuffer);

  // Bounds, checked before any arithmetic on them: the padding must leave
  // encrypted bytes (decrypting nothing would let whatever the work buffer held
  // before pass the checks), and those must be whole cipher blocks.
  DWORD padding = bytes[kPaddingOffset];
  if (size < kHeaderSize || padding >= size - kHeaderSize) return FALSE;
  DWORD encryptedLength = size - kHeaderSize - padding;
  int blockSize = EVP_CIPHER_get_block_size(LookupCipher(session->cipher));
  if (encryptedLength > INT_MAX || encryptedLength % static_cast<DWORD>(blockSize) != 0)
    return FALSE;

  // The finishing step's verdict on the cipher padding is not what decides: the
  // size and the checksum are. A last block that held only cipher padding may be
  // damaged without harm to the message; when the finishing step fails it adds
  // no bytes, so a message that reached into that block fails the size check.
  EVP_CIPHER_CTX *ctx = TakeCipher(session, kReceive, session->iv);
  if (ctx == nullptr) return FALSE;
  int updateOut = 0, finalOut = 0;
  bool updated = EVP_DecryptUpdate(ctx, workBuffer, &updateOut, bytes + kHeaderSize,
                                   static_cast<int>(encryptedLength)) == 1;
  if (updated && EVP_DecryptFinal_ex(ctx, workBuffer + updateOut, &finalOut) != 1) finalOut = 0;
  ReturnCipher(session, kReceive, ctx);
  if (!updated) return FALSE;

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
