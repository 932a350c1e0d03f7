// One message encrypted and decrypted: CSCPEncryptMessage and CSCPDecryptMessage
// beside plain EVP encryption and decryption of the same bytes with the same
// cipher, key and IV. Each side keeps its cipher contexts from one message to the
// next, as a connection does.
#include <zavrin.h>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <stdlib.h>
#include <string.h>

#include "coding.h"
#include "crypto/crypto_internal.h"
#include "peers.h"

namespace {

// The cipher ids that have an implementation here, and their session key lengths.
struct Cipher {
  const char *name;
  DWORD id;
  DWORD keyLength;
};
const Cipher kCiphers[] = {{"aes256", CIPHER_AES_256, 32},
                           {"blowfish", CIPHER_BLOWFISH, 32},
                           {"3des", CIPHER_TRIPLE_DES, 24}};

struct Session {
  std::vector<BYTE> key;
  ENCRYPTION_CONTEXT context;
  explicit Session(const Cipher &cipher) : key(peers::RandomBytes(cipher.keyLength, 7)) {
    memset(&context, 0, sizeof(context));
    context.cipher = cipher.id;
    context.sessionKey = key.data();
    context.keyLength = cipher.keyLength;
    std::vector<BYTE> iv = peers::RandomBytes(sizeof(context.iv), 8);
    memcpy(context.iv, iv.data(), sizeof(context.iv));
  }
};

// A plain wire message of the given size: a valid header, random body.
std::vector<BYTE> PlainMessage(size_t size) {
  std::vector<BYTE> m = peers::RandomBytes(size);
  zavrin::WriteBE16(m.data(), 0x0042);
  zavrin::WriteBE16(m.data() + 2, 0);
  zavrin::WriteBE32(m.data() + 4, static_cast<uint32_t>(size));
  return m;
}

void Zavrin(benchmark::State &state, const Cipher &cipher) {
  Session session(cipher);
  std::vector<BYTE> plain = PlainMessage(static_cast<size_t>(state.range(0)));
  std::vector<BYTE> work(plain.size() + 64);
  for (auto _ : state) {
    ENCRYPTED_MESSAGE *encrypted =
        CSCPEncryptMessage(&session.context, reinterpret_cast<CSCP_MESSAGE *>(plain.data()));
    if (encrypted == nullptr) {
      state.SkipWithError("cipher not available here");
      break;
    }
    // Decrypted in the block it came in, as a receiver does in its buffer.
    BOOL ok = CSCPDecryptMessage(&session.context, encrypted, work.data());
    benchmark::DoNotOptimize(ok);
    free(encrypted);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void Evp(benchmark::State &state, const Cipher &cipher) {
  Session session(cipher);
  const EVP_CIPHER *evp = zavrin::LookupCipher(cipher.id);
  if (evp == nullptr) {
    state.SkipWithError("cipher not available here");
    return;
  }
  std::vector<BYTE> plain = PlainMessage(static_cast<size_t>(state.range(0)));
  std::vector<BYTE> sealed(plain.size() + 32), opened(plain.size() + 32);
  EVP_CIPHER_CTX *enc = EVP_CIPHER_CTX_new(), *dec = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex2(enc, evp, session.key.data(), session.context.iv, nullptr);
  EVP_DecryptInit_ex2(dec, evp, session.key.data(), session.context.iv, nullptr);
  for (auto _ : state) {
    int n = 0, f = 0, m = 0, g = 0;
    EVP_EncryptInit_ex2(enc, nullptr, nullptr, session.context.iv, nullptr);
    EVP_EncryptUpdate(enc, sealed.data(), &n, plain.data(), static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(enc, sealed.data() + n, &f);
    EVP_DecryptInit_ex2(dec, nullptr, nullptr, session.context.iv, nullptr);
    EVP_DecryptUpdate(dec, opened.data(), &m, sealed.data(), n + f);
    benchmark::DoNotOptimize(EVP_DecryptFinal_ex(dec, opened.data() + m, &g));
  }
  EVP_CIPHER_CTX_free(enc);
  EVP_CIPHER_CTX_free(dec);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

const bool registered = [] {
  for (const Cipher &cipher : kCiphers) {
    std::string what = std::string("crypt_") + cipher.name;
    for (auto *b : {benchmark::RegisterBenchmark((what + "/zavrin").c_str(), Zavrin, cipher),
                    benchmark::RegisterBenchmark((what + "/evp").c_str(), Evp, cipher)})
      b->Arg(64)->Arg(1024)->Arg(65536);
  }
  return true;
}();

}  // namespace
