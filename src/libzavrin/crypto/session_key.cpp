// The session key exchange: the requester's key request, the responder's answer
// with a fresh key and IV under the requester's public key, and the requester's
// recovery of them.
#include "crypto/crypto_internal.h"

#include <stdlib.h>
#include <string.h>

#include <utility>

#include <openssl/crypto.h>
#include <openssl/rand.h>

namespace zavrin {

namespace {

// IV bytes each cipher reads (the context always carries kContextIvSize).
DWORD CipherIvLength(DWORD id) {
  const EVP_CIPHER *cipher = LookupCipher(id);
  return cipher != nullptr ? static_cast<DWORD>(EVP_CIPHER_get_iv_length(cipher)) : 0;
}

// A binary variable of at most kMaxKeyExchangeBlob bytes; false when absent,
// empty or longer.
bool GetBlob(CSCPMessage *msg, DWORD varId, KeyBuffer *out) {
  DWORD length = msg->GetVariableBinary(varId, nullptr, 0);
  if (length == 0 || length > kMaxKeyExchangeBlob) return false;
  KeyBuffer buffer(length);
  if (buffer.size() != length) return false;
  msg->GetVariableBinary(varId, buffer.data(), length);
  *out = std::move(buffer);
  return true;
}

// A context holding a copy of the key and the state for the requester's or the
// responder's side; null when memory runs out.
ENCRYPTION_CONTEXT *NewContext(DWORD cipher, const BYTE *key, DWORD keyLength, const BYTE *iv,
                               DWORD ivLength, bool requester) {
  ENCRYPTION_CONTEXT *context =
      static_cast<ENCRYPTION_CONTEXT *>(calloc(1, sizeof(ENCRYPTION_CONTEXT)));
  if (context == nullptr) return nullptr;
  context->sessionKey = static_cast<BYTE *>(malloc(keyLength > 0 ? keyLength : 1));
  if (context->sessionKey == nullptr) {
    free(context);
    return nullptr;
  }
  context->cipher = cipher;
  context->keyLength = keyLength;
  memcpy(context->sessionKey, key, keyLength);
  memcpy(context->iv, iv, ivLength < kContextIvSize ? ivLength : kContextIvSize);
  if (!AttachSessionState(context, requester)) {
    DestroyEncryptionContext(context);
    return nullptr;
  }
  return context;
}

// The cipher a responder chooses from the common mask: the authenticated one
// when both sides have it, else the classic one of the lowest id, as always.
DWORD ChooseCipher(DWORD common) {
  if (common & CIPHER_MASK_AES_256_GCM) return CIPHER_AES_256_GCM;
  DWORD cipher = 0;
  while ((common & (1u << cipher)) == 0) cipher++;
  return cipher;
}

// The responder's side. The answer carries its variables only once everything
// has worked, so a failed answer never carries a key. A responder with known keys
// looks the request's key up by its bytes before decoding it: an unknown key
// costs a hash, never an RSA operation.
DWORD AnswerKeyRequest(CSCPMessage *request, ENCRYPTION_CONTEXT **context, CSCPMessage *answer,
                       DWORD ciphers, const KNOWN_KEYS *knownKeys) {
  DWORD common = request->GetVariableLong(VAR_ID_CIPHER_MASK) & ciphers & SupportedCiphers() &
                 AvailableCiphers();
  if (common == 0) return RESULT_NO_COMMON_CIPHER;
  DWORD cipher = ChooseCipher(common);
  DWORD keyLength = SessionKeyLength(cipher);

  KeyBuffer der;
  bool haveKey = GetBlob(request, VAR_ID_RSA_PUBLIC_KEY, &der);
  if (knownKeys != nullptr && (!haveKey || !KeyIsKnown(knownKeys, der.data(), der.size())))
    return RESULT_UNKNOWN_KEY;
  if (!haveKey) return RESULT_BAD_PUBLIC_KEY;
  EVP_PKEY *publicKey = DecodeRsaPublicKey(der.data(), der.size());
  if (publicKey == nullptr) return RESULT_BAD_PUBLIC_KEY;

  BYTE key[EVP_MAX_KEY_LENGTH];
  BYTE iv[kContextIvSize];
  KeyBuffer encryptedKey, encryptedIv;
  // A key too short for OAEP to carry the session key is as useless to the
  // exchange as one that does not decode; so is a generator that gives nothing.
  bool ok = RAND_bytes_ex(CryptoLibContext(), key, keyLength, 0) == 1 &&
            RAND_bytes_ex(CryptoLibContext(), iv, sizeof(iv), 0) == 1 &&
            RsaEncryptOaep(publicKey, key, keyLength, &encryptedKey) &&
            RsaEncryptOaep(publicKey, iv, sizeof(iv), &encryptedIv);
  EVP_PKEY_free(publicKey);
  ENCRYPTION_CONTEXT *made =
      ok ? NewContext(cipher, key, keyLength, iv, sizeof(iv), false) : nullptr;
  OPENSSL_cleanse(key, sizeof(key));
  OPENSSL_cleanse(iv, sizeof(iv));
  if (made == nullptr) return RESULT_BAD_PUBLIC_KEY;

  answer->SetVariable(VAR_ID_RESULT_CODE, static_cast<DWORD>(RESULT_OK));
  answer->SetVariable(VAR_ID_ENCRYPTED_KEY, encryptedKey.data(),
                      static_cast<DWORD>(encryptedKey.size()));
  answer->SetVariable(VAR_ID_ENCRYPTED_IV, encryptedIv.data(),
                      static_cast<DWORD>(encryptedIv.size()));
  answer->SetVariable(VAR_ID_CIPHER_ID, static_cast<WORD>(cipher));
  answer->SetVariable(VAR_ID_SESSION_KEY_SIZE, static_cast<WORD>(keyLength));
  answer->SetVariable(VAR_ID_IV_SIZE, static_cast<WORD>(kContextIvSize));
  *context = made;
  return RESULT_OK;
}

// The requester's side. The answer comes from the network: the cipher id indexes
// the table only once it is known to be there, and the key must be long enough
// for the cipher to read.
DWORD AcceptSessionKey(CSCPMessage *answer, ENCRYPTION_CONTEXT **context, RSA *privateKey) {
  DWORD result = answer->GetVariableLong(VAR_ID_RESULT_CODE);
  if (result != RESULT_OK) return result;

  DWORD cipher = answer->GetVariableShort(VAR_ID_CIPHER_ID);
  DWORD keyLength = answer->GetVariableShort(VAR_ID_SESSION_KEY_SIZE);
  if (LookupCipher(cipher) == nullptr || keyLength < SessionKeyLength(cipher))
    return RESULT_BAD_SESSION_KEY;
  // The authenticated cipher only where this program offered it.
  if (IsAuthenticatedCipher(cipher) && (SupportedCiphers() & (1u << cipher)) == 0)
    return RESULT_BAD_SESSION_KEY;

  KeyBuffer blob, key, iv;
  if (!GetBlob(answer, VAR_ID_ENCRYPTED_KEY, &blob) ||
      !RsaDecryptOaep(privateKey, blob.data(), blob.size(), &key) || key.size() != keyLength)
    return RESULT_BAD_SESSION_KEY;

  // This library's responders always send 16 IV bytes, whatever the cipher; an
  // IV is good when it has the announced length and covers what the cipher reads.
  DWORD ivLength = answer->GetVariableShort(VAR_ID_IV_SIZE);
  if (ivLength == 0) ivLength = kContextIvSize;
  bool ok = GetBlob(answer, VAR_ID_ENCRYPTED_IV, &blob) &&
            RsaDecryptOaep(privateKey, blob.data(), blob.size(), &iv) && iv.size() == ivLength &&
            ivLength >= CipherIvLength(cipher);
  ENCRYPTION_CONTEXT *made =
      ok ? NewContext(cipher, key.data(), keyLength, iv.data(), ivLength, true) : nullptr;
  if (made == nullptr) return RESULT_BAD_SESSION_KEY;
  *context = made;
  return RESULT_OK;
}

}  // namespace

}  // namespace zavrin

