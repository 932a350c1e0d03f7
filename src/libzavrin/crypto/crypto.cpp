// crypto/: the encryption of the protocol: the crypto set-up and cipher table,
// RSA keys, the session key exchange and the encrypted message.
//
// Process-wide crypto state: the library's own crypto library context, the cipher
// table and the mask of ciphers the program allows.
#include "crypto/crypto_internal.h"

#include <errno.h>
#include <sys/random.h>

#include <mutex>

#include <openssl/crypto.h>
#include <openssl/provider.h>
#include <openssl/rand.h>

namespace zavrin {

namespace {

// Indexed by cipher id. The classic four run in CBC mode with PKCS#7 block
// padding; the authenticated one has a message format of its own.
const CipherEntry kCipherTable[kCipherCount] = {
    {"AES-256-CBC", 32, false},  {"BF-CBC", 32, false},     {"IDEA-CBC", 16, false},
    {"DES-EDE3-CBC", 24, false}, {"AES-256-GCM", 32, true},
};

// All four classic ciphers until InitCryptoLib narrows the mask; only ever
// intersected. Atomic builtins rather than std::atomic, whose helpers
// unoptimised builds would export from the shared library.
DWORD supportedCiphers = CIPHER_MASK_CLASSIC;
// The authenticated ciphers the program turned on; only ever added to, and apart
// from the classic mask, which InitCryptoLib keeps as it always was.
DWORD enabledAuthenticated = 0;

struct CryptoState {
  OSSL_LIB_CTX *libContext = nullptr;
  const EVP_CIPHER *ciphers[kCipherCount] = {};
  DWORD available = 0;
};

// True when the cipher really runs: a provider may offer a cipher it cannot
// initialise, and such a cipher must never be offered to a peer.
bool CipherRuns(const EVP_CIPHER *cipher) {
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  if (ctx == nullptr) return false;
  unsigned char key[EVP_MAX_KEY_LENGTH] = {};
  unsigned char iv[EVP_MAX_IV_LENGTH] = {};
  unsigned char in[16] = {};
  unsigned char out[sizeof(in) + EVP_MAX_BLOCK_LENGTH];
  int len = 0, finalLen = 0;
  bool ok = EVP_EncryptInit_ex2(ctx, cipher, key, iv, nullptr) == 1 &&
            EVP_EncryptUpdate(ctx, out, &len, in, sizeof(in)) == 1 &&
            EVP_EncryptFinal_ex(ctx, out + len, &finalLen) == 1;
  EVP_CIPHER_CTX_free(ctx);
  return ok;
}

// Loaded once, on first use, and kept for the life of the process (the crypto
// library's objects are never released, like the rest of the set-up).
const CryptoState &State() {
  static CryptoState state;
  static std::once_flag once;
  std::call_once(once, [] {
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_ADD_ALL_CIPHERS |
                            OPENSSL_INIT_ADD_ALL_DIGESTS,
                        nullptr);
    state.libContext = OSSL_LIB_CTX_new();
    if (state.libContext == nullptr) return;
    // Blowfish and IDEA live in "legacy"; loading a provider into a context
    // replaces the implicit "default", so both are named.
    OSSL_PROVIDER_load(state.libContext, "legacy");
    OSSL_PROVIDER_load(state.libContext, "default");
    for (DWORD id = 0; id < kCipherCount; id++) {
      EVP_CIPHER *cipher = EVP_CIPHER_fetch(state.libContext, kCipherTable[id].name, nullptr);
      if (cipher == nullptr) continue;
      if (!CipherRuns(cipher)) {
        EVP_CIPHER_free(cipher);
        continue;
      }
      state.ciphers[id] = cipher;
      state.available |= 1u << id;
    }
  });
  return state;
}

// Hands 8192 bytes of the kernel's randomness to the library context's generator
// as additional input. The generator seeds itself from the same source; this only
// keeps the set-up's promise that fresh bytes go into the seed at start-up.
void AddSeed(OSSL_LIB_CTX *libContext) {
  unsigned char buffer[8192];
  size_t filled = 0;
  while (filled < sizeof(buffer)) {
    ssize_t n = getrandom(buffer + filled, sizeof(buffer) - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nothing gained, nothing lost: the generator is seeded anyway
    }
    filled += static_cast<size_t>(n);
  }
  EVP_RAND_CTX *primary = RAND_get0_primary(libContext);
  if (primary != nullptr) EVP_RAND_reseed(primary, 0, nullptr, 0, buffer, sizeof(buffer));
  OPENSSL_cleanse(buffer, sizeof(buffer));
}

}  // namespace

OSSL_LIB_CTX *CryptoLibContext() {
  return State().libContext;
}

const EVP_CIPHER *LookupCipher(DWORD id) {
  if (id >= kCipherCount) return nullptr;
  return State().ciphers[id];
}

DWORD SessionKeyLength(DWORD id) {
  return id < kCipherCount ? kCipherTable[id].sessionKeyLength : 0;
}

DWORD AvailableCiphers() {
  return State().available;
}

DWORD SupportedCiphers() {
  return __atomic_load_n(&supportedCiphers, __ATOMIC_RELAXED) |
         __atomic_load_n(&enabledAuthenticated, __ATOMIC_RELAXED);
}

bool IsAuthenticatedCipher(DWORD id) {
  return id < kCipherCount && kCipherTable[id].authenticated;
}

}  // namespace zavrin

using namespace zavrin;

// The crypto library's memory hooks and locking callback are left alone: since
// OpenSSL 1.1 it allocates with malloc and locks itself (the callback setter is
// a no-op), and changing its allocator would change the program's own use of it.
BOOL InitCryptoLib(DWORD enabledCiphers) {
  // Probing a cipher this platform lacks queues an error.
  ErrorQueueMark mark;
  const CryptoState &state = State();
  if (state.libContext != nullptr) AddSeed(state.libContext);
  __atomic_fetch_and(&supportedCiphers, enabledCiphers & state.available & CIPHER_MASK_CLASSIC,
                     __ATOMIC_RELAXED);
  return TRUE;
}

DWORD CSCPGetSupportedCiphers(void) {
  return SupportedCiphers();
}

BOOL CSCPEnableAuthenticatedCipher(void) {
  ErrorQueueMark mark;
  if ((AvailableCiphers() & CIPHER_MASK_AES_256_GCM) == 0) return FALSE;
  __atomic_fetch_or(&enabledAuthenticated, CIPHER_MASK_AES_256_GCM, __ATOMIC_RELAXED);
  return TRUE;
}
