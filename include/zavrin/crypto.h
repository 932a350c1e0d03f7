/// \file
/// Encryption of the protocol: crypto set-up, cipher table, session key exchange and
/// encrypted messages.
#ifndef ZAVRIN_CRYPTO_H
#define ZAVRIN_CRYPTO_H

#include <zavrin/types.h>
#include <zavrin/message.h>

// Only the type names of the crypto library (RSA, X509, EVP_PKEY) are needed here.
#include <openssl/types.h>

// ---- Crypto set-up and cipher table ----

/// Cipher ids, as they travel in the key exchange; bit (1 << id) of a cipher mask
/// stands for the cipher.
///@{
#define CIPHER_AES_256 0
#define CIPHER_BLOWFISH 1
#define CIPHER_IDEA 2
#define CIPHER_TRIPLE_DES 3
/// The authenticated cipher (AES-256-GCM with per-direction keys, sequence numbers
/// and a tag on every message; see docs/authenticated.md). Offered and chosen only
/// where the program turned it on with CSCPEnableAuthenticatedCipher.
#define CIPHER_AES_256_GCM 4
///@}

/// Mask bits of the ciphers: the classic four, and the authenticated one.
///@{
#define CIPHER_MASK_CLASSIC 0x0F
#define CIPHER_MASK_AES_256_GCM (1u << CIPHER_AES_256_GCM)
///@}

ZAVRIN_C_BEGIN

/// Sets the crypto library up and narrows the allowed ciphers to those set both in
/// enabledCiphers and in the current mask; ciphers this platform's crypto library
/// cannot run are dropped as well. Call once, before other threads encrypt.
/// Always TRUE.
ZAVRIN_EXPORT BOOL InitCryptoLib(DWORD enabledCiphers);
/// The mask of allowed ciphers (0x0F until InitCryptoLib narrows it).
ZAVRIN_EXPORT DWORD CSCPGetSupportedCiphers(void);
/// Turns the authenticated cipher (CIPHER_AES_256_GCM) on for this process: from
/// now on key requests offer it and the responder prefers it to the four classic
/// ciphers. InitCryptoLib neither turns it on nor off. FALSE when this platform's
/// crypto library cannot run it (nothing changes then). Call before other threads
/// start key exchanges.
ZAVRIN_EXPORT BOOL CSCPEnableAuthenticatedCipher(void);

ZAVRIN_C_END

// ---- Session key exchange ----

/// Result codes of the key exchange.
///@{
#define RESULT_OK 0
#define RESULT_UNSUPPORTED_MESSAGE 28
#define RESULT_NO_COMMON_CIPHER 42
#define RESULT_BAD_PUBLIC_KEY 43
#define RESULT_BAD_SESSION_KEY 44
/// The responder knows a list of public keys and the request's key is not on it.
#define RESULT_UNKNOWN_KEY 45
///@}

/// Variables of the key exchange messages.
///@{
#define VAR_ID_RESULT_CODE 28
#define VAR_ID_CIPHER_MASK 122
#define VAR_ID_RSA_PUBLIC_KEY 154
#define VAR_ID_ENCRYPTED_KEY 155
#define VAR_ID_CIPHER_ID 156
#define VAR_ID_SESSION_KEY_SIZE 157
#define VAR_ID_ENCRYPTED_IV 158
#define VAR_ID_IV_SIZE 238
///@}

/// The cipher state of one encrypted connection. Made by SetupEncryptionContext,
/// freed by DestroyEncryptionContext, only read in between.
typedef struct ENCRYPTION_CONTEXT {
  DWORD cipher;      ///< cipher id
  BYTE *sessionKey;  ///< keyLength bytes from malloc, owned by the context
  DWORD keyLength;   ///< bytes in sessionKey
  BYTE iv[16];       ///< a cipher with an 8-byte IV uses the first 8
  /// The library's own: the session's keyed cipher states and, for the
  /// authenticated cipher, its direction keys and sequence numbers. A context that
  /// a program fills in itself must leave it null (zero the whole record first).
  struct ZV_SESSION_STATE *state;
} ENCRYPTION_CONTEXT;

/// The public keys that a responder accepts (LoadKnownKeys).
typedef struct KNOWN_KEYS KNOWN_KEYS;

/// Not a context: a receiver holding it hands encrypted messages on undecrypted.
#define PASS_THROUGH_CONTEXT ((ENCRYPTION_CONTEXT *)(~(uintptr_t)0))

/// What the certificate signing takes: a certificate and the private key that is
/// meant to belong to it. Both stay owned by the caller.
///@{
typedef struct CERT_CONTEXT {
  X509 *certificate;     ///< the certificate
  EVP_PKEY *privateKey;  ///< its private key
} CERT_CONTEXT;
typedef const CERT_CONTEXT *PCCERT_CONTEXT;
///@}

ZAVRIN_C_BEGIN

#ifdef __cplusplus
/// Turns msg into a session key request: code 130, the allowed ciphers and the
/// key's public half.
ZAVRIN_EXPORT void PrepareKeyRequestMsg(CSCPMessage *msg, RSA *key);
/// Handles a key request or its answer. Responder: *response receives a new
/// answer (code 132, the request's id, never encrypted) whatever the result; the
/// caller sends and deletes it. Requester: privateKey recovers the key and IV;
/// response and version are not used. On RESULT_OK *context holds the new
/// context; otherwise it is null and a context it held has been destroyed.
/// version is the protocol version of the answer.
ZAVRIN_EXPORT DWORD SetupEncryptionContext(CSCPMessage *msg, ENCRYPTION_CONTEXT **context,
                                           CSCPMessage **response, RSA *privateKey, int version);