using namespace zavrin;

void PrepareKeyRequestMsg(CSCPMessage *msg, RSA *key) {
  if (msg == nullptr) return;
  ErrorQueueMark mark;
  msg->SetCode(CMD_REQUEST_SESSION_KEY);
  // Never offer what the crypto library here cannot run, even before set-up.
  msg->SetVariable(VAR_ID_CIPHER_MASK, static_cast<DWORD>(SupportedCiphers() & AvailableCiphers()));
  KeyBuffer der;
  if (EncodeRsaPublicKey(key, &der))
    msg->SetVariable(VAR_ID_RSA_PUBLIC_KEY, der.data(), static_cast<DWORD>(der.size()));
}

// Both ends of an exchange: the request answered under the responder's policy,
// or the answer taken with the requester's private key.
static DWORD RunExchange(CSCPMessage *msg, ENCRYPTION_CONTEXT **context, CSCPMessage **response,
                         RSA *privateKey, int version, DWORD ciphers, const KNOWN_KEYS *knownKeys) {
  if (msg == nullptr || context == nullptr) return RESULT_UNSUPPORTED_MESSAGE;
  // Undecodable keys and failed decryptions queue errors.
  ErrorQueueMark mark;
  ENCRYPTION_CONTEXT *made = nullptr;
  DWORD result;
  switch (msg->GetCode()) {
    case CMD_REQUEST_SESSION_KEY: {
      CSCPMessage *answer = new CSCPMessage(version);
      answer->SetCode(CMD_SESSION_KEY);
      answer->SetId(msg->GetId());
      // The responder's context exists by the time the answer is sent; the
      // answer must still go out in clear.
      answer->DisableEncryption();
      result = AnswerKeyRequest(msg, &made, answer, ciphers, knownKeys);
      if (result != RESULT_OK) answer->SetVariable(VAR_ID_RESULT_CODE, result);
      if (response != nullptr)
        *response = answer;
      else
        delete answer;
      break;
    }
    case CMD_SESSION_KEY:
      result = AcceptSessionKey(msg, &made, privateKey);
      break;
    default:
      result = RESULT_UNSUPPORTED_MESSAGE;
      break;
  }
  // A new exchange wants an empty slot: what it held is replaced on success and
  // destroyed on failure.
  if (result != RESULT_OK) DestroyEncryptionContext(*context);
  *context = made;
  return result;
}

