// Arbitrary bytes as a received encrypted message, decrypted with fixed sessions.
// Whatever the bytes, decryption must end in TRUE or FALSE without touching memory
// outside the message and the work buffer, and TRUE must leave a plain message
// whose checksum holds.
#include <zavrin.h>

#include <stdlib.h>
#include <string.h>

#include <vector>

#include "coding.h"

namespace {

// The seeds in fuzz/corpus/decrypt_fuzzer are encrypted with these.
const BYTE kKey[32] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a,
                       0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15,
                       0x16, 0x17, 0x18, 0x19, 0x1a, 0x1b, 0x1c, 0x1d, 0x1e, 0x1f};
const BYTE kIv[16] = {0xf0, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7,
                      0xf8, 0xf9, 0xfa, 0xfb, 0xfc, 0xfd, 0xfe, 0xff};

ENCRYPTION_CONTEXT MakeSession(DWORD cipher, DWORD keyLength) {
  ENCRYPTION_CONTEXT session = {};
  session.cipher = cipher;
  session.sessionKey = const_cast<BYTE *>(kKey);
  session.keyLength = keyLength;
  memcpy(session.iv, kIv, sizeof(kIv));
  return session;
}

void DecryptOnce(ENCRYPTION_CONTEXT *session, const uint8_t *data, uint32_t size) {
  // Exactly the bytes the receiver would hand over, and a work buffer of exactly
  // the size the contract asks for, so that the sanitizer sees any overrun.
  std::vector<BYTE> message(data, data + size);
  std::vector<BYTE> work(size + 16);
  ENCRYPTED_MESSAGE *msg = reinterpret_cast<ENCRYPTED_MESSAGE *>(message.data());
  if (CSCPDecryptMessage(session, msg, work.data()) != TRUE) return;
  uint32_t plainSize = zavrin::ReadBE32(message.data() + 4);
  if (plainSize < 16 || plainSize > size) abort();
  // The plain message is whole: encrypted again and decrypted, it comes back.
  std::vector<BYTE> plain(message.begin(), message.begin() + plainSize);
  if (zavrin::ReadBE16(plain.data() + 2) & MSG_FLAG_NO_ENCRYPTION) return;
  ENCRYPTED_MESSAGE *again =
      CSCPEncryptMessage(session, reinterpret_cast<CSCP_MESSAGE *>(plain.data()));
  if (again == nullptr) abort();
  uint32_t againSize = zavrin::ReadBE32(reinterpret_cast<BYTE *>(again) + 4);
  std::vector<BYTE> roundTrip(reinterpret_cast<BYTE *>(again),
                              reinterpret_cast<BYTE *>(again) + againSize);
  free(again);
  std::vector<BYTE> work2(againSize + 16);
  if (CSCPDecryptMessage(session, reinterpret_cast<ENCRYPTED_MESSAGE *>(roundTrip.data()),
                         work2.data()) != TRUE ||
      memcmp(roundTrip.data(), plain.data(), plainSize) != 0)
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 8 || size > (1u << 20)) return 0;
  // The receiver reads as many bytes as the size field says; a field that asks for
  // more than the input is read as the input's length.
  uint32_t length = static_cast<uint32_t>(size);
  std::vector<BYTE> input(data, data + size);
  if (zavrin::ReadBE32(data + 4) > length) zavrin::WriteBE32(input.data() + 4, length);

  static ENCRYPTION_CONTEXT aes = MakeSession(CIPHER_AES_256, 32);
  static ENCRYPTION_CONTEXT blowfish = MakeSession(CIPHER_BLOWFISH, 32);
  static ENCRYPTION_CONTEXT tripleDes = MakeSession(CIPHER_TRIPLE_DES, 24);
  DecryptOnce(&aes, input.data(), length);
  DecryptOnce(&blowfish, input.data(), length);
  DecryptOnce(&tripleDes, input.data(), length);
  return 0;
}
