// The authenticated cipher's receiver against a model of its rules written here
// with OpenSSL alone (HKDF, AES-256-GCM). The input is a script: messages sealed
// by the requester and delivered in order, bit flips, cuts, replays and
// reflections of them, and raw bytes. Every delivery must end as the model says;
// every flipped, cut, replayed or reflected message must be refused.
#include <zavrin.h>

#include <stdlib.h>
#include <string.h>

#include <memory>
#include <vector>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include "coding.h"

namespace {

using Bytes = std::vector<BYTE>;

const BYTE kKey[32] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a,
                       0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15,
                       0x16, 0x17, 0x18, 0x19, 0x1a, 0x1b, 0x1c, 0x1d, 0x1e, 0x1f};
const BYTE kIv[16] = {0xf0, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7,
                      0xf8, 0xf9, 0xfa, 0xfb, 0xfc, 0xfd, 0xfe, 0xff};

// The model's receiver for the requester-to-responder direction.
struct ModelReceiver {
  BYTE key[32], nonceBase[12];
  uint64_t expected = 0;

  ModelReceiver() {
    EVP_KDF *kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
    EVP_KDF_CTX *ctx = EVP_KDF_CTX_new(kdf);
    static char label[] = "ZVCP AES-256-GCM requester to responder";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char *>("SHA256"), 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<BYTE *>(kKey), 32),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<BYTE *>(kIv), 16),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, label, strlen(label)),
        OSSL_PARAM_construct_end()};
    BYTE out[44];
    if (EVP_KDF_derive(ctx, out, sizeof(out), params) != 1) abort();
    memcpy(key, out, 32);
    memcpy(nonceBase, out + 32, 12);
    EVP_KDF_CTX_free(ctx);
    EVP_KDF_free(kdf);
  }

  // The rules of docs/authenticated.md; on true *plain is the message inside.
  bool Open(const Bytes &m, Bytes *plain) {
    if (m.size() < 8) return false;
    uint32_t size = zavrin::ReadBE32(&m[4]);
    uint32_t padding = m[2];
    if (size != m.size() || size < 48 || padding > 7 || padding > size - 48) return false;
    uint32_t n = size - 32 - padding;
    uint64_t sequence = zavrin::ReadBE64(&m[8]);
    if (sequence != expected) return false;
    BYTE nonce[12];
    memcpy(nonce, nonceBase, 12);
    for (int i = 0; i < 8; i++) nonce[4 + i] ^= static_cast<BYTE>(sequence >> (56 - 8 * i));
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    plain->assign(n + 16, 0);
    int len = 0, fin = 0;
    bool ok =
        EVP_DecryptInit_ex2(ctx, EVP_aes_256_gcm(), key, nonce, nullptr) == 1 &&
        EVP_DecryptUpdate(ctx, nullptr, &len, m.data(), 16) == 1 &&
        EVP_DecryptUpdate(ctx, plain->data(), &len, m.data() + 16, static_cast<int>(n)) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, 16,
                            const_cast<BYTE *>(m.data() + 16 + n)) == 1 &&
        EVP_DecryptFinal_ex(ctx, plain->data() + len, &fin) == 1;
    EVP_CIPHER_CTX_free(ctx);
    plain->resize(n);
    if (!ok || zavrin::ReadBE32(plain->data() + 4) != n) return false;
    expected++;
    return true;
  }
};

// The library's receiver: the bytes as a receiver hands them over (the size field
// says how many), a work buffer of exactly the size the contract asks for.
bool LibraryOpen(ENCRYPTION_CONTEXT *to, Bytes m, Bytes *plain) {
  if (m.size() < 8 || zavrin::ReadBE32(&m[4]) != m.size()) return false;
  Bytes work(m.size() + 16);
  if (CSCPDecryptMessage(to, reinterpret_cast<ENCRYPTED_MESSAGE *>(m.data()), work.data()) != TRUE)
    return false;
  plain->assign(m.begin(), m.begin() + zavrin::ReadBE32(&m[4]));
  return true;
}

Bytes Seal(ENCRYPTION_CONTEXT *from, const Bytes &plain) {
  ENCRYPTED_MESSAGE *e =
      CSCPEncryptMessage(from, reinterpret_cast<CSCP_MESSAGE *>(const_cast<BYTE *>(plain.data())));
  if (e == nullptr) abort();
  BYTE *bytes = reinterpret_cast<BYTE *>(e);
  Bytes out(bytes, bytes + zavrin::ReadBE32(bytes + 4));
  free(e);
  return out;
}

