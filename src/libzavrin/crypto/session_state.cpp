// A session's state beyond its public fields: keyed cipher contexts kept with the
// session, and the authenticated cipher's direction keys and sequence numbers.
//
// The cipher contexts live with the session rather than with the threads that
// use it: a thread that serves thousands of sessions finds each one's key
// schedule ready, whichever thread used it last, and takes it with one atomic
// exchange on the session's own slots. Nothing is shared between sessions, so
// no lock is taken, and destroying the session frees every copy of its key.
#include "crypto/crypto_internal.h"

#include <stdlib.h>
#include <string.h>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/kdf.h>

#include <new>

namespace zavrin {

EVP_CIPHER_CTX *CipherPool::Take() {
  for (EVP_CIPHER_CTX *&slot : slots_) {
    if (__atomic_load_n(&slot, __ATOMIC_RELAXED) == nullptr) continue;
    EVP_CIPHER_CTX *ctx = __atomic_exchange_n(&slot, nullptr, __ATOMIC_ACQUIRE);
    if (ctx != nullptr) return ctx;
  }
  return nullptr;
}

bool CipherPool::Give(EVP_CIPHER_CTX *ctx) {
  for (EVP_CIPHER_CTX *&slot : slots_) {
    EVP_CIPHER_CTX *empty = nullptr;
    if (__atomic_compare_exchange_n(&slot, &empty, ctx, false, __ATOMIC_RELEASE, __ATOMIC_RELAXED))
      return true;
  }
  return false;
}

void CipherPool::Clear() {
  for (EVP_CIPHER_CTX *&slot : slots_)
    EVP_CIPHER_CTX_free(__atomic_exchange_n(&slot, nullptr, __ATOMIC_ACQUIRE));
}

namespace {

// The crypto library leaves bytes of keys and round keys in the stack frames
// below its caller, where they would stay until something else happens to
// overwrite them: its key set-up, and its block functions, which spill round
// keys. Wiped as far down as their calls reach: after a key set-up, and after
// each message.
template <size_t kDepth>
__attribute__((noinline)) void WipeStackBelow() {
  BYTE scratch[kDepth];
  OPENSSL_cleanse(scratch, sizeof(scratch));
}
constexpr size_t kKeySetupDepth = 16384;
constexpr size_t kMessageDepth = 2048;

// The key a direction's cipher contexts are made with: the session key for the
// classic ciphers, the direction key for the authenticated one.
const BYTE *DirectionKey(const ENCRYPTION_CONTEXT *session, int direction) {
  if (!IsAuthenticatedCipher(session->cipher)) return session->sessionKey;
  return session->state != nullptr ? session->state->keys[direction] : nullptr;
}

// HKDF-SHA256 (RFC 5869) of the session key, salted with the session IV.
bool DeriveDirection(const ENCRYPTION_CONTEXT *context, const char *label, BYTE *key,
                     BYTE *nonceBase) {
  EVP_KDF *kdf = EVP_KDF_fetch(CryptoLibContext(), "HKDF", nullptr);
  EVP_KDF_CTX *kctx = kdf != nullptr ? EVP_KDF_CTX_new(kdf) : nullptr;
  EVP_KDF_free(kdf);
  if (kctx == nullptr) return false;
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char *>("SHA256"), 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, context->sessionKey,
                                        context->keyLength),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<BYTE *>(context->iv),
                                        sizeof(context->iv)),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char *>(label),
                                        strlen(label)),
      OSSL_PARAM_construct_end(),
  };
  BYTE out[kAeadKeySize + kAeadNonceSize];
  bool ok = EVP_KDF_derive(kctx, out, sizeof(out), params) == 1;
  EVP_KDF_CTX_free(kctx);
  if (ok) {
    memcpy(key, out, kAeadKeySize);
    memcpy(nonceBase, out + kAeadKeySize, kAeadNonceSize);
  }
  OPENSSL_cleanse(out, sizeof(out));
  return ok;
}