/// The responder's side of the key exchange under a policy of its own: the cipher
/// is chosen among those set in request, in ciphers and in CSCPGetSupportedCiphers;
/// when knownKeys is not null, a request whose public key (its DER bytes) is not
/// on the list is refused with RESULT_UNKNOWN_KEY before any RSA work. Otherwise as
/// SetupEncryptionContext with a request: *response receives the answer whatever
/// the result, *context the new context on RESULT_OK and null otherwise. Any other
/// message: RESULT_UNSUPPORTED_MESSAGE and no answer.
ZAVRIN_EXPORT DWORD AnswerSessionKeyRequest(CSCPMessage *request, ENCRYPTION_CONTEXT **context,
                                            CSCPMessage **response, int version, DWORD ciphers,
                                            const KNOWN_KEYS *knownKeys);
#endif
/// Frees a context and wipes its key and every key schedule kept with it (any
/// thread's messages on the session use those); null and PASS_THROUGH_CONTEXT are
/// ignored. No thread may use the context any more.
ZAVRIN_EXPORT void DestroyEncryptionContext(ENCRYPTION_CONTEXT *context);
/// A context over key material the caller already holds (keyLength key bytes and
/// 16 IV bytes, copied), as the key exchange would have made it; requester tells
/// the side, which decides the direction keys of the authenticated cipher. Null
/// when the cipher cannot run here or the key is shorter than the cipher's.
/// Freed with DestroyEncryptionContext.
ZAVRIN_EXPORT ENCRYPTION_CONTEXT *CreateEncryptionContext(DWORD cipher, const BYTE *key,
                                                          DWORD keyLength, const BYTE *iv,
                                                          BOOL requester);

/// Bytes of a public key's fingerprint: SHA-256 of the key's DER RSAPublicKey.
#define KEY_FINGERPRINT_SIZE 32
/// Reads a file of key fingerprints: one a line, the first word of the line in 64
/// hex digits (what sha256sum prints), the rest of the line a comment; empty lines
/// and lines starting with '#' are skipped. Null when the file cannot be read or a
/// line's first word is no fingerprint. Freed with FreeKnownKeys.
ZAVRIN_EXPORT KNOWN_KEYS *LoadKnownKeys(const char *fileName);
/// Frees a list from LoadKnownKeys; null is ignored.
ZAVRIN_EXPORT void FreeKnownKeys(KNOWN_KEYS *keys);
/// The fingerprint of the key's public half (KEY_FINGERPRINT_SIZE bytes into
/// fingerprint): the SHA-256 of the DER bytes that a key request carries. FALSE
/// when the key cannot be encoded.
ZAVRIN_EXPORT BOOL GetRSAKeyFingerprint(RSA *key, BYTE *fingerprint);

/// Reads an RSA key file (length, public and private key in DER, SHA-1 digest).
/// Null when the file is missing, short, corrupted or undecodable; the caller frees
/// the key with RSA_free.
ZAVRIN_EXPORT RSA *LoadRSAKeys(const char *fileName);

/// Signs data with the certificate's private key: SHA-1, PKCS#1 v1.5, signature
/// big-endian into signature. FALSE when the key is not the certificate's, is not an
/// RSA key, or the buffer is too small; *signatureLength then holds the length the
/// signature needs when it is known.
ZAVRIN_EXPORT BOOL SignMessageWithCAPI(const BYTE *data, DWORD dataLength, PCCERT_CONTEXT cert,
                                       BYTE *signature, DWORD bufferSize, DWORD *signatureLength);

ZAVRIN_C_END

// ---- Encrypted messages ----

/// The clear header of an encrypted message; the cipher output follows it, then
/// `padding` bytes that bring the total to a multiple of 8. Fields big-endian on
/// the wire.
typedef struct ENCRYPTED_MESSAGE {
  WORD code;      ///< 131
  BYTE padding;   ///< padding bytes at the end
  BYTE reserved;  ///< 0, not looked at on receipt
  DWORD size;     ///< the whole message: header, cipher output, padding
} ENCRYPTED_MESSAGE;

ZAVRIN_C_BEGIN

/// Wraps a plain wire message for the session: a new malloc'ed block the caller
/// sends (its length is its size field) and frees. A message flagged
/// MSG_FLAG_NO_ENCRYPTION comes back as a plain copy. Null when the session's
/// cipher cannot run here. The message is not changed. Under the authenticated
/// cipher each call takes the direction's next sequence number: messages must
/// reach the wire in the order of their calls (docs/authenticated.md).
ZAVRIN_EXPORT ENCRYPTED_MESSAGE *CSCPEncryptMessage(ENCRYPTION_CONTEXT *context, CSCP_MESSAGE *msg);
/// Unwraps a received encrypted message (its size bytes) in place: on TRUE the
/// buffer holds the plain wire message. workBuffer must hold the message's size
/// plus 16 bytes. FALSE for a damaged, foreign or truncated message; the code
/// field is not looked at. Once the cipher is known, the size field is left in
/// host order, whatever the outcome. Decrypted bytes beyond the plain message's
/// own size are dropped. Under the authenticated cipher FALSE as well for a message
/// that was altered, cut, sent back, or whose sequence number is not the next one
/// expected; a refused message changes nothing.
ZAVRIN_EXPORT BOOL CSCPDecryptMessage(ENCRYPTION_CONTEXT *context, ENCRYPTED_MESSAGE *msg,
                                      BYTE *workBuffer);

ZAVRIN_C_END

#endif  // ZAVRIN_CRYPTO_H