// Reads the script's bytes; zeros once it runs out.
struct Script {
  const uint8_t *data;
  size_t size, at = 0;
  bool More() const { return at < size; }
  unsigned Byte() { return at < size ? data[at++] : 0; }
  unsigned Word() { return Byte() << 8 | Byte(); }
};

struct ContextFree {
  void operator()(ENCRYPTION_CONTEXT *c) const { DestroyEncryptionContext(c); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool enabled = CSCPEnableAuthenticatedCipher() == TRUE;
  if (!enabled) abort();
  std::unique_ptr<ENCRYPTION_CONTEXT, ContextFree> requester(
      CreateEncryptionContext(CIPHER_AES_256_GCM, kKey, 32, kIv, TRUE));
  std::unique_ptr<ENCRYPTION_CONTEXT, ContextFree> responder(
      CreateEncryptionContext(CIPHER_AES_256_GCM, kKey, 32, kIv, FALSE));
  if (!requester || !responder) abort();
  ModelReceiver model;
  std::vector<Bytes> sealed;  // everything the requester sealed, in order
  Script script{data, size};
  for (int step = 0; step < 64 && script.More(); step++) {
    unsigned command = script.Byte() % 6;
    Bytes message;
    bool forged = true;  // must be refused
    if (command == 0 || sealed.empty()) {
      // A plain message of the script's length and bytes, sealed and delivered.
      Bytes plain(16 + 8 * (script.Byte() % 64));
      zavrin::WriteBE16(plain.data(), static_cast<uint16_t>(script.Word()));
      zavrin::WriteBE32(plain.data() + 4, static_cast<uint32_t>(plain.size()));
      for (size_t i = 8; i < plain.size(); i++) plain[i] = static_cast<BYTE>(script.Byte());
      message = Seal(requester.get(), plain);
      sealed.push_back(message);
      forged = false;
      Bytes modelPlain, libraryPlain;
      bool modelTakes = model.Open(message, &modelPlain);
      bool libraryTakes = LibraryOpen(responder.get(), message, &libraryPlain);
      // Delivered in order, nothing cut before: always taken, the plain message whole.
      if (!modelTakes || !libraryTakes || modelPlain != plain || libraryPlain != plain) abort();
      continue;
    }
    const Bytes &earlier = sealed[script.Byte() % sealed.size()];
    message = earlier;
    ENCRYPTION_CONTEXT *to = responder.get();
    switch (command) {
      case 1: {  // one bit flipped
        size_t bit = script.Word() % (message.size() * 8);
        message[bit / 8] ^= static_cast<BYTE>(1u << (bit % 8));
        // A receiver frames by the size field: a changed one takes fewer bytes, or
        // more from what follows on the stream (zeros here).
        uint32_t framed = zavrin::ReadBE32(&message[4]);
        if (framed >= 8 && framed <= (1u << 16)) message.resize(framed);
        break;
      }
      case 2: {  // cut, its size field saying so
        size_t length = 8 + script.Word() % (message.size() - 8);
        message.resize(length);
        zavrin::WriteBE32(&message[4], static_cast<uint32_t>(length));
        break;
      }
      case 3:  // replayed: every sealed message was delivered already
        break;
      case 4:  // sent back to its sender
        to = requester.get();
        break;
      default: {  // bytes of the script's own, after a valid header's first 8
        message.resize(8 + script.Byte() * 2);
        for (size_t i = 8; i < message.size(); i++) message[i] = static_cast<BYTE>(script.Byte());
        zavrin::WriteBE32(&message[4], static_cast<uint32_t>(message.size()));
        forged = false;  // the model decides (it cannot be taken without the key)
        break;
      }
    }
    Bytes modelPlain, libraryPlain;
    bool libraryTakes = LibraryOpen(to, message, &libraryPlain);
    bool modelTakes = to == responder.get() && model.Open(message, &modelPlain);
    if (libraryTakes != modelTakes || (libraryTakes && libraryPlain != modelPlain)) abort();
    if (forged && libraryTakes) abort();
  }
  return 0;
}