DWORD SetupEncryptionContext(CSCPMessage *msg, ENCRYPTION_CONTEXT **context, CSCPMessage **response,
                             RSA *privateKey, int version) {
  return RunExchange(msg, context, response, privateKey, version, ~DWORD{0}, nullptr);
}

DWORD AnswerSessionKeyRequest(CSCPMessage *request, ENCRYPTION_CONTEXT **context,
                              CSCPMessage **response, int version, DWORD ciphers,
                              const KNOWN_KEYS *knownKeys) {
  if (request != nullptr && request->GetCode() != CMD_REQUEST_SESSION_KEY) {
    if (context != nullptr) {
      DestroyEncryptionContext(*context);
      *context = nullptr;
    }
    return RESULT_UNSUPPORTED_MESSAGE;
  }
  return RunExchange(request, context, response, nullptr, version, ciphers, knownKeys);
}

ENCRYPTION_CONTEXT *CreateEncryptionContext(DWORD cipher, const BYTE *key, DWORD keyLength,
                                            const BYTE *iv, BOOL requester) {
  if (key == nullptr || iv == nullptr || LookupCipher(cipher) == nullptr ||
      keyLength < SessionKeyLength(cipher))
    return nullptr;
  ErrorQueueMark mark;
  return NewContext(cipher, key, keyLength, iv, kContextIvSize, requester != FALSE);
}

void DestroyEncryptionContext(ENCRYPTION_CONTEXT *context) {
  if (context == nullptr || context == PASS_THROUGH_CONTEXT) return;
  ReleaseSessionState(context);
  if (context->sessionKey != nullptr) {
    OPENSSL_cleanse(context->sessionKey, context->keyLength);
    free(context->sessionKey);
  }
  free(context);
}
