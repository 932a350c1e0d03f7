// Encryption and decryption of one message per cipher: a typical request (a few
// hundred bytes) and a file-transfer chunk.
#include <zavrin.h>

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include "coding.h"

namespace {

std::vector<BYTE> PlainMessage(uint32_t size) {
  std::vector<BYTE> m(size);
  for (uint32_t i = 0; i < size; i++) m[i] = static_cast<BYTE>(i * 7);
  zavrin::WriteBE16(m.data(), 0x0042);
  zavrin::WriteBE16(m.data() + 2, 0);
  zavrin::WriteBE32(m.data() + 4, size);
  return m;
}

void BM_EncryptDecrypt(benchmark::State &state) {
  const DWORD cipher = static_cast<DWORD>(state.range(0));
  const uint32_t size = static_cast<uint32_t>(state.range(1));
  const DWORD keyLengths[] = {32, 32, 16, 24};
  std::vector<BYTE> key(keyLengths[cipher], 0x5A), iv(16, 0xA5);
  // As the key exchange makes it: the library keeps its cipher states.
  ENCRYPTION_CONTEXT *session =
      CreateEncryptionContext(cipher, key.data(), keyLengths[cipher], iv.data(), TRUE);
  if (session == nullptr) {
    state.SkipWithError("cipher not available here");
    return;
  }

  std::vector<BYTE> plain = PlainMessage(size);
  std::vector<BYTE> message(size + 64), work(size + 64);
  for (auto _ : state) {
    ENCRYPTED_MESSAGE *encrypted =
        CSCPEncryptMessage(session, reinterpret_cast<CSCP_MESSAGE *>(plain.data()));
    if (encrypted == nullptr) {
      state.SkipWithError("cipher not available here");
      break;
    }
    memcpy(message.data(), encrypted, zavrin::ReadBE32(reinterpret_cast<BYTE *>(encrypted) + 4));
    free(encrypted);
    BOOL ok = CSCPDecryptMessage(session, reinterpret_cast<ENCRYPTED_MESSAGE *>(message.data()),
                                 work.data());
    benchmark::DoNotOptimize(ok);
  }
  DestroyEncryptionContext(session);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

// One whole key exchange: the request, the responder's answer (key generation
// and two RSA encryptions) and the requester's two RSA decryptions.
void BM_KeyExchange(benchmark::State &state) {
  EVP_PKEY *pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(state.range(0)));
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  RSA *rsa = EVP_PKEY_get1_RSA(pkey);
#pragma GCC diagnostic pop
  for (auto _ : state) {
    CSCPMessage request;
    PrepareKeyRequestMsg(&request, rsa);
    ENCRYPTION_CONTEXT *responder = nullptr, *requester = nullptr;
    CSCPMessage *answer = nullptr;
    SetupEncryptionContext(&request, &responder, &answer, nullptr, ZVCP_PROTOCOL_VERSION);
    if (SetupEncryptionContext(answer, &requester, nullptr, rsa, 0) != RESULT_OK) {
      state.SkipWithError("exchange failed");
      break;
    }
    delete answer;
    DestroyEncryptionContext(responder);
    DestroyEncryptionContext(requester);
  }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  RSA_free(rsa);
#pragma GCC diagnostic pop
  EVP_PKEY_free(pkey);
}

}  // namespace

BENCHMARK(BM_KeyExchange)->ArgName("bits")->Arg(1024)->Arg(2048)->Unit(benchmark::kMicrosecond);

// Cipher id (0 AES-256, 1 Blowfish, 3 Triple DES; IDEA has no implementation
// here) and message size.
BENCHMARK(BM_EncryptDecrypt)->ArgNames({"cipher", "bytes"})->ArgsProduct({{0, 1, 3}, {256, 65536}});
