// Arbitrary wire messages handed to the session key exchange, in both roles.
// The first byte chooses the role, the protocol version and whether the key and
// IV variables of an answer are encrypted for real with the requester's public
// key (so that the fuzzer reaches past the RSA decryption); the rest is the
// wire message. Whatever the bytes, a result comes back; the responder always
// leaves an answer; a context exists exactly on RESULT_OK and is sound.
#include <zavrin.h>

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "coding.h"

namespace {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
struct Keys {
  EVP_PKEY *pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(1024));
  RSA *rsa = EVP_PKEY_get1_RSA(pkey);
};
#pragma GCC diagnostic pop

Keys &TheKeys() {
  static Keys *keys = new Keys;
  return *keys;
}

// The variable's bytes encrypted with the requester's public key, as a
// responder would send them; the variable is left alone when it is absent or
// too long for the key.
void EncryptForRequester(CSCPMessage *msg, DWORD varId) {
  BYTE plain[256];
  DWORD length = msg->GetVariableBinary(varId, plain, sizeof(plain));
  if (!msg->IsVariableExist(varId) || length > 64) return;
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(TheKeys().pkey, nullptr);
  unsigned char out[256];
  size_t outLength = sizeof(out);
  if (ctx != nullptr && EVP_PKEY_encrypt_init(ctx) == 1 &&
      EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) == 1 &&
      EVP_PKEY_encrypt(ctx, out, &outLength, plain, length) == 1)
    msg->SetVariable(varId, out, static_cast<DWORD>(outLength));
  EVP_PKEY_CTX_free(ctx);
}

void CheckContext(DWORD result, ENCRYPTION_CONTEXT *context) {
  if ((result == RESULT_OK) != (context != nullptr)) abort();
  if (context == nullptr) return;
  if (context->cipher > 3 || context->sessionKey == nullptr || context->keyLength == 0) abort();
  // The context encrypts and decrypts a message.
  BYTE plain[16] = {};
  zavrin::WriteBE16(plain, CMD_KEEPALIVE);
  zavrin::WriteBE32(plain + 4, sizeof(plain));
  ENCRYPTED_MESSAGE *e = CSCPEncryptMessage(context, reinterpret_cast<CSCP_MESSAGE *>(plain));
  if (e == nullptr) return;  // a key shorter than its cipher's is refused, not used
  std::vector<BYTE> work(zavrin::ReadBE32(reinterpret_cast<BYTE *>(e) + 4) + 16);
  if (CSCPDecryptMessage(context, e, work.data()) != TRUE) abort();
  free(e);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  BYTE mode = data[0];
  int version = (mode & 2) ? 2 : 1;
  std::vector<BYTE> wire(data + 1, data + size);
  if (wire.size() < 16) return 0;
  // The reader trusts size up to what it was given.
  if (zavrin::ReadBE32(wire.data() + 4) > wire.size())
    zavrin::WriteBE32(wire.data() + 4, static_cast<uint32_t>(wire.size()));
  CSCPMessage msg(reinterpret_cast<CSCP_MESSAGE *>(wire.data()), version);

  ENCRYPTION_CONTEXT *context = nullptr;
  if (mode & 1) {
    msg.SetCode(CMD_REQUEST_SESSION_KEY);
    CSCPMessage *response = nullptr;
    DWORD result = SetupEncryptionContext(&msg, &context, &response, nullptr, version);
    if (response == nullptr || response->GetCode() != CMD_SESSION_KEY) abort();
    // The answer reaches the wire.
    CSCP_MESSAGE *answer = response->CreateMessage();
    free(answer);
    delete response;
    CheckContext(result, context);
  } else {
    msg.SetCode(CMD_SESSION_KEY);
    if (mode & 4) {
      EncryptForRequester(&msg, VAR_ID_ENCRYPTED_KEY);
      EncryptForRequester(&msg, VAR_ID_ENCRYPTED_IV);
    }
    DWORD result = SetupEncryptionContext(&msg, &context, nullptr, TheKeys().rsa, version);
    CheckContext(result, context);
  }
  DestroyEncryptionContext(context);
  return 0;
}
