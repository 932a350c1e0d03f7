// What the set-up, the key exchange and the encrypted messages share: the crypto
// library context the ciphers come from, and the cipher table.
#ifndef ZAVRIN_CRYPTO_INTERNAL_H
#define ZAVRIN_CRYPTO_INTERNAL_H

#include <zavrin/crypto.h>

#include <openssl/evp.h>

#include <vector>

namespace zavrin {

// Bytes of IV that a context carries and that the responder sends.
constexpr DWORD kContextIvSize = 16;
// Largest public key or encrypted value taken from a key exchange message.
constexpr DWORD kMaxKeyExchangeBlob = 4096;

// One entry of the cipher table.
struct CipherEntry {
  const char *name;        // the crypto library's name of the cipher
  DWORD sessionKeyLength;  // key bytes a session of this cipher carries
};

// Number of cipher ids (0 to kCipherCount - 1).
constexpr DWORD kCipherCount = 4;

// The library's own crypto library context, with the "default" and "legacy"
// providers loaded: the program's own use of OpenSSL is left as it was.
OSSL_LIB_CTX *CryptoLibContext();

// The cipher for an id, or null when the id is out of range or this platform's
// crypto library cannot run it (an empty entry of the table).
const EVP_CIPHER *LookupCipher(DWORD id);

// The session key length of a cipher id; 0 for an id out of range.
DWORD SessionKeyLength(DWORD id);

// The mask of ciphers that this platform can run.
DWORD AvailableCiphers();

// Current value of the allowed-cipher mask.
DWORD SupportedCiphers();

// RSA with OAEP padding (PKCS#1 v2.0, SHA-1) in the library's crypto context.
// The key-exchange values are small, so they come and go as byte vectors.

// The public key from a DER RSAPublicKey; null when it does not decode.
EVP_PKEY *DecodeRsaPublicKey(const BYTE *der, size_t length);
// The DER RSAPublicKey of the key's public half; false when it cannot be encoded.
bool EncodeRsaPublicKey(RSA *key, std::vector<BYTE> *der);
// Encrypts with the public key; false on any failure (a key too short for the
// data included).
bool RsaEncryptOaep(EVP_PKEY *key, const BYTE *data, size_t length, std::vector<BYTE> *out);
// Decrypts with the private key; false on any failure.
bool RsaDecryptOaep(RSA *key, const BYTE *data, size_t length, std::vector<BYTE> *out);

}  // namespace zavrin

#endif  // ZAVRIN_CRYPTO_INTERNAL_H