// The HKDF info of each direction, named by who sends.
const char kFromRequester[] = "ZVCP AES-256-GCM requester to responder";
const char kFromResponder[] = "ZVCP AES-256-GCM responder to requester";

}  // namespace

bool AttachSessionState(ENCRYPTION_CONTEXT *context, bool requester) {
  ZV_SESSION_STATE *state = new (std::nothrow) ZV_SESSION_STATE;
  if (state == nullptr) return false;
  memset(state->keys, 0, sizeof(state->keys));
  memset(state->nonceBases, 0, sizeof(state->nonceBases));
  state->nextSequence[kReceive] = state->nextSequence[kSend] = 0;
  if (IsAuthenticatedCipher(context->cipher)) {
    const char *sending = requester ? kFromRequester : kFromResponder;
    const char *receiving = requester ? kFromResponder : kFromRequester;
    if (context->keyLength < kAeadKeySize ||
        !DeriveDirection(context, sending, state->keys[kSend], state->nonceBases[kSend]) ||
        !DeriveDirection(context, receiving, state->keys[kReceive], state->nonceBases[kReceive])) {
      OPENSSL_cleanse(state->keys, sizeof(state->keys));
      delete state;
      return false;
    }
  }
  WipeStackBelow<kKeySetupDepth>();  // the derivation's own copies
  context->state = state;
  return true;
}

void ReleaseSessionState(ENCRYPTION_CONTEXT *context) {
  ZV_SESSION_STATE *state = context->state;
  if (state == nullptr) return;
  for (CipherPool &pool : state->pools) pool.Clear();
  OPENSSL_cleanse(state->keys, sizeof(state->keys));
  OPENSSL_cleanse(state->nonceBases, sizeof(state->nonceBases));
  delete state;
  context->state = nullptr;
}

// A context the program filled in itself has no state: it gets a cipher context
// for the one message, freed afterwards, so no copy of its key stays behind. The
// authenticated cipher needs the state's direction keys and is refused without.
EVP_CIPHER_CTX *TakeCipher(const ENCRYPTION_CONTEXT *session, int direction, const BYTE *iv) {
  if (session == nullptr || session == PASS_THROUGH_CONTEXT) return nullptr;
  const EVP_CIPHER *cipher = LookupCipher(session->cipher);
  const BYTE *key = DirectionKey(session, direction);
  if (cipher == nullptr || session->sessionKey == nullptr || key == nullptr) return nullptr;
  // The key schedule takes the cipher's own key length, so a Blowfish session is
  // keyed with the first 16 of its 32 key bytes, as every peer does; a context
  // whose key is shorter than that is refused rather than read beyond its end.
  int keyLength = EVP_CIPHER_get_key_length(cipher);
  if (keyLength <= 0 || session->keyLength < static_cast<DWORD>(keyLength)) return nullptr;
  int enc = direction == kSend ? 1 : 0;

  EVP_CIPHER_CTX *ctx =
      session->state != nullptr ? session->state->pools[direction].Take() : nullptr;
  if (ctx != nullptr) {
    if (EVP_CipherInit_ex2(ctx, nullptr, nullptr, iv, enc, nullptr) == 1) return ctx;
    EVP_CIPHER_CTX_free(ctx);
  }
  ctx = EVP_CIPHER_CTX_new();
  bool keyed = ctx != nullptr && EVP_CipherInit_ex2(ctx, cipher, key, iv, enc, nullptr) == 1;
  WipeStackBelow<kKeySetupDepth>();
  if (keyed) return ctx;
  EVP_CIPHER_CTX_free(ctx);
  return nullptr;
}

void ReturnCipher(const ENCRYPTION_CONTEXT *session, int direction, EVP_CIPHER_CTX *ctx) {
  WipeStackBelow<kMessageDepth>();
  if (ctx == nullptr) return;
  if (session->state == nullptr || !session->state->pools[direction].Give(ctx))
    EVP_CIPHER_CTX_free(ctx);
}

}  // namespace zavrin
