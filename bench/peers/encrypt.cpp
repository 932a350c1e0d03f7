// One message encrypted and decrypted: CSCPEncryptMessage and CSCPDecryptMessage
// beside plain EVP encryption and decryption of the same bytes with the same
// cipher, key and IV. Each side keeps its cipher contexts from one message to the
// next, as a connection does. The authenticated cipher beside raw EVP AES-256-GCM
// calls and beside the library's AES-256-CBC path; and a thread that serves many
// sessions, a message each in turn.
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

// A session as the key exchange makes it: the library keeps its cipher states.
struct Session {
  std::vector<BYTE> key, iv;
  ENCRYPTION_CONTEXT *context;
  explicit Session(const Cipher &cipher)
      : key(peers::RandomBytes(cipher.keyLength, 7)),
        iv(peers::RandomBytes(16, 8)),
        context(CreateEncryptionContext(cipher.id, key.data(), cipher.keyLength, iv.data(), TRUE)) {
  }
  ~Session() { DestroyEncryptionContext(context); }
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;
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
  if (session.context == nullptr) {
    state.SkipWithError("cipher not available here");
    return;
  }
  std::vector<BYTE> plain = PlainMessage(static_cast<size_t>(state.range(0)));
  std::vector<BYTE> work(plain.size() + 64);
  for (auto _ : state) {
    ENCRYPTED_MESSAGE *encrypted =
        CSCPEncryptMessage(session.context, reinterpret_cast<CSCP_MESSAGE *>(plain.data()));
    if (encrypted == nullptr) {
      state.SkipWithError("cipher not available here");
      break;
    }
    // Decrypted in the block it came in, as a receiver does in its buffer.
    BOOL ok = CSCPDecryptMessage(session.context, encrypted, work.data());
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
  EVP_EncryptInit_ex2(enc, evp, session.key.data(), session.iv.data(), nullptr);
  EVP_DecryptInit_ex2(dec, evp, session.key.data(), session.iv.data(), nullptr);
  for (auto _ : state) {
    int n = 0, f = 0, m = 0, g = 0;
    EVP_EncryptInit_ex2(enc, nullptr, nullptr, session.iv.data(), nullptr);
    EVP_EncryptUpdate(enc, sealed.data(), &n, plain.data(), static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(enc, sealed.data() + n, &f);
    EVP_DecryptInit_ex2(dec, nullptr, nullptr, session.iv.data(), nullptr);
    EVP_DecryptUpdate(dec, opened.data(), &m, sealed.data(), n + f);
    benchmark::DoNotOptimize(EVP_DecryptFinal_ex(dec, opened.data() + m, &g));
  }
  EVP_CIPHER_CTX_free(enc);
  EVP_CIPHER_CTX_free(dec);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// Both ends of an authenticated session, as the key exchange makes them.
struct AuthenticatedPair {
  ENCRYPTION_CONTEXT *requester, *responder;
  AuthenticatedPair() {
    CSCPEnableAuthenticatedCipher();
    std::vector<BYTE> key = peers::RandomBytes(32, 7), iv = peers::RandomBytes(16, 8);
    requester = CreateEncryptionContext(CIPHER_AES_256_GCM, key.data(), 32, iv.data(), TRUE);
    responder = CreateEncryptionContext(CIPHER_AES_256_GCM, key.data(), 32, iv.data(), FALSE);
  }
  ~AuthenticatedPair() {
    DestroyEncryptionContext(requester);
    DestroyEncryptionContext(responder);
  }
};

void ZavrinGcm(benchmark::State &state) {
  AuthenticatedPair pair;
  std::vector<BYTE> plain = PlainMessage(static_cast<size_t>(state.range(0)));
  std::vector<BYTE> work(plain.size() + 64);
  for (auto _ : state) {
    ENCRYPTED_MESSAGE *sealed =
        CSCPEncryptMessage(pair.requester, reinterpret_cast<CSCP_MESSAGE *>(plain.data()));
    if (sealed == nullptr || CSCPDecryptMessage(pair.responder, sealed, work.data()) != TRUE) {
      state.SkipWithError("the authenticated cipher failed");
      free(sealed);
      break;
    }
    free(sealed);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// The same work with EVP alone: a nonce, 16 bytes of associated data, the body and
// the tag each way, on contexts keyed once.
void EvpGcm(benchmark::State &state) {
  std::vector<BYTE> key = peers::RandomBytes(32, 7), nonce = peers::RandomBytes(12, 8);
  std::vector<BYTE> plain = PlainMessage(static_cast<size_t>(state.range(0)));
  std::vector<BYTE> sealed(plain.size() + 32), opened(plain.size() + 32);
  EVP_CIPHER_CTX *enc = EVP_CIPHER_CTX_new(), *dec = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex2(enc, EVP_aes_256_gcm(), key.data(), nonce.data(), nullptr);
  EVP_DecryptInit_ex2(dec, EVP_aes_256_gcm(), key.data(), nonce.data(), nullptr);
  int size = static_cast<int>(plain.size());
  for (auto _ : state) {
    int n = 0, f = 0, m = 0, g = 0, a = 0;
    nonce[11]++;
    EVP_EncryptInit_ex2(enc, nullptr, nullptr, nonce.data(), nullptr);
    EVP_EncryptUpdate(enc, nullptr, &a, sealed.data(), 16);
    EVP_EncryptUpdate(enc, sealed.data() + 16, &n, plain.data(), size);
    EVP_EncryptFinal_ex(enc, sealed.data() + 16 + n, &f);
    EVP_CIPHER_CTX_ctrl(enc, EVP_CTRL_AEAD_GET_TAG, 16, sealed.data() + 16 + size);
    EVP_DecryptInit_ex2(dec, nullptr, nullptr, nonce.data(), nullptr);
    EVP_DecryptUpdate(dec, nullptr, &a, sealed.data(), 16);
    EVP_DecryptUpdate(dec, opened.data(), &m, sealed.data() + 16, size);
    EVP_CIPHER_CTX_ctrl(dec, EVP_CTRL_AEAD_SET_TAG, 16, sealed.data() + 16 + size);
    benchmark::DoNotOptimize(EVP_DecryptFinal_ex(dec, opened.data() + m, &g));
  }
  EVP_CIPHER_CTX_free(enc);
  EVP_CIPHER_CTX_free(dec);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// One thread, many AES-256 sessions, a 64-byte message encrypted and decrypted on
// each in turn, as an event loop serves its connections.
void ManySessions(benchmark::State &state, int sessions) {
  std::vector<ENCRYPTION_CONTEXT *> contexts;
  for (int i = 0; i < sessions; i++) {
    std::vector<BYTE> key = peers::RandomBytes(32, i), iv = peers::RandomBytes(16, i + 1);
    contexts.push_back(CreateEncryptionContext(CIPHER_AES_256, key.data(), 32, iv.data(), i & 1));
  }
  std::vector<BYTE> plain = PlainMessage(64);
  std::vector<BYTE> work(plain.size() + 64);
  size_t next = 0;
  for (auto _ : state) {
    ENCRYPTION_CONTEXT *context = contexts[next];
    next = next + 1 == contexts.size() ? 0 : next + 1;
    ENCRYPTED_MESSAGE *e =
        CSCPEncryptMessage(context, reinterpret_cast<CSCP_MESSAGE *>(plain.data()));
    benchmark::DoNotOptimize(CSCPDecryptMessage(context, e, work.data()));
    free(e);
  }
  for (ENCRYPTION_CONTEXT *context : contexts) DestroyEncryptionContext(context);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// What a cipher state per thread costs when the session changes with every
// message: a key schedule made each way for each message.
void RekeyEachMessage(benchmark::State &state) {
  std::vector<BYTE> key = peers::RandomBytes(32, 7), iv = peers::RandomBytes(16, 8);
  std::vector<BYTE> plain = PlainMessage(72);
  std::vector<BYTE> sealed(plain.size() + 32), opened(plain.size() + 32);
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  for (auto _ : state) {
    int n = 0, f = 0, m = 0, g = 0;
    key[0]++;
    EVP_EncryptInit_ex2(ctx, EVP_aes_256_cbc(), key.data(), iv.data(), nullptr);
    EVP_EncryptUpdate(ctx, sealed.data(), &n, plain.data(), static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(ctx, sealed.data() + n, &f);
    EVP_DecryptInit_ex2(ctx, EVP_aes_256_cbc(), key.data(), iv.data(), nullptr);
    EVP_DecryptUpdate(ctx, opened.data(), &m, sealed.data(), n + f);
    benchmark::DoNotOptimize(EVP_DecryptFinal_ex(ctx, opened.data() + m, &g));
  }
  EVP_CIPHER_CTX_free(ctx);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

const bool registered = [] {
  for (auto *b : {benchmark::RegisterBenchmark("crypt_aes256gcm/zavrin", ZavrinGcm),
                  benchmark::RegisterBenchmark("crypt_aes256gcm/evp", EvpGcm),
                  benchmark::RegisterBenchmark("crypt_aes256gcm/cbc", Zavrin, kCiphers[0])})
    b->Arg(64)->Arg(65536);
  benchmark::RegisterBenchmark("sessions_aes256/zavrin", ManySessions, 10000);
  benchmark::RegisterBenchmark("sessions_aes256/sixtyfour", ManySessions, 64);
  benchmark::RegisterBenchmark("sessions_aes256/rekey", RekeyEachMessage);
  for (const Cipher &cipher : kCiphers) {
    std::string what = std::string("crypt_") + cipher.name;
    for (auto *b : {benchmark::RegisterBenchmark((what + "/zavrin").c_str(), Zavrin, cipher),
                    benchmark::RegisterBenchmark((what + "/evp").c_str(), Evp, cipher)})
      b->Arg(64)->Arg(1024)->Arg(65536);
  }
  return true;
}();

}  // namespace
