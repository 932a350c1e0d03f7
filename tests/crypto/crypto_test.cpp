// Crypto set-up and the cipher table. The allowed-cipher mask is process-wide and
// only ever narrowed, so every case that sets it up runs in a child process.
#include <zavrin.h>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/provider.h>

#include "crypto/crypto_internal.h"
#include "crypto_test_util.h"
#include "test_support.h"

using zavrin_test::RunInChild;

namespace {

// The ciphers this machine's OpenSSL runs, asked of OpenSSL directly.
DWORD CiphersOpenSslHas() {
  OSSL_LIB_CTX *ctx = OSSL_LIB_CTX_new();
  OSSL_PROVIDER *legacy = OSSL_PROVIDER_load(ctx, "legacy");
  OSSL_PROVIDER *def = OSSL_PROVIDER_load(ctx, "default");
  const char *names[] = {"AES-256-CBC", "BF-CBC", "IDEA-CBC", "DES-EDE3-CBC"};
  DWORD mask = 0;
  for (int id = 0; id < 4; id++) {
    EVP_CIPHER *cipher = EVP_CIPHER_fetch(ctx, names[id], nullptr);
    if (cipher != nullptr) mask |= 1u << id;
    EVP_CIPHER_free(cipher);
  }
  if (legacy) OSSL_PROVIDER_unload(legacy);
  if (def) OSSL_PROVIDER_unload(def);
  OSSL_LIB_CTX_free(ctx);
  return mask;
}

// Runs body in a child; body returns 0 when all is well, else the number of the
// check that failed.
int ChildResult(const std::function<int()> &body) {
  int status = RunInChild([&] { _exit(body()); });
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

}  // namespace

TEST(InitCryptoLib, AllFourAllowedBeforeSetUp) {
  EXPECT_EQ(0, ChildResult([] { return CSCPGetSupportedCiphers() == 0x0F ? 0 : 1; }));
}

TEST(InitCryptoLib, MasksOnlyNarrow) {
  const DWORD has = CiphersOpenSslHas();
  EXPECT_EQ(0, ChildResult([has] {
              if (InitCryptoLib(0x06) != TRUE) return 1;
              if (CSCPGetSupportedCiphers() != (0x06 & has)) return 2;
              // A cipher once disallowed never comes back.
              if (InitCryptoLib(0x0F) != TRUE) return 3;
              if (CSCPGetSupportedCiphers() != (0x06 & has)) return 4;
              return 0;
            }));
  EXPECT_EQ(0, ChildResult([] {
              if (InitCryptoLib(0) != TRUE) return 1;
              return CSCPGetSupportedCiphers() == 0 ? 0 : 2;
            }));
  EXPECT_EQ(0, ChildResult([has] {
              if (InitCryptoLib(0xFFFFFFFF) != TRUE) return 1;
              return CSCPGetSupportedCiphers() == (0x0F & has) ? 0 : 2;
            }));
}

TEST(InitCryptoLib, LeavesTheErrorQueueAsItWas) {
  // The set-up probes ciphers this platform may lack.
  EXPECT_EQ(0, ChildResult([] {
              return crypto_test::KeepsTheErrorQueue([] { InitCryptoLib(0x0F); }) ? 0 : 1;
            }));
}

TEST(CipherTable, EntriesAreTheCiphersOpenSslRuns) {
  const DWORD has = CiphersOpenSslHas();
  // This platform's OpenSSL 3 has AES and Triple DES in "default", Blowfish in
  // "legacy", and no IDEA at all.
  EXPECT_EQ(0x0Bu, has & 0x0Bu);
  const char *names[] = {"AES-256-CBC", "BF-CBC", "IDEA-CBC", "DES-EDE3-CBC"};
  const int keyLengths[] = {32, 16, 16, 24};
  const int blockSizes[] = {16, 8, 8, 8};
  for (DWORD id = 0; id < 4; id++) {
    const EVP_CIPHER *cipher = zavrin::LookupCipher(id);
    if ((has & (1u << id)) == 0) {
      EXPECT_EQ(nullptr, cipher) << names[id];
      continue;
    }
    ASSERT_NE(nullptr, cipher) << names[id];
    EXPECT_TRUE(EVP_CIPHER_is_a(cipher, names[id])) << names[id];
    EXPECT_EQ(EVP_CIPH_CBC_MODE, EVP_CIPHER_get_mode(cipher)) << names[id];
    EXPECT_EQ(keyLengths[id], EVP_CIPHER_get_key_length(cipher)) << names[id];
    EXPECT_EQ(blockSizes[id], EVP_CIPHER_get_block_size(cipher)) << names[id];
  }
  // The authenticated cipher, never offered or chosen before the program turns it on.
  const EVP_CIPHER *gcm = zavrin::LookupCipher(CIPHER_AES_256_GCM);
  ASSERT_NE(nullptr, gcm);
  EXPECT_TRUE(EVP_CIPHER_is_a(gcm, "AES-256-GCM"));
  EXPECT_EQ(0u, CSCPGetSupportedCiphers() & ~0x0Fu);
  EXPECT_EQ(nullptr, zavrin::LookupCipher(5));
  EXPECT_EQ(nullptr, zavrin::LookupCipher(0xFFFFFFFF));
}
